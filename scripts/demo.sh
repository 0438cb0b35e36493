#!/usr/bin/env bash
# Sets everything up, summarises the bundled sample files (or the files given), converts them to
# indexed mzML in build/converted, and draws each as a PNG in build/demo (its total ion current
# and its largest spectrum), with the plotting packages of requirements-demo.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/bootstrap.sh
source scripts/build.sh
stamp=.venv/.demo-requirements.sha256  # in .venv, so a .venv made anew installs them again
want=$(sha256sum requirements-demo.txt | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  echo "demo: installing the plotting packages of requirements-demo.txt into .venv" >&2
  pip_quiet .venv/bin/python -m pip install -q -r requirements-demo.txt
  echo "$want" > "$stamp"
fi
if [ $# -eq 0 ]; then set -- samples/*; fi
.venv/bin/python examples/summary.py "$@"
out="$root/build/converted"
.venv/bin/tavrik-convert --quiet --overwrite -o "$out" "$@" || true  # it says which input failed and why
echo "converted to indexed mzML (open them in any mzML reader, e.g. pyteomics, pyOpenMS or MZmine):"
for input in "$@"; do
  name=$(basename "$input")
  if [ -f "$out/${name%.*}.mzML" ]; then echo "  $out/${name%.*}.mzML"; fi
done
echo "drawn as PNG (total ion current and largest spectrum; open them in any image viewer):"
.venv/bin/python examples/plot.py -o "$root/build/demo" "$@" | sed 's/^/  /' || true  # it says which input failed
