# Runs a command inside a root of another Debian release (scripts/test --debian N).
# The root lives under the build tree (build-debianN/root, or VELMOR_DEBIAN_DIR) and is reused
# until --fresh; the working tree is copied into it, so the run sees the tracked and untracked
# files, never the host's build folders. Every step runs in mount and PID namespaces of its own
# (unshare, from util-linux): when the run ends, on success, failure, Ctrl-C or a kill, the kernel
# ends every process it started and drops every mount it made.
# shellcheck shell=bash

VELMOR_DEBIAN_NAME=

velmor_debian_codename() {
  case $1 in
  12) echo bookworm ;;
  13) echo trixie ;;
  *) return 1 ;;
  esac
}

velmor_debian_fail() {
  echo "$VELMOR_DEBIAN_NAME: $1 failed" >&2
  exit 1
}

# A fresh root from debootstrap, unless a finished one is there and --fresh was not asked.
velmor_debian_bootstrap() {
  local root=$1 codename=$2 fresh=$3 log=$1.debootstrap.log mirror
  [ -z "$fresh" ] && [ -e "$root/.velmor-bootstrapped" ] && return 0
  rm -rf --one-file-system "$root" || velmor_debian_fail "removing the old root"
  mkdir -p "$root"
  mirror=$(velmor_apt_mirror)
  echo "$VELMOR_DEBIAN_NAME: debootstrap $codename from $mirror into $root" >&2
  if ! debootstrap --variant=minbase "$codename" "$root" "$mirror" >"$log" 2>&1; then
    tail -n 5 "$log" >&2
    velmor_debian_fail "debootstrap (log: $log)"
  fi
  # Package scripts must not start services inside the root.
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod +x "$root/usr/sbin/policy-rc.d"
  touch "$root/.velmor-bootstrapped"
}

# The file systems a run needs, mounted in this namespace only. VELMOR_DEBIAN_SHARE, when set,
# is a host folder shown read-only at /share.
velmor_debian_mount() {
  local r=$1
  { mount -t proc proc "$r/proc" &&
    mount --bind /dev "$r/dev" &&
    mount --bind /dev/pts "$r/dev/pts" &&
    mount -t tmpfs -o mode=1777,nosuid,nodev shm "$r/dev/shm" &&
    mount -t sysfs -o ro,nosuid,nodev,noexec sys "$r/sys"; } || velmor_debian_fail "mount"
  if [ -n "${VELMOR_DEBIAN_SHARE:-}" ]; then
    mkdir -p "$r/share"
    mount --bind -o ro "$VELMOR_DEBIAN_SHARE" "$r/share" || velmor_debian_fail "mounting /share"
  fi
}

# The tracked and untracked, not ignored, files of the working tree into /velmor in the root.
# The copy's own build folder stays, so a second run builds only what changed.
velmor_debian_copy_tree() {
  local dest=$1/velmor
  mkdir -p "$dest"
  find "$dest" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
  if git -C "$VELMOR_ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$VELMOR_ROOT" && git ls-files -z --cached --others --exclude-standard |
      tar --null --files-from=- --ignore-failed-read -cf - 2>/dev/null) | tar -xf - -C "$dest"
  else
    tar -C "$VELMOR_ROOT" --exclude='./build*' --exclude=__pycache__ -cf - . | tar -xf - -C "$dest"
  fi
}

# Runs a command in the root with a clean environment; Mesa's own settings pass through, so a
# driver can be chosen for the run (MESA_LOADER_DRIVER_OVERRIDE=zink, say).
velmor_debian_chroot() {
  local root=$1 pass=() name
  shift
  for name in $(compgen -e); do
    case $name in MESA_* | GALLIUM_* | LIBGL_* | LP_* | VK_*) pass+=("$name=${!name}") ;; esac
  done
  chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    "${pass[@]}" "$@"
}

# Inside the namespaces: velmor_debian_inside ROOT CODENAME FRESH PACKAGE... -- COMMAND ARG...
velmor_debian_inside() {
  local root=$1 codename=$2 fresh=$3 packages=()
  shift 3
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    packages+=("$1")
    shift
  done
  shift
  velmor_debian_bootstrap "$root" "$codename" "$fresh"
  # A clean /tmp, as after a boot: a stopped run's X server locks and scratch folders go.
  find "$root/tmp" -mindepth 1 -delete
  velmor_debian_mount "$root"
  cp -L /etc/resolv.conf "$root/etc/resolv.conf" || velmor_debian_fail "copying resolv.conf"
  velmor_debian_copy_tree "$root" || velmor_debian_fail "copying the working tree"

  # The same installer as on the host, from the copy's own scripts; an install cut short by an
  # interrupted run is finished first. The downloaded packages go afterwards (about 200 MB).
  local log=$root.install.log
  if ! velmor_debian_chroot "$root" bash -c 'dpkg --configure -a &&
    . /velmor/scripts/lib/common.sh && velmor_ensure_packages "$@" && apt-get clean' \
    bash "${packages[@]}" >"$log" 2>&1; then
    tail -n 5 "$log" >&2
    velmor_debian_fail "package install (log: $log)"
  fi
  velmor_debian_chroot "$root" bash -c 'cd /velmor && exec "$@"' bash "$@"
}

# Ends the run's namespaces: killing their first process makes the kernel end all the others
# and drop their mounts; unshare then collects it and ends, and so the wait returns only when
# nothing of the run is left.
velmor_debian_stop() {
  [ -n "$VELMOR_CHILD" ] || return 0
  local init
  init=$(pgrep -P "$VELMOR_CHILD") || true
  # shellcheck disable=SC2086
  kill -KILL ${init:-"$VELMOR_CHILD"} 2>/dev/null || true
  wait "$VELMOR_CHILD" 2>/dev/null || true
  VELMOR_CHILD=
}

velmor_debian_interrupted() {
  echo "$VELMOR_DEBIAN_NAME: interrupted by SIG$1; stopping" >&2
  velmor_debian_stop
  exit "$2"
}

# velmor_debian_run RELEASE FRESH PACKAGE... -- COMMAND ARG...
# Runs COMMAND in /velmor inside the root of Debian RELEASE, with the packages installed.
velmor_debian_run() {
  local release=$1 fresh=$2 codename root
  shift 2
  VELMOR_DEBIAN_NAME="debian $release"
  codename=$(velmor_debian_codename "$release") ||
    { echo "scripts/test --debian: no Debian release '$release' (12 or 13)" >&2 && return 1; }
  if [ "$(id -u)" -ne 0 ]; then
    echo "$VELMOR_DEBIAN_NAME: building and entering a root needs root (sudo scripts/test ...)" >&2
    return 1
  fi
  velmor_ensure_packages debootstrap git util-linux procps ||
    velmor_debian_fail "installing debootstrap"
  root=$(realpath -m "${VELMOR_DEBIAN_DIR:-$VELMOR_ROOT/build-debian$release/root}")
  mkdir -p "${root%/*}"

  trap 'velmor_debian_interrupted INT 130' INT
  trap 'velmor_debian_interrupted TERM 143' TERM
  trap 'velmor_debian_interrupted HUP 129' HUP
  local status=0 log=$root.unshare.log
  # --pdeathsig: a kill that no trap sees (SIGKILL) still ends unshare, and with it the run.
  # unshare's own complaints go to a log (sh's exec puts them there): the run's output is the
  # command's.
  velmor_run_child sh -c 'exec "$@" 3>&2 2>"$0"' "$log" \
    setpriv --pdeathsig KILL unshare --mount --pid --fork --mount-proc --kill-child \
    bash -c '. "$0/scripts/lib/common.sh" && . "$0/scripts/lib/debian_root.sh" &&
      VELMOR_DEBIAN_NAME=$1 && shift && exec 2>&3 3>&- && velmor_debian_inside "$@"' \
    "$VELMOR_ROOT" "$VELMOR_DEBIAN_NAME" "$root" "$codename" "$fresh" "$@" || status=$?
  trap - INT TERM HUP
  if [ "$status" -ne 0 ]; then
    cat "$log" >&2
    echo "$VELMOR_DEBIAN_NAME: the run failed (status $status)" >&2
  fi
  return "$status"
}
