#!/usr/bin/env bash
# Catches a script that changes the host's apt configuration (a source entry added, say): runs
# the command given and fails when /etc/apt then differs from before in any file, link or
# folder. CI runs scripts/test --windows under it, from a clean clone, so the MinGW libraries'
# sources are fetched on the way.
#   tests/check_host_apt.sh COMMAND ARG...
set -euo pipefail
before=$(mktemp -d)
trap 'rm -rf "$before"' EXIT
cp -a /etc/apt "$before/"
status=0
"$@" || status=$?
if ! diff -r --no-dereference "$before/apt" /etc/apt; then
  echo "check_host_apt: $* changed /etc/apt" >&2
  exit 1
fi
exit "$status"
