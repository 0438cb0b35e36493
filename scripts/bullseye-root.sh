#!/usr/bin/env bash
# A Debian 11 (bullseye, glibc 2.31) root in the cache, for running what tavrik ships on an old
# userland: made once by debootstrap from the Debian archive that the machine's apt configuration
# names, with what building CPython needs, and holding a free-threaded CPython 3.13 that the root's
# own compiler built from the same Debian source as cpython.sh's. Sourced, it defines:
#   make_bullseye_root       makes the root, $bullseye_rootfs, once (quick when done)
#   make_bullseye_python     builds $bullseye_python (a path inside the root) once
#   bullseye_mount SRC DIR [ro], bullseye_unmount   bind mounts into the root, and their undoing
#   in_bullseye CMD...       runs CMD in the root with a clean environment
# Run, it makes the root and the interpreter and shows the root's C library.
source "$(dirname "${BASH_SOURCE[0]}")/cpython.sh"

bullseye_rootfs="${TAVRIK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrik}/bullseye-root"
bullseye_python=/opt/python-3.13t/bin/python3.13t
# The compiler and headers that CPython's build uses (as bootstrap.sh installs on the host), and
# xmllint for the converter's schema test.
bullseye_packages=(build-essential pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev
                   libsqlite3-dev libreadline-dev uuid-dev libexpat1-dev libxml2-utils ca-certificates)
bullseye_mounted=()

bullseye_say() { echo "bullseye: $*" >&2; }

# Mounts left under the root (a run that was killed), innermost first.
bullseye_stale_mounts() {
  awk -v r="$bullseye_rootfs/" 'index($2, r) == 1 {print $2}' /proc/mounts | sort -r
}

bullseye_mount() {  # SRC DIR-INSIDE [ro]
  local dest="$bullseye_rootfs$2"
  mkdir -p "$dest"
  mount --bind "$1" "$dest"
  bullseye_mounted+=("$dest")
  if [ "${3:-}" = ro ]; then mount -o remount,bind,ro "$dest"; fi
}

bullseye_unmount() {  # what bullseye_mount mounted, innermost first
  local i
  for ((i = ${#bullseye_mounted[@]} - 1; i >= 0; i--)); do
    umount "${bullseye_mounted[i]}" 2>/dev/null || umount -l "${bullseye_mounted[i]}"
  done
  bullseye_mounted=()
}

in_bullseye() {
  chroot "$bullseye_rootfs" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
    PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin "$@"
}

make_bullseye_root() {
  local want="bullseye ${bullseye_packages[*]}"
  [ "$(cat "$bullseye_rootfs/.tavrik-root" 2>/dev/null)" = "$want" ] && return 0
  command -v debootstrap >/dev/null || {
    bullseye_say "installing debootstrap"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
  }
  local mirror
  mirror=$(debian_mirror)
  wget -q --spider "$mirror/dists/bullseye/Release" || {
    bullseye_say "the Debian archive in the apt configuration has no bullseye"; return 1; }
  # Never remove a root that still has something bound into it (a killed run's): that would
  # reach the host.
  local dest
  for dest in $(bullseye_stale_mounts); do umount "$dest" 2>/dev/null || umount -l "$dest"; done
  [ -z "$(bullseye_stale_mounts)" ] || { bullseye_say "mounts remain under $bullseye_rootfs"; return 1; }
  bullseye_say "making $bullseye_rootfs with debootstrap (a few minutes, once)"
  local partial="$bullseye_rootfs.partial"
  mkdir -p "$(dirname "$bullseye_rootfs")"
  rm -rf --one-file-system "$partial" "$bullseye_rootfs"
  local packages; packages=$(IFS=,; echo "${bullseye_packages[*]}")
  debootstrap --variant=buildd --include="$packages" \
    bullseye "$partial" "$mirror" >"$partial.log" 2>&1 \
    || { bullseye_say "debootstrap failed; see $partial.log"; return 1; }
  # The root is never updated, only made anew: no package source stays named in it.
  : > "$partial/etc/apt/sources.list"
  rm -f "$partial"/var/cache/apt/archives/*.deb "$partial.log"
  echo "$want" > "$partial/.tavrik-root"
  mv "$partial" "$bullseye_rootfs"
}

bullseye_python_works() {
  in_bullseye "$bullseye_python" -c 'import sys, sysconfig, ssl, zlib, ctypes, sqlite3, lzma, bz2, ensurepip
sys.exit(0 if sysconfig.get_config_var("Py_GIL_DISABLED") else 1)' 2>/dev/null
}

make_bullseye_python() {
  make_bullseye_root
  bullseye_python_works && return 0
  bullseye_say "building free-threaded CPython 3.13 in the root (several minutes, once)"
  local work="$bullseye_rootfs/tmp/python-src"
  fetch_python_source "$work"   # by the host's apt, as cpython.sh does
  local jobs; jobs=$(nproc); [ "$jobs" -le 2 ] || jobs=2
  (
    trap bullseye_unmount EXIT
    trap 'exit 1' INT TERM
    bullseye_mount /proc /proc
    bullseye_mount /dev /dev
    in_bullseye sh -c "cd /tmp/python-src/src && ./configure --prefix=${bullseye_python%/bin/*} --disable-gil \
      >../configure.log 2>&1 && make -j$jobs >../make.log 2>&1 && make altinstall >../install.log 2>&1"
  ) || { bullseye_say "CPython build in the root failed; logs in $work"; return 1; }
  bullseye_python_works || { bullseye_say "the root's CPython lacks a module; logs in $work"; return 1; }
  rm -rf "$work"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  make_bullseye_python
  in_bullseye ldd --version | sed -n 1p  # read to the end: ldd never writes into a closed pipe
  in_bullseye "$bullseye_python" -VV
fi
