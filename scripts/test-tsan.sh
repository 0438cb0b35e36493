#!/usr/bin/env bash
# Runs the threaded tests under ThreadSanitizer: a free-threaded CPython 3.13 built with
# --with-thread-sanitizer (cached like the ordinary one), both modules built with
# -fsanitize=thread (tavrik_tables' tests read its arrays and tables with numpy and pyarrow,
# requirements-tables.txt); and the C++ tests of the point-list memory, which several threads share.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cache=${TAVRIK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrik}
source scripts/cpython.sh
prefix="$cache/cpython-3.13t-tsan"
python="$prefix/bin/python3.13t"
[ -x "$python" ] || build_python "$prefix" "$cache" --with-thread-sanitizer
venv="$root/build/tsan-venv"
if [ ! -x "$venv/bin/python" ]; then
  TSAN_OPTIONS=report_bugs=0 "$python" -m venv "$venv"
  TSAN_OPTIONS=report_bugs=0 "$venv/bin/python" -m pip install -q -r <(grep -E '^(pytest|olefile)==' requirements-dev.txt) \
    2> >(grep -v -e 'is ignored: it is neither' >&2)
fi
if ! cmp -s requirements-tables.txt "$venv/requirements-tables.txt"; then
  TSAN_OPTIONS=report_bugs=0 "$venv/bin/python" -m pip install -q --require-hashes --only-binary :all: \
    -r requirements-tables.txt 2> >(grep -v -e 'is ignored: it is neither' >&2)
  cp requirements-tables.txt "$venv/requirements-tables.txt"
fi
export PATH="$root/.venv/bin:$PATH"  # cmake and ninja
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="-g -O1 -fsanitize=thread" \
  -DTAVRIK_BUILD_TESTS=ON -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
# A failed build stops here (only grep's finding nothing is forgiven), so that no stale module is tested.
cmake --build build/tsan --target tavrik tavrik_tables tavrik_tests | { grep -v -e '^\[' -e 'no work to do' || true; }
TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/cpp/tavrik_tests --gtest_filter='PointLists.*' --gtest_brief=1
cp python/tavrik.pyi python/tavrik_tables.pyi build/tsan/
# CPython's suppressions for its free-threaded build, and ours for the uninstrumented pyarrow.
cat $(ls "$prefix"/share/tsan/suppressions_free_threading.txt 2>/dev/null) scripts/tsan-suppressions.txt \
  > build/tsan/suppressions.txt
converter="$root/build/dev/convert/tavrik-convert"
[ -x "$converter" ] || { echo "test-tsan: no $converter: run scripts/test.sh first" >&2; exit 1; }
# --capture=sys: pytest captures Python's output only, so that a report (TSan writes it to file
# descriptor 2, then exits with 66 at once) reaches the terminal instead of dying in pytest's
# capture unprinted.
TSAN_OPTIONS="halt_on_error=1 suppressions=$root/build/tsan/suppressions.txt" PYTHONPATH="$root/build/tsan" \
  TAVRIK_TOOLS="$root/build/dev/tools" TAVRIK_CONVERT="$converter" \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys \
  tests/python/test_threads.py tests/python/test_module.py tests/python/test_tables.py "$@"
