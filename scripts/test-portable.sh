#!/usr/bin/env bash
# Tests the portable builds as they ship (static-converter.sh, the very files release.sh copies):
#   - the x86_64 static converter runs the converter's test suites (tests/python/test_convert*.py);
#   - under qemu-user, the C++ tests built for aarch64 (static musl, like the converter) run, and
#     the aarch64 static converter converts the samples and the test-writer files, every output
#     the same bytes as the x86_64 converter's.
# Needs .venv and build/dev (scripts/test.sh) for the test suite and its tools.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
say() { echo "test-portable: $*" >&2; }
bash scripts/bootstrap.sh
source scripts/schemas.sh
if ! command -v qemu-aarch64 >/dev/null; then
  say "installing qemu-user"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user >/dev/null
fi
source scripts/static-converter.sh
source scripts/converter-inputs.sh
build_static_converter x86_64
x86_64=$static_converter
build_static_converter aarch64
aarch64=$static_converter
for program in "$x86_64" "$aarch64"; do
  file -b "$program" | grep -q 'statically linked' || { say "$program is not statically linked"; exit 1; }
done

say "the converter's tests on the x86_64 static converter"
TAVRIK_CONVERT="$x86_64" TAVRIK_TOOLS="$root/build/dev/tools" \
  .venv/bin/python -m pytest -q -p no:cacheprovider tests/python/test_convert.py tests/python/test_convert_safety.py \
  tests/python/test_convert_tables.py

say "the C++ tests built for aarch64, under qemu-aarch64"
target=aarch64-linux-musl
portable_deps "$target" googletest
build="$root/build/portable/$target-tests"
configure_for "$target" "$root" "$build" -DTAVRIK_BUILD_MODULE=OFF -DTAVRIK_BUILD_TESTS=ON \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$(command -v qemu-aarch64)"
cmake --build "$build" -j 2 --target tavrik_tests >"$build.log" 2>&1 || { cat "$build.log" >&2; exit 1; }
ctest --test-dir "$build" -j 2 --output-on-failure | tail -n 3

say "the aarch64 static converter against the x86_64 one"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
converter_inputs "$work/in"
for arch in x86_64 aarch64; do
  program=${!arch}
  prefix=(); [ "$arch" = aarch64 ] && prefix=(qemu-aarch64)
  for format in mzML mgf; do
    "${prefix[@]}" "$program" --quiet --format "$format" -o "$work/$arch/$format" "$work"/in/* 2>"$work/$arch-$format.stderr"
  done
done
diff -r "$work/x86_64" "$work/aarch64"
cmp "$work/x86_64-mzML.stderr" "$work/aarch64-mzML.stderr"
count=$(find "$work/x86_64" -type f | wc -l)
say "$count outputs of $(ls "$work/in" | wc -l) inputs, the same bytes from both converters"
