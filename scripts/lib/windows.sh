# The Windows build, cross-compiled with MinGW-w64 and run under Wine; sourced after common.sh.
# shellcheck shell=bash

VELMOR_WINDOWS_BUILD=$VELMOR_ROOT/build-windows
# freeglut and GLEW built static for MinGW from Debian's source packages, kept while present.
VELMOR_WINDOWS_DEPS=$VELMOR_WINDOWS_BUILD/deps

VELMOR_WINDOWS_PACKAGES=(cmake make g++-mingw-w64-x86-64 mingw-w64-tools dpkg-dev wine xvfb xauth
  python3 python3-pil xdotool)

# Runs one named step with its output in build-windows/logs/NAME.log; a failure names the step,
# shows the end of its log and fails.
velmor_windows_step() {
  local name=$1
  shift
  local log=$VELMOR_WINDOWS_BUILD/logs/${name// /-}.log
  mkdir -p "${log%/*}"
  echo "Windows: $name" >&2
  if ! "$@" >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    echo "Windows build failed at step \"$name\" (whole log: $log)" >&2
    return 1
  fi
}

# apt-get source needs a deb-src entry; this adds one for the Debian archive already configured
# and fetches the source indexes once.
velmor_ensure_deb_src() {
  local lists=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list
    /etc/apt/sources.list.d/*.sources)
  if ! grep -qsE '^[[:space:]]*(Types:.*deb-src|deb-src[[:space:]])' "${lists[@]}"; then
    local entry file
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      entry=$(sed -E 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources)
      file=/etc/apt/sources.list.d/velmor-src.sources
    else
      entry=$(sed -nE 's/^deb([[:space:]])/deb-src\1/p' /etc/apt/sources.list)
      file=/etc/apt/sources.list.d/velmor-src.list
    fi
    if [ -z "$entry" ]; then
      echo "no Debian archive entry found to add a deb-src entry for" >&2
      return 1
    fi
    printf '%s\n' "$entry" | velmor_as_root tee "$file" >/dev/null || return 1
    echo "Added $file" >&2
  fi
  compgen -G '/var/lib/apt/lists/*_Sources*' >/dev/null ||
    velmor_as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
}

# Unpacks Debian's freeglut and glew sources into $1 and installs both, static, into $2.
velmor_build_windows_deps() {
  local src=$1 prefix=$2 toolchain=$VELMOR_ROOT/cmake/mingw-w64-x86_64.cmake
  rm -rf "$src" "$prefix"
  mkdir -p "$src"
  (cd "$src" && apt-get source freeglut glew) || return 1
  local common=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_INSTALL_PREFIX="$prefix")
  cmake -S "$src"/freeglut-*/ -B "$src/freeglut-build" "${common[@]}" \
    -DFREEGLUT_BUILD_SHARED_LIBS=OFF -DFREEGLUT_BUILD_STATIC_LIBS=ON -DFREEGLUT_BUILD_DEMOS=OFF &&
    cmake --build "$src/freeglut-build" -j "$(nproc)" &&
    cmake --install "$src/freeglut-build" &&
    cmake -S "$(echo "$src"/glew-*/build/cmake)" -B "$src/glew-build" "${common[@]}" \
      -DBUILD_SHARED_LIBS=OFF -DBUILD_UTILS=OFF &&
    cmake --build "$src/glew-build" --target glew_s -j "$(nproc)" &&
    cmake --install "$src/glew-build" &&
    touch "$prefix/.complete"
}

# Everything from packages to build-windows/velmor.exe, each step named when it fails.
velmor_build_windows() {
  velmor_windows_step "installing packages" \
    velmor_ensure_packages "${VELMOR_WINDOWS_PACKAGES[@]}" &&
    velmor_windows_step "adding a deb-src entry" velmor_ensure_deb_src || return 1
  if [ ! -e "$VELMOR_WINDOWS_DEPS/.complete" ]; then
    velmor_windows_step "building freeglut and GLEW for MinGW" velmor_build_windows_deps \
      "$VELMOR_WINDOWS_BUILD/deps-src" "$VELMOR_WINDOWS_DEPS" || return 1
  fi
  velmor_windows_step "cross-building velmor.exe" velmor_cross_build
}

# The windows preset: build-windows/, the toolchain file and the prefix of the libraries above.
velmor_cross_build() {
  (cd "$VELMOR_ROOT" && cmake --preset windows >/dev/null &&
    cmake --build --preset windows -j "$(nproc)")
}

# Wine's settings for every run: its own prefix in the build tree, no debug chatter, and no
# offer to download Mono or Gecko, which nothing here uses.
velmor_wine_env() {
  export WINEPREFIX=$VELMOR_WINDOWS_BUILD/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
}

# Creates the Wine prefix on its first use and waits for Wine's background server to finish.
velmor_ensure_wine_prefix() {
  velmor_wine_env
  [ -e "$WINEPREFIX/system.reg" ] && return 0
  velmor_windows_step "creating the Wine prefix" sh -c 'wineboot --init && wineserver -w'
}

# Ends whatever Wine still runs in the build tree's prefix (nothing, after a clean run).
velmor_stop_wine() {
  velmor_wine_env
  wineserver -k 2>/dev/null || true
}
