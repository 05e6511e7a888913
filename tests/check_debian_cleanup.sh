#!/usr/bin/env bash
# Catches a scripts/test --debian run that leaves a mount or a running process behind in its
# root, or ends with the wrong status, when Ctrl-C (SIGINT) or a kill (SIGTERM) stops it while
# velmor runs there, or when its debootstrap fails. Needs root, and the Debian 13 root that
# scripts/test --debian 13 builds (CI runs this after it).
set -euo pipefail
. "$(dirname "$0")/../scripts/lib/common.sh"
. "$VELMOR_ROOT/scripts/lib/debian_root.sh"
cd "$VELMOR_ROOT"
status=0 log=$(mktemp)
trap 'rm -f "$log"' EXIT

# verdict WHAT WANTED-STATUS ENDED-STATUS LOG-LINE: also fails on anything left in the root.
verdict() {
  local left
  left=$(velmor_debian_mounts)$(velmor_debian_processes)
  if [ "$3" -ne "$2" ] || ! grep -q "$4" "$log" || [ -n "$left" ]; then
    echo "FAIL $1: status $3 (want $2); left behind: ${left:-nothing}" && tail -n 5 "$log"
    status=1
  fi
}

VELMOR_DEBIAN_ROOT=$(realpath -m build-debian13/root)
for signal in INT TERM; do
  # As from a terminal: a background job of a script would start with SIGINT ignored.
  env --default-signal=INT scripts/test --debian 13 -R e2e >"$log" 2>&1 &
  pid=$! ended=0
  until pgrep -x velmor | grep -qxF "$(velmor_debian_processes)"; do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "-$signal" "$pid" 2>/dev/null || echo "FAIL SIG$signal: the run ended before velmor started"
  wait "$pid" || ended=$?
  verdict "SIG$signal" $((128 + $(kill -l "$signal"))) "$ended" "interrupted by SIG$signal"
done

# A debootstrap that cannot reach its archive, into a root of its own, removed afterwards.
VELMOR_DEBIAN_ROOT=$(realpath -m build-debian12/root) ended=0
VELMOR_DEBIAN_MIRROR=http://127.0.0.1:9/debian "$PWD/scripts/test" --debian 12 --fresh \
  >"$log" 2>&1 || ended=$?
verdict "failed debootstrap" 1 "$ended" "^debian 12: debootstrap .*failed"
rm -rf --one-file-system build-debian12

[ "$status" -eq 0 ] && echo "check_debian_cleanup: interrupted and failed runs leave nothing behind"
exit "$status"
