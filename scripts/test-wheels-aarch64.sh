#!/usr/bin/env bash
# Tests the aarch64 wheels in dist/ (wheel.sh or release.sh writes them) as users install them,
# under qemu-user: Debian's arm64 CPython 3.11, 3.13 and 3.14 (python-aarch64.sh, unpacked into
# the cache) each make a fresh virtual environment, install their wheel with --no-index from dist/
# and the test tools' wheels, and run the Python tests from a copy outside the checkout; the tools
# the tests compare with (build/dev of scripts/test.sh) run natively, so every value the aarch64
# module reads is checked against the x86_64 reader. Both modules are imported from each wheel;
# tavrik_tables' tests skip themselves there (no numpy or pyarrow for the emulated interpreters).
# The wheel's tavrik-convert converts the samples to the same bytes as the x86_64 wheel's. The
# cp313t wheel is built and audited but not run: there is no free-threaded aarch64 interpreter
# here; nor is there an aarch64 CPython 3.12 (Debian's archive has none any more), so of the
# cp312 wheel only the converter runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
say() { echo "test-wheels-aarch64: $*" >&2; }
pip_quiet() { "$@" 2> >(grep -v -e 'is ignored: it is neither' >&2); }
bash scripts/bootstrap.sh
if ! command -v qemu-aarch64 >/dev/null; then
  say "installing qemu-user"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user >/dev/null
fi
source scripts/toolchain.sh
source scripts/python-aarch64.sh
source scripts/tests-outside.sh
[ -x build/dev/tools/raw_dump ] || { say "needs build/dev/tools (run scripts/test.sh)"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# pip too: the environments are made without it, for a pip that runs under qemu.
copy_tests_out "$work" pip pytest olefile
pip_wheel=$(ls "$work"/tools/pip-*.whl)

# The x86_64 converter of the same version converts the samples once, for comparison.
x86_64_wheel=$(ls "$root"/dist/tavrik-*-cp313-cp313-manylinux*_x86_64.whl 2>/dev/null) \
  || { say "no x86_64 cp313 wheel in dist/ (run scripts/wheel.sh)"; exit 1; }
mkdir "$work/x86_64" && (cd "$work/x86_64" && python3 -m zipfile -e "$x86_64_wheel" .)
chmod +x "$work"/x86_64/*.data/scripts/tavrik-convert
"$work"/x86_64/*.data/scripts/tavrik-convert --quiet -o "$work/expected" samples/*

test_aarch64_wheel() {  # FLAVOUR [TEST-FILE...]: those tests, or all
  local flavour=$1 venv="$work/venv-$1" wheel version tests=()
  shift
  for file in "$@"; do tests+=("tree/tests/python/$file"); done
  [ $# -gt 0 ] || tests=(tree/tests/python)
  wheel=$(ls dist/tavrik-*-cp$flavour-cp$flavour-manylinux*_aarch64.whl 2>/dev/null) \
    || { say "no aarch64 cp$flavour wheel in dist/ (run scripts/wheel.sh)"; return 1; }
  aarch64_root "$flavour"
  version=$debian_version
  say "cp$flavour: $(basename "$wheel") into a fresh environment of Debian's arm64 $version, under qemu-aarch64"
  qemu-aarch64 -L "$aarch64_fs" "$aarch64_fs/usr/bin/python$version" -m venv --without-pip "$venv"
  # The environment's python runs itself under qemu, so that the tests' subprocesses of
  # sys.executable do too; the same for the wheel's converter.
  mv "$venv/bin/python" "$venv/bin/python-aarch64"
  printf '#!/bin/sh\nexec qemu-aarch64 -L "%s" -0 "$0" "$(dirname "$0")/python-aarch64" "$@"\n' "$aarch64_fs" \
    > "$venv/bin/python"
  chmod +x "$venv/bin/python"
  pip_quiet "$venv/bin/python" "$pip_wheel/pip" install -q --no-index --only-binary=:all: \
      --find-links "$work/tools" "$wheel" pytest olefile
  printf '#!/bin/sh\nexec qemu-aarch64 -L "%s" "%s" "$@"\n' "$aarch64_fs" "$venv/bin/tavrik-convert" \
    > "$work/tavrik-convert-$flavour"
  chmod +x "$work/tavrik-convert-$flavour"
  (cd "$work" && "$venv/bin/python" -c 'import platform, tavrik, tavrik_tables
for m in (tavrik, tavrik_tables): print("  imported", m.__file__, "on", platform.machine())' \
     && "$work/tavrik-convert-$flavour" --version | sed 's/^/  /')
  (cd "$work" && PATH="$venv/bin:/usr/bin:/bin" TAVRIK_TOOLS="$root/build/dev/tools" \
     TAVRIK_CONVERT="$work/tavrik-convert-$flavour" python -m pytest -q -p no:cacheprovider "${tests[@]}" \
       --deselect tree/tests/python/test_hostile.py::test_mrm_records_are_compact \
       --deselect tree/tests/python/test_kept_memory.py::test_kept_blocks_are_taken_back_when_memory_is_tight \
       --deselect tree/tests/python/test_kept_memory.py::test_keeping_memory_starts_no_thread)
  "$work/tavrik-convert-$flavour" --quiet -o "$work/out-$flavour" samples/*
  diff -r "$work/expected" "$work/out-$flavour"
  say "cp$flavour: $(ls "$work/out-$flavour" | wc -l) conversions of the samples, the same bytes as the x86_64 wheel's"
}
# Every test on 3.13 (5 minutes under qemu), the readers' and the module's on 3.14, but three that
# test the process rather than the module, and that qemu-user's own workings break:
# test_mrm_records_are_compact bounds the resident memory a second reader adds (128 bytes a
# record), which qemu-user's own memory inflates: the x86_64 cp313 wheel's probe gives 118 bytes
# natively and 182 under qemu-x86_64; the aarch64 wheel's gives 179 under qemu-aarch64.
# test_kept_blocks_are_taken_back_when_memory_is_tight needs MADV_FREE to reach the kernel, and
# qemu-user answers that hint without passing it on (the emulated process is killed for lack of
# memory); test_keeping_memory_starts_no_thread counts the process's threads, and qemu-user runs
# one of its own besides the emulated one.
# A wheel's converter alone, for a flavour with no aarch64 interpreter, run with the C library of
# another flavour's root.
convert_with_aarch64_wheel() {  # FLAVOUR ROOT-FLAVOUR
  local flavour=$1 wheel unpacked="$work/unpacked-$1"
  wheel=$(ls dist/tavrik-*-cp$flavour-cp$flavour-manylinux*_aarch64.whl 2>/dev/null) \
    || { say "no aarch64 cp$flavour wheel in dist/ (run scripts/wheel.sh)"; return 1; }
  aarch64_root "$2"
  say "cp$flavour: the converter of $(basename "$wheel"), under qemu-aarch64 (no aarch64 interpreter for it here)"
  mkdir "$unpacked" && (cd "$unpacked" && python3 -m zipfile -e "$root/$wheel" .)
  chmod +x "$unpacked"/*.data/scripts/tavrik-convert
  qemu-aarch64 -L "$aarch64_fs" "$unpacked"/*.data/scripts/tavrik-convert --version | sed 's/^/  /'
  qemu-aarch64 -L "$aarch64_fs" "$unpacked"/*.data/scripts/tavrik-convert --quiet -o "$work/out-$flavour" samples/*
  diff -r "$work/expected" "$work/out-$flavour"
  say "cp$flavour: $(ls "$work/out-$flavour" | wc -l) conversions of the samples, the same bytes as the x86_64 wheel's"
}
test_aarch64_wheel 313
test_aarch64_wheel 314 test_module.py test_samples.py test_gcms.py test_qtof.py test_ttfl.py test_open.py
# On 3.11 the module's surface and the samples read back against the x86_64 reader.
test_aarch64_wheel 311 test_module.py test_samples.py
convert_with_aarch64_wheel 312 311
