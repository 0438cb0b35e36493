#!/usr/bin/env bash
# The conversion workflow's cluster path: on a one-node SLURM cluster started here
# (scripts/slurm-cluster.sh), Snakemake with the workflow's SLURM profile submits each file's job
# through sbatch, on the 50 raw files of scripts/test-workflow.sh. Every job must have run and
# completed in SLURM (sacct), the run must end with the three unreadable files reported, and the
# summary and outputs are checked as there (tests/workflow/check_workflow.py). The daemons are
# stopped and the scratch directories removed however the test ends.
set -euo pipefail
# In a job, Snakemake's jobstep plugin runs the rule through srun with every SLURM_* variable
# dropped, SLURM_CONF too, so srun reads /etc/slurm/slurm.conf as on a real cluster: the test runs
# in a mount namespace of its own, where the cluster's configuration is bound over /etc/slurm.
if [ -z "${TAVRIK_SLURM_NAMESPACE:-}" ]; then
  exec env TAVRIK_SLURM_NAMESPACE=1 unshare --mount --propagation private bash "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/workflow-venv.sh  # before .venv is on PATH
bash scripts/bootstrap.sh
source scripts/build.sh
source scripts/slurm-cluster.sh
work=$(mktemp -d)
cluster=$(mktemp -d)
trap 'stop_slurm; umount /etc/slurm 2>/dev/null || true; rm -rf "$work" "$cluster"' EXIT
echo "== Workflow on SLURM"
start_slurm "$cluster"
mount --bind "$cluster/etc" /etc/slurm
.venv/bin/python tests/workflow/check_workflow.py make "$work/in"
started=$(date +%Y-%m-%dT%H:%M:%S)
status=0
# The plugin first asks SLURM for job states after 40 s (5 s keeps the test short), and guesses an
# account from sacct unless told there is none. If it never learns a job's end it waits for ever:
# the timeout makes that a failure.
timeout 1200 build/workflow-venv/bin/snakemake -s workflows/convert/Snakefile \
  --profile workflows/convert/profiles/slurm --slurm-init-seconds-before-status-checks 5 --slurm-no-account \
  --directory "$work" \
  --config input="$work/in" output="$work/out" python="$root/.venv/bin/python" > "$work/log" 2>&1 || status=$?
if [ "$status" != 1 ] || ! grep -q '^tavrik: 3 of 50 raw files were not converted' "$work/log"; then
  cat "$work/log"
  echo "test-slurm: snakemake exited with status $status, expected 1 with three unreadable files" >&2
  exit 1
fi
# One completed SLURM job for each raw file: the executor comments each job with its rule and file.
sacct -X -n --parsable2 --starttime "$started" --format=Comment,State,ExitCode | sort > "$work/jobs"
(cd "$work/in" && ls | grep -i -e '\.qgd$' -e '\.lcd$' | sed 's/.*/rule_convert_wildcards_&|COMPLETED|0:0/' \
  | sort) > "$work/expected"
if ! cmp -s "$work/jobs" "$work/expected"; then
  diff "$work/expected" "$work/jobs" || true
  echo "test-slurm: sacct does not list one completed job for each raw file" >&2
  exit 1
fi
sacct -X --starttime "$started" --format=JobID,Comment%40,Partition,AllocCPUS,ReqMem,State,ExitCode,Elapsed \
  | sed -n '1,5p;$p'
.venv/bin/python tests/workflow/check_workflow.py check "$work/in" "$work/out"
echo "slurm: 50 files converted as 50 SLURM jobs, the summary written and 3 failures reported"
