#!/usr/bin/env bash
# The README's first command as a newcomer meets it: in a fresh minimal Debian root (debootstrap
# --variant=minbase, not one package added) with no display, the first command run is
# `echo 1 | scripts/run`. It must print the path of a PNG that shows the orange picture. Then
# `scripts/report --headless` and `scripts/reduce` on the gradient set in mode 4 (Mesa's known
# crash) must each finish with status 0 and no Python traceback. Each script installs its own
# packages, so one it forgot to install fails here, whatever the host has. Needs root.
#   tests/check_first_command.sh 12   a root of its own, build-debian12/first-command/root,
#                                     removed afterwards whatever happens
#   tests/check_first_command.sh 13   build-debian13/root made afresh and kept: scripts/test
#                                     --debian 13 goes on in it, after this check
set -euo pipefail
. "$(dirname "$0")/../scripts/lib/common.sh"

# Inside the root, in /velmor (a copy of the working tree), with a clean environment.
check_inside() {
  local log=/tmp/first-command.log png package
  # What makes the check mean something: no display, and none of scripts/run's packages yet.
  [ -z "${DISPLAY:-}" ] || { echo "FAIL DISPLAY is set in the root" >&2 && return 1; }
  for package in "${VELMOR_RUN_PACKAGES[@]}"; do
    if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      echo "FAIL the root is not bare: $package is installed before scripts/run" >&2 && return 1
    fi
  done
  echo "== echo 1 | scripts/run" >&2
  echo 1 | scripts/run 2>&1 | tee "$log"
  no_traceback "$log" scripts/run
  # The path scripts/run prints once velmor has ended: the last line that ends in one.
  png=$(grep -o '/[^ ]*\.png$' "$log" | tail -n 1) ||
    { echo "FAIL scripts/run printed no PNG path" >&2 && return 1; }
  "$VELMOR_PYTHON" - "$png" <<'EOF'
import sys
from PIL import Image

picture = Image.open(sys.argv[1]).convert("RGB")
centre = picture.getpixel((picture.width // 2, picture.height // 2))
if any(abs(got - want) > 3 for got, want in zip(centre, (230, 122, 46))):
    sys.exit("FAIL %s: centre pixel %s, not the orange (230, 122, 46)" % (sys.argv[1], centre))
print("%s: %dx%d, centre %s" % (sys.argv[1], picture.width, picture.height, centre))
EOF

  echo "== scripts/report --headless --runs 1" >&2
  local before
  before=$(installed)
  scripts/report --headless --runs 1 2>&1 | tee "$log"
  no_traceback "$log" scripts/report
  # The Python modules the report brought go again, so that reduce must install the ones it
  # imports itself (whatever its own list says).
  local hidden
  mapfile -t hidden < <(comm -13 <(echo "$before") <(installed) | grep '^python3-')
  if [ ${#hidden[@]} -gt 0 ]; then
    echo "== removing ${hidden[*]}, which the report installed" >&2
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${hidden[@]}" </dev/null >/dev/null
  fi

  # The gradient's SPIR-V, as the tests compile it: glslang is this check's, not reduce's.
  local gradient=/tmp/gradient
  velmor_ensure_packages glslang-tools
  mkdir -p "$gradient"
  glslangValidator -G -o "$gradient/vert.spv" tests/e2e/gradient/shader.vert >/dev/null
  glslangValidator -G -o "$gradient/frag.spv" tests/e2e/gradient/shader.frag >/dev/null
  echo "== scripts/reduce --shaders $gradient --mode 4 --step-limit 3" >&2
  scripts/reduce --shaders "$gradient" --mode 4 --step-limit 3 2>&1 | tee "$log"
  no_traceback "$log" scripts/reduce
  [ -s build/reduce/reduce.json ] ||
    { echo "FAIL scripts/reduce wrote no reduce.json" >&2 && return 1; }
  # What a later scripts/test in this root finds: its own build folder, none of this check's files.
  rm -rf build/report build/reduce "$png"
}

# The packages installed, by name, sorted.
installed() {
  dpkg-query -W -f='${db:Status-Status} ${Package}\n' | awk '$1 == "installed" { print $2 }' |
    sort
}

no_traceback() {
  if grep -q '^Traceback ' "$1"; then
    echo "FAIL $2 ended with a Python traceback" >&2
    return 1
  fi
}

if [ "${1:-}" = --inside ]; then
  check_inside
  echo "check_first_command: scripts/run, report and reduce work as the first commands" >&2
  exit
fi

release=${1:?"usage: tests/check_first_command.sh 12|13"}
. "$VELMOR_ROOT/scripts/lib/debian_root.sh"
case $release in
12)
  folder=$VELMOR_ROOT/build-debian12/first-command
  export VELMOR_DEBIAN_DIR=$folder/root
  # Every way out, a signal's included (velmor_debian_run's traps exit through here): the
  # namespaces are gone by then, so nothing is mounted under the folder.
  trap 'rm -rf --one-file-system "$folder" && rmdir --ignore-fail-on-non-empty "${folder%/*}"' EXIT
  ;;
13) unset VELMOR_DEBIAN_DIR ;;
*) echo "tests/check_first_command.sh: no Debian release '$release' (12 or 13)" >&2 && exit 2 ;;
esac
started=$SECONDS
velmor_debian_run "$release" fresh -- tests/check_first_command.sh --inside
echo "check_first_command: Debian $release took $((SECONDS - started)) s" >&2
