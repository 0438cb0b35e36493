#!/usr/bin/env bash
# Writes the distributions into dist/:
#   - wheels for CPython 3.11 (cp311), CPython 3.12 (cp312), free-threaded CPython 3.13 (cp313t),
#     CPython 3.13 (cp313) and CPython 3.14 (cp314), for x86_64 and aarch64, each built here for
#     glibc 2.17 by the portable toolchain (toolchain.sh; libc++ linked in, the libraries of
#     portable-deps.sh), repaired by auditwheel and checked to carry the manylinux_2_17 tag of its
#     architecture;
#   - the sdist.
# The 3.13t interpreter is bootstrap.sh's, the 3.13 one cpython.sh's (python_313), the 3.11 one
# Debian 12's own and the 3.12 one pyenv's (python_311, python_312); the 3.14 one is Debian
# unstable's, unpacked into the cache (python-3.14.sh). Each builds its own wheels, the aarch64
# ones cross-compiled against that flavour's aarch64 headers (python-aarch64.sh).
# auditwheel runs in build/wheel-tools, from an ordinary CPython.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
say() { echo "wheel: $*" >&2; }
# pip's notes about this machine's index settings, and the 3.14 interpreter's missing ssl module
pip_quiet() { "$@" 2> >(grep -v -e 'is ignored: it is neither' -e truststore -e 'TLS/SSL' >&2); }
bash scripts/bootstrap.sh
source scripts/python-3.14.sh
fetch_python_314
source scripts/cpython.sh
python_313
python_311
python_312
source scripts/toolchain.sh
source scripts/portable-deps.sh
source scripts/python-aarch64.sh
arches=(x86_64 aarch64)
for arch in "${arches[@]}"; do
  portable_deps "$arch-linux-gnu.2.17"
  rm -rf "build/wheel-$arch-linux-gnu.2.17"
done

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

# A build environment for 3.11, 3.12 and 3.13 with the GIL each, from PyPI.
build_venv() {  # DIR PYTHON
  if [ ! -x "$1/bin/pip" ] || ! "$1/bin/python" -c 'import scikit_build_core' 2>/dev/null; then
    rm -rf "$1" && "$2" -m venv "$1"
    pip_quiet "$1/bin/python" -m pip install -q -r <(grep -E '^(scikit-build-core|cmake|ninja)==' requirements-dev.txt)
  fi
}
venv311="$root/build/venv-3.11"
venv312="$root/build/venv-3.12"
venv313="$root/build/venv-3.13"
build_venv "$venv311" "$python311"
build_venv "$venv312" "$python312"
build_venv "$venv313" "$python313"
# Debian's pyconfig.h includes its multiarch twin: a folder holding only that, for the compiler,
# which must not see the rest of this machine's /usr/include.
include311="$root/build/wheel-include-3.11"
mkdir -p "$include311/x86_64-linux-gnu"
ln -sfn /usr/include/x86_64-linux-gnu/python3.11 "$include311/x86_64-linux-gnu/python3.11"

# build_wheel FLAVOUR PYTHON ARCH: FLAVOUR's wheel for ARCH, by PYTHON's build environment, into
# build/wheels. CMake takes the toolchain file from the environment; the wheels build afresh in
# directories of their own, apart from the ordinary build's. For another architecture the build
# is told that flavour's headers and module suffix there, and the wheel's platform.
build_wheel() {
  local flavour=$1 python=$2 arch=$3 target=$3-linux-gnu.2.17
  local settings=(--config-settings=build-dir="build/wheel-$target/{wheel_tag}") cxxflags=""
  local cross=()
  # Debian's pyconfig.h includes its multiarch twin from usr/include.
  [ "$flavour" = 314 ] && cxxflags="-isystem $python314_fs/usr/include"
  [ "$flavour" = 311 ] && cxxflags="-isystem $include311"
  if [ "$arch" != "$(uname -m)" ]; then
    aarch64_python "$flavour"
    cxxflags=$aarch64_cxxflags
    local soabi=${aarch64_ext_suffix#.}; soabi=${soabi%.so}
    settings+=(--config-settings=cmake.define.Python_INCLUDE_DIR="$aarch64_include"
               --config-settings=cmake.define.Python3_INCLUDE_DIR="$aarch64_include"
               --config-settings=cmake.define.Python_SOABI="$soabi")
    cross=(_PYTHON_HOST_PLATFORM="linux-$arch" SETUPTOOLS_EXT_SUFFIX="$aarch64_ext_suffix")
  fi
  say "building the cp$flavour wheel for $arch"
  pip_quiet env CMAKE_TOOLCHAIN_FILE="$(toolchain_file "$target")" CXXFLAGS="$cxxflags" "${cross[@]}" \
    "$python" -m pip wheel -q --no-deps --no-build-isolation "${settings[@]}" -w build/wheels .
}

rm -rf dist build/wheels && mkdir -p dist build/wheels
for arch in "${arches[@]}"; do
  build_wheel 311 "$venv311/bin/python" "$arch"
  build_wheel 312 "$venv312/bin/python" "$arch"
  build_wheel 313t .venv/bin/python "$arch"
  build_wheel 313 "$venv313/bin/python" "$arch"
  build_wheel 314 "$venv314/bin/python" "$arch"
done
for arch in "${arches[@]}"; do
  # auditwheel names only this machine's architecture's tags; for another, "auto" takes the
  # oldest the wheel meets, which the check below pins.
  plat="manylinux_2_17_$arch"; [ "$arch" = "$(uname -m)" ] || plat=auto
  for wheel in build/wheels/*_"$arch".whl; do  # it says what it wrote
    PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$plat" -w dist "$wheel" 2>&1 \
      | grep -v '^INFO:' || true
  done
  for wheel in dist/*_"$arch".whl; do
    "$tools/bin/auditwheel" show "$wheel" 2>/dev/null | tr -s ' \n' ' ' | grep -q "\"manylinux_2_17_$arch\"" \
      || { say "$wheel: auditwheel does not report manylinux_2_17_$arch"; "$tools/bin/auditwheel" show "$wheel"; exit 1; }
  done
done
[ "$(ls dist/*.whl | wc -l)" = $((5 * ${#arches[@]})) ] || { say "expected $((5 * ${#arches[@]})) wheels in dist/"; exit 1; }
say "building the sdist"
.venv/bin/python -c 'from scikit_build_core.build import build_sdist; build_sdist("dist")' >/dev/null
for file in dist/*; do say "wrote $file"; done
