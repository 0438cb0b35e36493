#!/usr/bin/env bash
# Sets everything up, summarises the bundled sample files (or the files given), and converts
# them to indexed mzML in build/converted.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/bootstrap.sh
source scripts/build.sh
if [ $# -eq 0 ]; then set -- samples/*; fi
.venv/bin/python examples/summary.py "$@"
out="$root/build/converted"
.venv/bin/tavrik-convert --quiet --overwrite -o "$out" "$@" || true  # it says which input failed and why
echo "converted to indexed mzML (open them in any mzML reader, e.g. pyteomics, pyOpenMS or MZmine):"
for input in "$@"; do
  name=$(basename "$input")
  if [ -f "$out/${name%.*}.mzML" ]; then echo "  $out/${name%.*}.mzML"; fi
done
