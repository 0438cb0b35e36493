#!/usr/bin/env bash
# The conversion workflow (workflows/convert) under Snakemake, on 50 raw files of which three
# cannot be read: an interpreter without tavrik must be refused in one line before any job runs;
# every output and the summary are checked (tests/workflow/check_workflow.py), then a second run
# (with another thread count) must do nothing and touching one input must reconvert that file
# alone. Then on five files, one unreadable and one named with braces, listed by a sample sheet
# that also names a file that is not there: plain mzML, then gzip-compressed with metadata into
# the same directory (where the plain files are left), then Parquet tables (--format among the
# options), each run's outputs and summary checked; and -o among the options must be refused in
# one line before any job.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/workflow-venv.sh  # before .venv is on PATH
bash scripts/bootstrap.sh
source scripts/build.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Runs the workflow on $study into $converted, its output in $work/log; `run N [KEY=VALUE...]`
# fails unless the exit status is N.
study=$work/in converted=$work/out
run() {
  local expected=$1 status=0
  shift
  build/workflow-venv/bin/snakemake -s workflows/convert/Snakefile --cores 2 --directory "$work" \
    --config input="$study" output="$converted" python="$root/.venv/bin/python" "$@" > "$work/log" 2>&1 || status=$?
  if [ "$status" != "$expected" ]; then
    cat "$work/log"
    echo "test-workflow: snakemake exited with status $status, expected $expected" >&2
    exit 1
  fi
}
echo "== Workflow"
.venv/bin/python tests/workflow/check_workflow.py make "$work/in"
lacking="$root/build/workflow-venv/bin/python"
run 1 python="$lacking"
if [ "$(grep '^tavrik:' "$work/log")" != "tavrik: $lacking cannot import tavrik; pass python=/path/to/env/bin/python" ] \
   || [ -e "$work/out" ]; then
  cat "$work/log"
  echo "test-workflow: an interpreter without tavrik was not refused in one line before any job" >&2
  exit 1
fi
echo "workflow: an interpreter without tavrik is refused before any job"
run 1
grep -q '^tavrik: 3 of 50 raw files were not converted' "$work/log"
.venv/bin/python tests/workflow/check_workflow.py check "$work/in" "$work/out"
run 0 threads=2
grep -q '^Nothing to be done' "$work/log"
touch "$work/stamp"
touch "$work/in/bulk.qgd"
run 1
changed=$(cd "$work/out" && find . -type f -newer "$work/stamp" | sort | tr '\n' ' ')
if [ "$changed" != "./bulk.mzML ./logs/bulk.qgd.log ./records/bulk.qgd.tsv ./summary.tsv " ]; then
  echo "test-workflow: touching bulk.qgd rewrote: $changed" >&2
  exit 1
fi
echo "workflow: a second run did nothing; touching one input reconverted that file alone"
# Six rows from the sheet (gone.qgd missing, r{1}.qgd skipped, bad-empty.qgd failed), five from
# the directory (r{1}.qgd and bad-empty.qgd not converted).
.venv/bin/python tests/workflow/check_workflow.py make-few "$work/few" "$work/few.tsv"
study=$work/few converted=$work/few-out
run 1 samples="$work/few.tsv"
grep -q '^tavrik: 3 of 6 raw files were not converted' "$work/log"
.venv/bin/python tests/workflow/check_workflow.py check "$study" "$converted" mzML "$work/few.tsv"
run 1 options="--gzip --metadata"
grep -q '^tavrik: 2 of 5 raw files were not converted' "$work/log"
.venv/bin/python tests/workflow/check_workflow.py check "$study" "$converted" gzip
run 1 samples="$work/few.tsv" options="--format parquet"  # the workflow's own --format left out
.venv/bin/python tests/workflow/check_workflow.py check "$study" "$converted" parquet "$work/few.tsv"
converted=$work/refused
run 1 options="-o $work/elsewhere"
if [ "$(grep '^tavrik:' "$work/log")" != "tavrik: options: -o is the workflow's, output=$work/refused; leave it out of options" ] \
   || [ -e "$work/refused" ] || [ -e "$work/elsewhere" ]; then
  cat "$work/log"
  echo "test-workflow: -o among the options was not refused in one line before any job" >&2
  exit 1
fi
echo "workflow: -o among the options is refused before any job"
