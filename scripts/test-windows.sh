#!/usr/bin/env bash
# Tests tavrik-convert.exe, the converter for Windows (static-converter.sh's build_windows_converter,
# the very file release.sh copies), under Wine on this machine:
#   - the converter's test suites (tests/python/test_convert*.py) run against it through a
#     launcher that starts it under wine; tests that need what Wine cannot give (strace, POSIX
#     signals, the process's memory, file names that are not UTF-8) skip themselves, named by
#     TAVRIK_CONVERT_WINDOWS;
#   - its mzML, MGF and Parquet tables of the samples and the test-writer files are the Linux static
#     converter's bytes, but for the source file's location (file:///Z:/... under Wine) and what
#     follows from it: the index offsets after it, the index's offset and the file's checksum;
#   - a disk that fills up part way: the same message as on Linux, and nothing left behind.
# Wine maps the drive Z: to /, and the launcher starts wine from a directory under /, so Windows
# resolves the tests' absolute Linux paths (/tmp/...) on the current drive, as Z:\tmp\...: they
# are passed as they are. The Wine prefix is made once (wineboot -i) and cached.
# Needs .venv and build/dev (scripts/test.sh) for the test suite and its tools.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
say() { echo "test-windows: $*" >&2; }
bash scripts/bootstrap.sh
source scripts/schemas.sh
if ! command -v wine >/dev/null || [ ! -x /usr/lib/wine/wine64 ]; then
  say "installing wine64"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq wine64 >/dev/null
fi
source scripts/static-converter.sh
source scripts/converter-inputs.sh
build_static_converter x86_64
linux=$static_converter
build_windows_converter
exe=$static_converter
imports=$(objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
unexpected=$(grep -vxE 'kernel32\.dll|advapi32\.dll|shell32\.dll|api-ms-win-crt-[a-z0-9-]+\.dll' <<<"$imports" || true)
[ -z "$unexpected" ] || { say "$exe imports DLLs that not every Windows has: $unexpected"; exit 1; }

# The Wine prefix, initialised once for this version of Wine.
cache=${TAVRIK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrik}
export WINEPREFIX="$cache/$(wine --version | cut -d" " -f1)-prefix-win64" WINEARCH=win64 WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/.done" ]; then
  say "making the Wine prefix $WINEPREFIX (once)"
  rm -rf "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.done"
fi

# One Wine server for the whole run: without it every test's wine starts a server of its own
# (the wine command asks for one that quits with its last process), and a wine that comes as the
# previous server quits can fail without a word (status 1, nothing on stderr, seen once in CI).
# The prefix's services start with it, once, on /dev/null: started by a test's wine they would
# hold that test's pipes open for as long as the server lives.
wineserver -k 2>/dev/null || true
wineserver -p
wine cmd /c exit </dev/null >/dev/null 2>&1
work=$(mktemp -d)
trap 'wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
cat > "$work/tavrik-convert" <<EOF
#!/bin/sh
# tavrik-convert.exe under Wine, for the converter's tests.
export WINEPREFIX="$WINEPREFIX" WINEDEBUG=-all LC_ALL=C.UTF-8
exec wine "$exe" "\$@"
EOF
chmod +x "$work/tavrik-convert"

say "the converter's tests on tavrik-convert.exe under Wine"
TAVRIK_CONVERT="$work/tavrik-convert" TAVRIK_CONVERT_WINDOWS=1 TAVRIK_TOOLS="$root/build/dev/tools" \
  .venv/bin/python -m pytest -q -p no:cacheprovider -rs tests/python/test_convert.py \
  tests/python/test_convert_safety.py tests/python/test_convert_tables.py tests/python/test_convert_windows.py

say "tavrik-convert.exe against the Linux static converter"
converter_inputs "$work/in"
for system in linux windows; do
  program=$linux; [ "$system" = windows ] && program=$work/tavrik-convert
  for format in mzML mgf parquet; do
    "$program" --quiet -j 2 --format "$format" -o "$work/$system/$format" "$work"/in/* 2>"$work/$system-$format.stderr"
  done
  "$program" --quiet --numpress --gzip -o "$work/$system/numpress" "$work"/in/* 2>/dev/null
done
cmp "$work/linux-mzML.stderr" "$work/windows-mzML.stderr"
.venv/bin/python scripts/compare-converters.py "$work/linux" "$work/windows" "file://$work/in" "file:///Z:$work/in"

say "a path typed with '\\': the tables' source.name is the file name, as the mzML's"
(cd "$work" && "$work/tavrik-convert" --quiet --format parquet -o backslash 'in\run-qtof.lcd')
grep -aq '"source": {"name": "run-qtof.lcd"' "$work/backslash/run-qtof.spectra.parquet" \
  || { say "the spectra table of in\\run-qtof.lcd names its source otherwise"; exit 1; }

say "a disk that fills up part way"
mkdir "$work/full"
mount -t tmpfs -o size=400k tmpfs "$work/full"
trap 'umount "$work/full"; wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
for program in "$linux" "$work/tavrik-convert"; do
  set +e
  "$program" -o "$work/full" "$work/in/run-qtof.lcd" 2>"$work/full.stderr"
  status=$?
  set -e
  grep -qx "tavrik-convert: $work/in/run-qtof.lcd: cannot write $work/full/run-qtof.mzML: No space left on device" \
    "$work/full.stderr" && [ "$status" = 1 ] && [ -z "$(ls -A "$work/full")" ] \
    || { say "$program on a full disk: status $status, $(cat "$work/full.stderr"), left: $(ls -A "$work/full")"; exit 1; }
done
say "both converters: 'No space left on device', status 1, nothing left"
