#!/usr/bin/env bash
# Sets everything up and runs the benchmark (bench/run.py); arguments go to it, e.g. --scale 0.1.
# The readers a user would pick instead run in build/peers-venv, made from an ordinary python3
# (or $PEERS_PYTHON).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
peers_python=${PEERS_PYTHON:-$(command -v python3)}  # an ordinary (GIL) interpreter, before .venv is on PATH
bash scripts/bootstrap.sh
source scripts/build.sh
peers="$root/build/peers-venv"
if [ ! -x "$peers/bin/python" ] || ! cmp -s bench/requirements-peers.txt "$peers/requirements.txt"; then
  rm -rf "$peers"
  "$peers_python" -m venv "$peers"
  pip_quiet "$peers/bin/python" -m pip install -q -r bench/requirements-peers.txt
  cp bench/requirements-peers.txt "$peers/requirements.txt"
fi
.venv/bin/python bench/run.py --peers "$peers/bin/python" "$@"
