#!/usr/bin/env bash
# Makes build/workflow-venv, with Snakemake as pinned in workflows/convert/requirements.txt, under
# an ordinary CPython ($WORKFLOW_PYTHON, or python3: run this before .venv is on PATH); remakes it
# when the requirements changed. Quiet when there is nothing to do.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
venv="$root/build/workflow-venv"
requirements="$root/workflows/convert/requirements.txt"
if [ ! -x "$venv/bin/snakemake" ] || ! cmp -s "$requirements" "$venv/requirements.txt"; then
  rm -rf "$venv"
  "${WORKFLOW_PYTHON:-python3}" -m venv "$venv"
  "$venv/bin/python" -m pip install -q -r "$requirements" 2> >(grep -v -e 'is ignored: it is neither' >&2)
  cp "$requirements" "$venv/requirements.txt"
fi
