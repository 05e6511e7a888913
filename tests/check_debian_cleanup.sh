#!/usr/bin/env bash
# Catches a scripts/test --debian run that leaves a mount or a running process behind in its
# root when Ctrl-C (SIGINT) or a kill (SIGTERM) stops it in the middle of the suite, or that ends
# with the wrong status; and a failed debootstrap that goes unnamed or leaves a mount behind.
# Needs root, and the Debian 13 root that scripts/test --debian 13 builds (CI runs this after it).
set -euo pipefail
cd "$(dirname "$0")/.."
status=0

in_root() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$1" ] && echo "${p#/proc/}"
  done
  return 0
}

# Fails when anything is still mounted in root $1 or running with it as its root.
check_left_behind() {
  local what=$1 root=$2 mounts pids
  mounts=$(findmnt -rn -o TARGET | grep -F "$root/" || true)
  pids=$(in_root "$root")
  if [ -n "$mounts$pids" ]; then
    echo "FAIL $what: left mounted: ${mounts:-nothing}; left running: ${pids:-nothing}"
    status=1
  fi
}

root=$(realpath -m build-debian13/root)
for signal in INT TERM; do
  log=$(mktemp)
  # As from a terminal: a background job of a script would start with SIGINT ignored.
  env --default-signal=INT scripts/test --debian 13 -R e2e >"$log" 2>&1 &
  pid=$!
  # Interrupt once velmor itself runs inside the root.
  seen=
  while [ -z "$seen" ] && kill -0 "$pid" 2>/dev/null; do
    for p in $(in_root "$root"); do
      [ "$(cat "/proc/$p/comm" 2>/dev/null)" = velmor ] && seen=1
    done
    sleep 0.1
  done
  if [ -z "$seen" ]; then
    echo "FAIL SIG$signal: the run ended before velmor started:"
    tail -n 5 "$log"
    exit 1
  fi
  kill "-$signal" "$pid"
  ended=0
  wait "$pid" || ended=$?
  want=$((128 + $(kill -l "$signal")))
  if [ "$ended" -ne "$want" ] || ! grep -q "interrupted by SIG$signal" "$log"; then
    echo "FAIL SIG$signal: status $ended (want $want):"
    tail -n 5 "$log"
    status=1
  fi
  check_left_behind "SIG$signal" "$root"
  rm -f "$log"
done

# A debootstrap that cannot reach its archive, into a root of its own, removed afterwards.
log=$(mktemp)
ended=0
VELMOR_DEBIAN_MIRROR=http://127.0.0.1:9/debian "$PWD/scripts/test" --debian 12 --fresh \
  >"$log" 2>&1 || ended=$?
if [ "$ended" -eq 0 ] || ! grep -q '^debian 12: debootstrap .*failed' "$log"; then
  echo "FAIL failed debootstrap: status $ended:"
  tail -n 5 "$log"
  status=1
fi
check_left_behind "failed debootstrap" "$(realpath -m build-debian12/root)"
rm -rf --one-file-system build-debian12 "$log"

[ "$status" -eq 0 ] && echo "check_debian_cleanup: interrupted and failed runs leave nothing behind"
exit "$status"
