#!/usr/bin/env bash
# Catches a scripts/test --debian run that leaves a mount or a running process behind in its
# root, or ends with the wrong status, when Ctrl-C (SIGINT) or a kill (SIGTERM) stops it while
# velmor runs there, or when its debootstrap fails; and a root whose path holds a space. Then
# the same of tests/check_first_command.sh 12, whose root must also be gone. Needs root, and the
# Debian 13 root that scripts/test --debian 13 builds (CI runs this after it).
set -euo pipefail
. "$(dirname "$0")/../scripts/lib/common.sh"
cd "$VELMOR_ROOT"
status=0 log=$(mktemp)
# The root is moved to a path with a space for the check, and back afterwards.
built=$(realpath build-debian13/root) spaced=$(realpath -m "build-debian13/with space")/root
mkdir -p "${spaced%/*}"
mv "$built" "$spaced"
trap 'mv "$spaced" "$built" && rm -rf --one-file-system "${spaced%/*}"; rm -f "$log"' EXIT
export VELMOR_DEBIAN_DIR=$spaced

# Mount points at or below the root, as the host sees them (findmnt -l does not escape spaces).
mounts() {
  findmnt -ln -o TARGET | awk -v root="$VELMOR_DEBIAN_DIR" 'index($0, root "/") == 1 || $0 == root'
}

# Processes whose root directory is the Debian root.
processes() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$VELMOR_DEBIAN_DIR" ] && echo "${p#/proc/}"
  done
  return 0
}

# True while a velmor runs in the root.
velmor_in_root() {
  local p
  for p in $(pgrep -x velmor); do
    [ "$(readlink "/proc/$p/root" 2>/dev/null)" = "$VELMOR_DEBIAN_DIR" ] && return 0
  done
  return 1
}

# verdict WHAT WANTED-STATUS ENDED-STATUS LOG-LINE: also fails on anything left in the root.
verdict() {
  local left
  left=$(mounts)$(processes)
  if [ "$3" -ne "$2" ] || ! grep -q "$4" "$log" || [ -n "$left" ]; then
    echo "FAIL $1: status $3 (want $2); left behind: ${left:-nothing}" && tail -n 5 "$log"
    status=1
  fi
}

# The folder holding the root and its logs, after the first-command check.
root_gone() {
  if [ -e "${VELMOR_DEBIAN_DIR%/*}" ]; then
    echo "FAIL first-command check, $1: left ${VELMOR_DEBIAN_DIR%/*}" && status=1
  fi
  return 0
}

for signal in INT TERM; do
  # As from a terminal: a background job of a script would start with SIGINT ignored.
  env --default-signal=INT scripts/test --debian 13 -R e2e >"$log" 2>&1 &
  pid=$! ended=0
  until velmor_in_root; do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "-$signal" "$pid" 2>/dev/null || echo "FAIL SIG$signal: the run ended before velmor started"
  wait "$pid" || ended=$?
  verdict "SIG$signal" $((128 + $(kill -l "$signal"))) "$ended" "interrupted by SIG$signal"
done

# A debootstrap that cannot reach its archive, into a root of its own, removed afterwards.
VELMOR_DEBIAN_DIR=$(realpath -m build-debian12/root) ended=0
VELMOR_DEBIAN_MIRROR=http://127.0.0.1:9/debian "$PWD/scripts/test" --debian 12 --fresh \
  >"$log" 2>&1 || ended=$?
verdict "failed debootstrap" 1 "$ended" "^debian 12: debootstrap .*failed"
rm -rf --one-file-system build-debian12

# The first-command check's Debian 12 root goes on every way out: a failed debootstrap, and
# Ctrl-C while debootstrap fills the root.
VELMOR_DEBIAN_DIR=$(realpath -m build-debian12/first-command/root) ended=0
VELMOR_DEBIAN_MIRROR=http://127.0.0.1:9/debian tests/check_first_command.sh 12 >"$log" 2>&1 ||
  ended=$?
verdict "first-command check, failed debootstrap" 1 "$ended" "^debian 12: debootstrap .*failed"
root_gone "failed debootstrap"
env --default-signal=INT tests/check_first_command.sh 12 >"$log" 2>&1 &
pid=$! ended=0
until [ -s "$VELMOR_DEBIAN_DIR/var/lib/dpkg/status" ] || ! kill -0 "$pid" 2>/dev/null; do
  sleep 0.1
done
kill -INT "$pid" 2>/dev/null || echo "FAIL first-command check: ended before its debootstrap"
wait "$pid" || ended=$?
verdict "first-command check, SIGINT" 130 "$ended" "interrupted by SIGINT"
root_gone SIGINT
rm -rf --one-file-system build-debian12

[ "$status" -eq 0 ] && echo "check_debian_cleanup: interrupted and failed runs leave nothing behind"
exit "$status"
