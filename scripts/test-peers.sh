#!/usr/bin/env bash
# Sets everything up like test.sh, converts the bundled samples and a few test-writer files with
# tavrik-convert (zlib and --no-zlib), and checks that pyteomics and pyOpenMS (in build/peers-venv,
# see peers.sh) read every spectrum with exactly the values the reader returns; then converts
# them, with a file of an undecodable entry and one of no scans, to Parquet tables, and checks
# that pyarrow, polars and DuckDB read every value of them exactly so; converts them with --centroid
# to both (validated, and the same peaks in both, the centroider's of the reader's points); and
# compares the centroider with pyOpenMS's PeakPickerHiRes on synthetic spectra.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/peers.sh  # before .venv is on PATH
bash scripts/bootstrap.sh
source scripts/build.sh
peers_venv
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
TAVRIK_TOOLS="$root/build/dev/tools" .venv/bin/python tests/peers/dump_raw.py "$work/in" > "$work/expected.json"
.venv/bin/tavrik-convert --quiet -o "$work/zlib" "$work"/in/* 2> >(grep -v ': warning: ' >&2)
.venv/bin/tavrik-convert --quiet --no-zlib -o "$work/plain" "$work"/in/* 2> >(grep -v ': warning: ' >&2)
.venv/bin/tavrik-convert --quiet --srm-as-spectra -o "$work/srm-as-spectra" "$work"/in/* 2> >(grep -v ': warning: ' >&2)
.venv/bin/tavrik-convert --quiet --ms-level 3 -o "$work/empty-validate-only" "$work"/in/* 2> >(grep -v ': warning: ' >&2)
.venv/bin/tavrik-convert --quiet --gzip -o "$work/gzip" "$work"/in/* 2> >(grep -v ': warning: ' >&2)
for variant in numpress numpress-plain; do
  .venv/bin/tavrik-convert --quiet --numpress $([ $variant = numpress-plain ] && echo --no-zlib) -o "$work/$variant" \
    "$work"/in/* 2> >(grep -v ': warning: ' >&2)
done
echo "== Peer readers"
"$peers/bin/python" tests/peers/check_peers.py "$work/expected.json" "$work/zlib" "$work/plain" "$work/srm-as-spectra" \
  "$work/empty-validate-only" "$work/gzip"
"$peers/bin/python" tests/peers/check_numpress.py "$work/expected.json" "$work/numpress" "$work/numpress-plain"
TAVRIK_TOOLS="$root/build/dev/tools" .venv/bin/python tests/peers/dump_raw.py --all "$work/all" > "$work/tables.json"
.venv/bin/tavrik-convert --quiet --format parquet -o "$work/tables" "$work"/all/* 2> >(grep -v ': warning: ' >&2)
.venv/bin/tavrik-convert --quiet --format parquet --ms-level 2 -o "$work/tables-ms2" "$work"/all/* \
  2> >(grep -v ': warning: ' >&2)
echo "== Parquet readers"
"$peers/bin/python" tests/peers/check_columnar.py "$work/tables.json" "$work/all" "$work/tables" "$work/tables-ms2"
echo "== centroided mzML and Parquet"
centroided="$work/centroid-validate-only"
.venv/bin/tavrik-convert --quiet --centroid -o "$centroided" "$work"/in/* 2> >(grep -v ': warning: ' >&2)
.venv/bin/tavrik-convert --quiet --centroid --format parquet -o "$centroided" "$work"/in/* 2> >(grep -v ': warning: ' >&2)
"$peers/bin/python" tests/peers/check_peers.py "$work/expected.json" "$centroided"
"$peers/bin/python" tests/peers/check_centroided.py "$work/expected.json" "$centroided" "$centroided" "$root/build/dev/tools"
echo "== centroids against pyOpenMS PeakPickerHiRes"
"$peers/bin/python" tests/peers/compare_centroids.py "$root/build/dev/tools"
