#!/usr/bin/env bash
# Sets everything up and runs the benchmark: bench/run.py (reading), bench/open.py (opening),
# bench/pool.py (many files in a thread pool) and bench/convert.py (conversion); arguments go to
# all four, e.g. --scale 0.1. A first argument --open-only runs only bench/open.py, --pool-only
# only bench/pool.py, --convert-only only bench/convert.py, and --variants-only only
# bench/variants.py (the converter's options), and then its own options may follow too.
# The readers a user would pick instead run in build/peers-venv, made from an ordinary python3
# (or $PEERS_PYTHON).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/peers.sh  # before .venv is on PATH
bash scripts/bootstrap.sh
source scripts/build.sh
if [ "${1:-}" = --variants-only ]; then
  shift
  exec .venv/bin/python bench/variants.py "$@"
fi
if [ "${1:-}" = --open-only ]; then
  shift
  exec .venv/bin/python bench/open.py "$@"
fi
if [ "${1:-}" = --pool-only ]; then
  shift
  exec .venv/bin/python bench/pool.py "$@"
fi
peers_venv
if [ "${1:-}" = --convert-only ]; then
  shift
else
  .venv/bin/python bench/run.py --peers "$peers/bin/python" "$@"
  echo
  .venv/bin/python bench/open.py "$@"
  echo
  .venv/bin/python bench/pool.py "$@"
  echo
fi
.venv/bin/python bench/convert.py --peers "$peers/bin/python" "$@"
