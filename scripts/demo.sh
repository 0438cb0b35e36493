#!/usr/bin/env bash
# Sets everything up and summarises the bundled sample files (or the files given).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/bootstrap.sh
source scripts/build.sh
if [ $# -eq 0 ]; then set -- samples/*; fi
.venv/bin/python examples/summary.py "$@"
