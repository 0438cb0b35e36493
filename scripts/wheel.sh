#!/usr/bin/env bash
# Writes the distributions into dist/:
#   - a wheel for free-threaded CPython 3.13 (cp313t) and one for CPython 3.14 (cp314), each
#     built here for glibc 2.17 by the portable toolchain (toolchain.sh; libc++ linked in, the
#     libraries of portable-deps.sh), repaired by auditwheel and checked to carry the
#     manylinux_2_17 tag;
#   - the sdist.
# The 3.13t interpreter is bootstrap.sh's; the 3.14 one is Debian unstable's, unpacked into the
# cache (python-3.14.sh). auditwheel runs in build/wheel-tools, from an ordinary CPython.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
say() { echo "wheel: $*" >&2; }
# pip's notes about this machine's index settings, and the 3.14 interpreter's missing ssl module
pip_quiet() { "$@" 2> >(grep -v -e 'is ignored: it is neither' -e truststore -e 'TLS/SSL' >&2); }
bash scripts/bootstrap.sh
source scripts/python-3.14.sh
fetch_python_314
source scripts/toolchain.sh
source scripts/portable-deps.sh
target=x86_64-linux-gnu.2.17
portable_deps "$target"
# CMake takes the toolchain file from the environment; the wheels build afresh in directories of
# their own, apart from the ordinary build's.
export CMAKE_TOOLCHAIN_FILE; CMAKE_TOOLCHAIN_FILE=$(toolchain_file "$target")
rm -rf "build/wheel-$target"
wheel_build=(--config-settings=build-dir="build/wheel-$target/{wheel_tag}")

tools="$root/build/wheel-tools"
if [ ! -x "$tools/bin/auditwheel" ] || ! cmp -s requirements-wheel.txt "$tools/requirements.txt"; then
  rm -rf "$tools" && python3 -m venv "$tools"
  pip_quiet "$tools/bin/python" -m pip install -q -r requirements-wheel.txt
  cp requirements-wheel.txt "$tools/requirements.txt"
fi

# A build environment for 3.14, offline: the build tools are fetched as wheels by .venv's pip.
venv314="$root/build/venv-3.14"
wheels314="$root/build/wheels-3.14"
if [ ! -x "$venv314/bin/pip" ]; then
  venv_314 "$venv314"
  rm -rf "$wheels314"
  pip_quiet .venv/bin/python -m pip download -q --only-binary=:all: --python-version 3.14 -d "$wheels314" \
      -r <(grep -E '^(scikit-build-core|cmake|ninja)==' requirements-dev.txt)
  pip_quiet "$venv314/bin/python" -m pip install -q --no-index --find-links "$wheels314" \
      -r <(grep -E '^(scikit-build-core|cmake|ninja)==' requirements-dev.txt)
fi

rm -rf dist build/wheels && mkdir -p dist build/wheels
say "building the cp313t wheel"
pip_quiet .venv/bin/python -m pip wheel -q --no-deps --no-build-isolation "${wheel_build[@]}" -w build/wheels .
say "building the cp314 wheel"
# Debian's pyconfig.h includes its multiarch twin from usr/include.
CXXFLAGS="-isystem $python314_fs/usr/include" \
  pip_quiet "$venv314/bin/python" -m pip wheel -q --no-deps --no-build-isolation "${wheel_build[@]}" -w build/wheels .
for wheel in build/wheels/*.whl; do  # it says what it wrote
  PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat manylinux_2_17_x86_64 -w dist "$wheel" 2>&1 \
    | grep -v '^INFO:' || true
done
for wheel in dist/*.whl; do
  "$tools/bin/auditwheel" show "$wheel" 2>/dev/null | tr -s ' \n' ' ' | grep -q '"manylinux_2_17_x86_64"' \
    || { say "$wheel: auditwheel does not report manylinux_2_17_x86_64"; "$tools/bin/auditwheel" show "$wheel"; exit 1; }
done
say "building the sdist"
.venv/bin/python -c 'from scikit_build_core.build import build_sdist; build_sdist("dist")' >/dev/null
for file in dist/*; do say "wrote $file"; done
