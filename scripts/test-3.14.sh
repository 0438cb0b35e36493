#!/usr/bin/env bash
# Checks the module against CPython 3.14, using Debian unstable's python3.14 packages unpacked
# into a cache folder (nothing is installed system-wide):
#   1. compile check: the module compiled against 3.14's headers with the free-threaded object
#      layout (-DPy_GIL_DISABLED=1), warnings as errors;
#   2. runtime check: the module built against 3.14's headers (its default build) and the whole
#      Python test suite run on that interpreter.
# Needs build/dev (scripts/test.sh makes it) for the reader's libraries and the tools.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cache=${TAVRIK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrik}
sid="$cache/cpython-3.14-debian"
fs="$sid/root"
say() { echo "test-3.14: $*" >&2; }
source scripts/debian-mirror.sh

packages=(python3.14 python3.14-minimal libpython3.14 libpython3.14-minimal libpython3.14-stdlib
          libpython3.14-dev libc6 libexpat1 zlib1g libzstd1 libffi8 libssl3t64 libbz2-1.0 liblzma5
          libstdc++6 libgcc-s1 libmpdec4 libsqlite3-0 libuuid1 libncursesw6 libtinfo6 libreadline8t64)

if [ ! -f "$sid/.done" ]; then
  say "fetching Debian unstable's CPython 3.14 into $sid (once)"
  command -v patchelf >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq patchelf >/dev/null
  rm -rf "$sid" && mkdir -p "$sid/lists/partial" "$sid/cache/archives/partial" "$sid/debs"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_mirror) sid main" > "$sid/sources.list"
  : > "$sid/status"
  aptopts=(-qq -o "Dir::Etc::SourceList=$sid/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
           -o "Dir::State::Lists=$sid/lists" -o "Dir::State::Status=$sid/status" -o "Dir::Cache=$sid/cache"
           -o "APT::Sandbox::User=root" -o "APT::Architecture=amd64")
  apt-get "${aptopts[@]}" update >/dev/null
  (cd "$sid/debs" && apt-get "${aptopts[@]}" download "${packages[@]}" >/dev/null)
  for deb in "$sid"/debs/*.deb; do dpkg-deb -x "$deb" "$fs"; done
  # A copy of the interpreter that runs through unstable's own loader and libraries, so that
  # sys.executable works for subprocesses too; it stays in usr/bin so its prefix is found.
  cp "$fs/usr/bin/python3.14" "$fs/usr/bin/python3.14-here"
  patchelf --set-interpreter "$fs/usr/lib64/ld-linux-x86-64.so.2" \
           --set-rpath "$fs/usr/lib/x86_64-linux-gnu" "$fs/usr/bin/python3.14-here"
  # pytest and the tests' pure-Python dependencies, as wheels from PyPI, unpacked on a path.
  mkdir -p "$sid/wheels" "$sid/site"
  "$root/.venv/bin/python" -m pip download -q --only-binary=:all: --python-version 3.14 \
      -d "$sid/wheels" -r <(grep -E '^(pytest|olefile)==' requirements-dev.txt) \
      2> >(grep -v -e 'is ignored: it is neither' >&2)
  for wheel in "$sid"/wheels/*.whl; do "$root/.venv/bin/python" -m zipfile -e "$wheel" "$sid/site"; done
  rm -rf "$sid/debs" "$sid/cache" "$sid/lists"
  touch "$sid/.done"
fi
python="$fs/usr/bin/python3.14-here"
includes=(-isystem "$fs/usr/include/python3.14" -isystem "$fs/usr/include")
flags=(-std=c++23 -O2 -fPIC -fvisibility=hidden -Wall -Wextra -Wpedantic -Werror -I"$root/src"
       -I"$root/core/include" -I"$root/cfb/include" "${includes[@]}")
sources=(python/common.cpp python/module.cpp python/raw_reader.cpp python/spectrum.cpp)

say "compile check: 3.14 headers, free-threaded layout, warnings as errors"
for source in "${sources[@]}"; do g++ "${flags[@]}" -DPy_GIL_DISABLED=1 -c "$source" -o /dev/null; done

say "runtime check: $("$python" -c 'import sys; print(sys.version.replace(chr(10), " "))')"
out="$root/build/py3.14"
mkdir -p "$out"
suffix=$("$python" -c 'import importlib.machinery as m; print(m.EXTENSION_SUFFIXES[0])')
g++ "${flags[@]}" -shared -o "$out/tavrik$suffix" "${sources[@]}" \
    "$root/build/dev/libtavrik_reader.a" "$root/build/dev/libtavrik_decoders.a" "$root/build/dev/libtavrik_core.a" \
    "$root/build/dev/cfb/libcfb.a"
cp python/tavrik.pyi "$out/"
PYTHONPATH="$out:$sid/site" TAVRIK_TOOLS="$root/build/dev/tools" \
  TAVRIK_CONVERT="$root/build/dev/src/convert/tavrik-convert" \
  "$python" -m pytest -q -p no:cacheprovider tests/python "$@"
