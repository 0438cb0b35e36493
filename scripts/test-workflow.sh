#!/usr/bin/env bash
# The conversion workflow (workflows/convert) under Snakemake, on 50 raw files of which three
# cannot be read: an interpreter without tavrik must be refused in one line before any job runs;
# every output and the summary are checked (tests/workflow/check_workflow.py), then a second run
# must do nothing and touching one input must reconvert that file alone.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/workflow-venv.sh  # before .venv is on PATH
bash scripts/bootstrap.sh
source scripts/build.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Runs the workflow, its output in $work/log; `run N [KEY=VALUE...]` fails unless the exit status
# is N.
run() {
  local expected=$1 status=0
  shift
  build/workflow-venv/bin/snakemake -s workflows/convert/Snakefile --cores 2 --directory "$work" \
    --config input="$work/in" output="$work/out" python="$root/.venv/bin/python" "$@" > "$work/log" 2>&1 || status=$?
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
grep -q '^tavrik: 3 of 50 raw files could not be read' "$work/log"
.venv/bin/python tests/workflow/check_workflow.py check "$work/in" "$work/out"
run 0
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
