#!/usr/bin/env bash
# Tests what users install: builds the wheels and the sdist (wheel.sh), installs each x86_64 wheel
# (cp311, cp312, cp313t, cp313, cp314) into a fresh virtual environment of its interpreter (for
# cp311 Debian 12's own 3.11, for cp312 pyenv's 3.12: cpython.sh) with --no-index from
# dist/ and the test tools' wheels only (nothing compiled), and runs the Python tests and a
# tavrik-convert run against the installed package from a folder outside the checkout. Then
# installs the sdist into a fresh free-threaded environment, which compiles it. Needs build/dev
# (scripts/test.sh) for the tools the tests use as an independent reader. The aarch64 wheels are
# tested under qemu-user by test-wheels-aarch64.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
say() { echo "test-wheels: $*" >&2; }
# pip's notes about this machine's index settings, and the 3.14 interpreter's missing ssl module
pip_quiet() { "$@" 2> >(grep -v -e 'is ignored: it is neither' -e truststore -e 'TLS/SSL' >&2); }
bash scripts/wheel.sh
source scripts/python-3.14.sh
fetch_python_314
source scripts/cpython.sh
python_313
python_311
python_312
source scripts/schemas.sh
source scripts/tests-outside.sh
python313t=$(.venv/bin/python -c 'import sys; print(sys._base_executable)')

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
copy_tests_out "$work" pytest olefile

test_wheel() {  # NAME VENV-PYTHON WHEEL
  local name=$1 venv="$work/venv-$1" wheel=$3
  say "$name: $(basename "$wheel") into a fresh environment"
  if [ "$name" = cp314 ]; then venv_314 "$venv"; else "$2" -m venv "$venv"; fi
  pip_quiet "$venv/bin/python" -m pip install -q --no-index --only-binary=:all: \
      --find-links "$work/tools" "$wheel" pytest olefile
  # From a folder outside the checkout, with nothing but the environment on the PATH (no compiler).
  (cd "$work" && env -i HOME="$work" PATH="$venv/bin" python -c 'import tavrik; print("  imported", tavrik.__file__)' \
     && env -i PATH="$venv/bin" tavrik-convert --version | sed 's/^/  /')
  (cd "$work" && PATH="$venv/bin:/usr/bin:/bin" TAVRIK_TOOLS="$root/build/dev/tools" \
     python -m pytest -q -p no:cacheprovider tree/tests/python)
  (cd "$work" && rm -rf out && "$venv/bin/tavrik-convert" -o out tree/samples/* && ls out | sed 's/^/  converted: /')
}
test_wheel cp311 "$python311" "$(ls dist/tavrik-*-cp311-cp311-manylinux*_x86_64.whl)"
test_wheel cp312 "$python312" "$(ls dist/tavrik-*-cp312-cp312-manylinux*_x86_64.whl)"
test_wheel cp313t "$python313t" "$(ls dist/tavrik-*-cp313-cp313t-manylinux*_x86_64.whl)"
test_wheel cp313 "$python313" "$(ls dist/tavrik-*-cp313-cp313-manylinux*_x86_64.whl)"
test_wheel cp314 "$python314" "$(ls dist/tavrik-*-cp314-cp314-manylinux*_x86_64.whl)"

say "sdist: compiled and installed into a fresh free-threaded environment"
"$python313t" -m venv "$work/venv-sdist"
pip_quiet "$work/venv-sdist/bin/python" -m pip install -q dist/tavrik-*.tar.gz
(cd "$work" && "$work/venv-sdist/bin/python" -c 'import tavrik; print("  imported", tavrik.__file__)' \
   && "$work/venv-sdist/bin/tavrik-convert" --version | sed 's/^/  /')
