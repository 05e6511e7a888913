# Shared by the scripts: Debian packages, configure + build, and a private X server.
# shellcheck shell=bash

VELMOR_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# Installs whichever of the given Debian packages are missing: as root, through sudo without a
# password, or not at all (then prints the exact command and fails).
velmor_ensure_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if ! velmor_can_be_root; then
    echo "Velmor needs these Debian packages. Install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    return 1
  fi
  echo "Installing ${missing[*]}" >&2
  # Standard input stays the caller's: `echo 1 | scripts/run` types its choice for velmor, not
  # for a package's maintainer script.
  velmor_as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq </dev/null >&2 &&
    velmor_as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" \
      </dev/null >&2
}

# True when velmor_as_root can run a command as root: as root, or through sudo without a password.
velmor_can_be_root() {
  [ "$(id -u)" -eq 0 ] || { command -v sudo >/dev/null && sudo -n true 2>/dev/null; }
}

velmor_as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  else
    sudo -n "$@"
  fi
}

# Runs a command in the background, in a process group of its own with SIGINT and SIGQUIT at
# their defaults, and waits for it: a signal to the script is then handled at once, not when the
# command ends. velmor_stop_child stops the command's whole group from a trap.
VELMOR_CHILD=
velmor_run_child() {
  local status=0
  # Bash would have a background command ignore SIGINT, and every program started under it.
  setsid env --default-signal=INT,QUIT "$@" &
  VELMOR_CHILD=$!
  wait "$VELMOR_CHILD" || status=$?
  VELMOR_CHILD=
  return "$status"
}

velmor_stop_child() {
  if [ -n "$VELMOR_CHILD" ]; then
    kill -TERM -- "-$VELMOR_CHILD" 2>/dev/null || true
    wait "$VELMOR_CHILD" 2>/dev/null || true
    VELMOR_CHILD=
  fi
}

# VELMOR_DEBIAN_MIRROR, else the archive this machine's apt already uses (not the security one),
# else Debian's own. Read only: nothing here changes the host's apt configuration.
velmor_apt_mirror() {
  local uri=${VELMOR_DEBIAN_MIRROR:-}
  [ -n "$uri" ] && echo "$uri" && return 0
  uri=$(awk '$1 == "URIs:" && $2 !~ /security/ { print $2; exit }' \
    /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  [ -n "$uri" ] || uri=$(awk '$1 == "deb" && $0 !~ /security/ {
      for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' \
    /etc/apt/sources.list 2>/dev/null || true)
  echo "${uri:-http://deb.debian.org/debian}"
}

# One list per purpose; each script installs the lists of what it runs, nothing more.
# Building velmor, velmor-headless and the frame probe: SPIRV-Tools' static validator and CMake
# config come with spirv-tools, and CMake's FindGLUT asks pkg-config for freeglut's libraries.
VELMOR_BUILD_PACKAGES=(cmake g++ make pkg-config freeglut3-dev libglew-dev libegl-dev libpng-dev
  spirv-tools)
# scripts/run: the build, Mesa's drivers, a private X server, and the tools' runner (PIL reads
# and saves the frames).
VELMOR_RUN_PACKAGES=("${VELMOR_BUILD_PACKAGES[@]}" libgl1-mesa-dri xvfb python3 python3-pil)
# scripts/report beyond a run: jsonschema checks every file written; DejaVu labels the pictures;
# glxinfo names a driver on which no mode drew.
VELMOR_REPORT_PACKAGES=(python3-jsonschema fonts-dejavu-core mesa-utils)
# scripts/report --compare reads reports and draws pictures: no build, no GL.
VELMOR_COMPARE_PACKAGES=(python3 python3-pil python3-jsonschema fonts-dejavu-core)
# scripts/reduce beyond a run: spirv-reduce, spirv-val and spirv-dis (spirv-tools); jsonschema
# checks reduce.json; cc and the EGL and GL headers build the reproducer.
VELMOR_REDUCE_PACKAGES=(spirv-tools python3-jsonschema gcc libc6-dev libegl-dev libgl-dev)

# What the Linux download needs on a user's machine: the GL and X client libraries, and EGL with
# Mesa's EGL for velmor-headless (the README names them in its one install line).
VELMOR_DOWNLOAD_PACKAGES=(libopengl0 libglx-mesa0 libgl1-mesa-dri libx11-6 libxi6 libxxf86vm1
  libegl1 libegl-mesa0)

# Debian's own interpreter: the one python3-pil installs into, whatever else is first on PATH.
VELMOR_PYTHON=/usr/bin/python3

# Configures and builds into $1 with the remaining arguments passed to cmake.
velmor_build() {
  local dir=$1
  shift
  # Only the tests look for Python: a build without them would warn that the hint went unused.
  cmake --no-warn-unused-cli -S "$VELMOR_ROOT" -B "$dir" -DPython3_EXECUTABLE="$VELMOR_PYTHON" \
    "$@" >/dev/null &&
    cmake --build "$dir" -j "$(nproc)"
}

# Starts Xvfb with any further Xvfb options given and exports DISPLAY; velmor_stop_xvfb stops it.
# The server picks a free display itself and reports it once it accepts clients (-displayfd).
# -noreset: otherwise the server restarts, refusing clients, whenever its last one leaves.
velmor_start_xvfb() {
  local fd n
  exec {fd}< <(exec Xvfb -displayfd 3 -screen 0 1920x1200x24 -nolisten tcp -noreset "$@" \
    3>&1 >/dev/null 2>&1)
  VELMOR_XVFB_PID=$!
  if ! read -r -t 60 -u "$fd" n || [ -z "$n" ]; then
    exec {fd}<&-
    velmor_stop_xvfb
    echo "could not start Xvfb" >&2
    return 1
  fi
  exec {fd}<&-
  export DISPLAY=":$n"
}

velmor_stop_xvfb() {
  if [ -n "${VELMOR_XVFB_PID:-}" ]; then
    kill "$VELMOR_XVFB_PID" 2>/dev/null || true
    wait "$VELMOR_XVFB_PID" 2>/dev/null || true
    VELMOR_XVFB_PID=
  fi
}
