# The Windows build, cross-compiled with MinGW-w64 and run under Wine; sourced after common.sh.
# shellcheck shell=bash

VELMOR_WINDOWS_BUILD=$VELMOR_ROOT/build-windows
# freeglut, GLEW and SPIRV-Tools built static for MinGW from Debian's source packages; kept while
# they are the set named here.
VELMOR_WINDOWS_DEPS=$VELMOR_WINDOWS_BUILD/deps
VELMOR_WINDOWS_DEPS_SET="freeglut glew spirv-tools"

VELMOR_WINDOWS_PACKAGES=(cmake make g++-mingw-w64-x86-64 mingw-w64-tools dpkg-dev spirv-headers
  wine xvfb xauth python3 python3-pil xdotool)

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

# apt-get with a source list, index folder and cache of its own under build-windows/apt: the
# host's apt configuration and its package indexes stay as they are.
velmor_private_apt() {
  local dir=$VELMOR_WINDOWS_BUILD/apt
  apt-get -o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts="$dir/parts" \
    -o Dir::State::Lists="$dir/lists" -o Dir::Cache="$dir/cache" "$@"
}

# The deb-src entry of the Debian archive this machine already uses, and its source index.
velmor_private_apt_update() {
  local dir=$VELMOR_WINDOWS_BUILD/apt codename
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || { echo "no Debian release named in /etc/os-release" >&2 && return 1; }
  mkdir -p "$dir/parts" "$dir/lists/partial" "$dir/cache/archives/partial"
  local options=
  [ -e "$keyring" ] && options="[signed-by=$keyring] "
  echo "deb-src $options$(velmor_apt_mirror) $codename main" >"$dir/sources.list"
  velmor_private_apt update -qq
}

# Unpacks Debian's freeglut, glew and spirv-tools sources into $1 and installs them, static, into
# $2, with SPIRV-Headers copied from the spirv-headers package (its source is not in the archive).
velmor_build_windows_deps() {
  local src=$1 prefix=$2 toolchain=$VELMOR_ROOT/cmake/mingw-w64-x86_64.cmake
  rm -rf "$src" "$prefix"
  mkdir -p "$src" "$prefix/include"
  (cd "$src" && velmor_private_apt source freeglut glew spirv-tools) || return 1
  # The grammar files that SPIRV-Tools' build reads; never /usr itself, whose glibc headers
  # would come before MinGW's.
  cp -r /usr/include/spirv "$prefix/include/" || return 1
  local common=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_INSTALL_PREFIX="$prefix")
  local spirv_build=$src/spirv-tools-build
  cmake -S "$src"/freeglut-*/ -B "$src/freeglut-build" "${common[@]}" \
    -DFREEGLUT_BUILD_SHARED_LIBS=OFF -DFREEGLUT_BUILD_STATIC_LIBS=ON -DFREEGLUT_BUILD_DEMOS=OFF &&
    cmake --build "$src/freeglut-build" -j "$(nproc)" &&
    cmake --install "$src/freeglut-build" &&
    cmake -S "$(echo "$src"/glew-*/build/cmake)" -B "$src/glew-build" "${common[@]}" \
      -DBUILD_SHARED_LIBS=OFF -DBUILD_UTILS=OFF &&
    cmake --build "$src/glew-build" --target glew_s -j "$(nproc)" &&
    cmake --install "$src/glew-build" &&
    cmake -S "$(echo "$src"/spirv-tools-*/)" -B "$spirv_build" "${common[@]}" \
      -DSPIRV-Headers_SOURCE_DIR="$prefix" -DBUILD_SHARED_LIBS=OFF -DSPIRV_SKIP_TESTS=ON \
      -DSPIRV_SKIP_EXECUTABLES=ON -DSPIRV_WERROR=OFF &&
    cmake --build "$spirv_build" --target SPIRV-Tools-static spirv-tools-pkg-config \
      -j "$(nproc)" &&
    # Only the core library, its headers and its CMake package: not the optimizer and the other
    # libraries beside it, which velmor does not use (the optimizer alone is three times the
    # core library's size).
    cmake -DCMAKE_INSTALL_LOCAL_ONLY=ON -P "$spirv_build/cmake_install.cmake" &&
    cmake -DCMAKE_INSTALL_LOCAL_ONLY=ON -P "$spirv_build/source/cmake_install.cmake" &&
    echo "$VELMOR_WINDOWS_DEPS_SET" >"$prefix/.complete"
}

# Everything from packages to build-windows/velmor.exe, each step named when it fails.
velmor_build_windows() {
  velmor_windows_step "installing packages" \
    velmor_ensure_packages "${VELMOR_WINDOWS_PACKAGES[@]}" || return 1
  if [ "$(cat "$VELMOR_WINDOWS_DEPS/.complete" 2>/dev/null)" != "$VELMOR_WINDOWS_DEPS_SET" ]; then
    velmor_windows_step "fetching the source index" velmor_private_apt_update &&
      velmor_windows_step "building freeglut, GLEW and SPIRV-Tools for MinGW" \
        velmor_build_windows_deps "$VELMOR_WINDOWS_BUILD/deps-src" "$VELMOR_WINDOWS_DEPS" ||
      return 1
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
