#!/usr/bin/env bash
# Tests what users install: builds the wheels and the sdist (wheel.sh), installs each x86_64 wheel
# (cp311, cp312, cp313t, cp313, cp314) into a fresh virtual environment of its interpreter (for
# cp311 Debian 12's own 3.11, for cp312 pyenv's 3.12: cpython.sh) with --no-index from
# dist/ and the test tools' wheels only (nothing compiled), and runs the Python tests and a
# tavrik-convert run against the installed package from a folder outside the checkout. The
# environments have numpy and pyarrow too (requirements-tables.txt), for tavrik_tables' tests;
# those of cp313 and cp314 also polars and DuckDB (requirements-tables-gil.txt: they have no
# free-threaded wheels), for test_tables_consumers.py. Then
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
# The wheels that tavrik_tables' tests read with, for each interpreter (PYTHON-VERSION and ABI),
# downloaded from REQUIREMENTS with their hashes checked into $work/tables, for installs that
# never look at an index.
tables_wheels() {  # PYTHON-VERSION ABI REQUIREMENTS
  local platform platforms=()
  for platform in manylinux_2_28 manylinux_2_27 manylinux_2_17 manylinux2014; do
    platforms+=(--platform "${platform}_x86_64")
  done
  pip_quiet .venv/bin/python -m pip download -q --no-deps --only-binary=:all: --implementation cp \
      --python-version "$1" --abi "$2" --abi abi3 --abi none "${platforms[@]}" --platform any \
      -d "$work/tables" -r "$3"
}
tables_wheels 3.11 cp311 requirements-tables.txt
tables_wheels 3.12 cp312 requirements-tables.txt
tables_wheels 3.13 cp313t requirements-tables.txt
tables_wheels 3.13 cp313 requirements-tables.txt
tables_wheels 3.14 cp314 requirements-tables.txt
tables_wheels 3.13 cp313 requirements-tables-gil.txt

test_wheel() {  # NAME VENV-PYTHON WHEEL
  local name=$1 venv="$work/venv-$1" wheel=$3
  say "$name: $(basename "$wheel") into a fresh environment"
  if [ "$name" = cp314 ]; then venv_314 "$venv"; else "$2" -m venv "$venv"; fi
  pip_quiet "$venv/bin/python" -m pip install -q --no-index --only-binary=:all: \
      --find-links "$work/tools" "$wheel" pytest olefile
  local consumers=()
  case $name in cp313|cp314) consumers=(-r "$root/requirements-tables-gil.txt") ;; esac
  pip_quiet "$venv/bin/python" -m pip install -q --no-index --only-binary=:all: --find-links "$work/tables" \
      --require-hashes -r "$root/requirements-tables.txt" "${consumers[@]}"
  # From a folder outside the checkout, with nothing but the environment on the PATH (no compiler).
  (cd "$work" && env -i HOME="$work" PATH="$venv/bin" python -c 'import tavrik, tavrik_tables
print("  imported", tavrik.__file__); print("  imported", tavrik_tables.__file__)' \
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
