#!/usr/bin/env bash
# Builds the libraries, the C++ tests, the tools and the extension modules with AddressSanitizer
# and UndefinedBehaviorSanitizer (any report is fatal), then runs the whole test suite on them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export PATH="$root/.venv/bin:$PATH"
out="$root/build/asan"
flags="-g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all"
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="$flags" \
  -DTAVRIK_BUILD_TESTS=ON -DPython_EXECUTABLE="$root/.venv/bin/python" >/dev/null
# A failed build stops here (only grep's finding nothing is forgiven), so that no stale module is tested.
cmake --build "$out" | { grep -v -e '^\[' -e 'no work to do' || true; }
cmake --install "$out" --prefix "$out/site" >/dev/null  # both modules and their stubs, laid out as pip would
# The tests must import the instrumented modules, not .venv's: tavrik_tables' tests (numpy and
# pyarrow, requirements-tables.txt, are in .venv) check there that arrays and streams outlive their run.
preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0 PYTHONPATH="$out/site" .venv/bin/python -c '
import sys, tavrik, tavrik_tables
for m in (tavrik, tavrik_tables):
    if not m.__file__.startswith(sys.argv[1]): sys.exit(f"{m.__name__} is not the instrumented build: {m.__file__}")
' "$out/site/"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
echo "== C++ tests (ASan, UBSan)"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$out" --output-on-failure -j2
echo "== Python tests (ASan, UBSan)"
# The interpreter itself is not instrumented: the runtime is preloaded, and leak checking is
# left to the C++ tests (an interpreter keeps objects alive at exit by design). Reports go to
# files: pytest's output capture would swallow one that ends the process.
rm -f "$out"/report.*
if ! LD_PRELOAD="$preload" \
     ASAN_OPTIONS="detect_leaks=0:log_path=$out/report" UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$out/report" \
     PYTHONPATH="$out/site" TAVRIK_TOOLS="$out/tools" TAVRIK_CONVERT="$out/convert/tavrik-convert" \
     .venv/bin/python -m pytest -q -p no:cacheprovider tests/python "$@"; then
  cat "$out"/report.* 2>/dev/null || true
  exit 1
fi
