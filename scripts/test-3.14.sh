#!/usr/bin/env bash
# Checks that the module compiles against CPython 3.14's headers with the free-threaded object
# layout (-DPy_GIL_DISABLED=1), warnings as errors, using Debian unstable's python3.14 packages
# unpacked into a cache folder (nothing is installed system-wide). The module built for that
# interpreter (its default build, with the GIL) is tested as an installed wheel by test-wheels.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
say() { echo "test-3.14: $*" >&2; }
source scripts/python-3.14.sh
fetch_python_314
fs=$python314_fs
includes=(-isystem "$fs/usr/include/python3.14" -isystem "$fs/usr/include")
flags=(-std=c++23 -O2 -fPIC -fvisibility=hidden -Wall -Wextra -Wpedantic -Werror -I"$root/src"
       -I"$root/core/include" -I"$root/cfb/include" "${includes[@]}")
sources=(python/common.cpp python/module.cpp python/raw_reader.cpp python/spectrum.cpp)

say "3.14 headers, free-threaded layout, warnings as errors"
for source in "${sources[@]}"; do g++ "${flags[@]}" -DPy_GIL_DISABLED=1 -c "$source" -o /dev/null; done

