#!/usr/bin/env bash
# Sets everything up (see bootstrap.sh), builds the module and the C++ tests, fetches the mzML
# schemas (schemas.sh), and runs every test; then builds the documentation and runs its examples
# (docs.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/bootstrap.sh
source scripts/build.sh
source scripts/schemas.sh
echo "== C++ tests"
ctest --test-dir build/dev --output-on-failure -j2
echo "== Python tests"
TAVRIK_TOOLS="$root/build/dev/tools" .venv/bin/python -m pytest -q -p no:cacheprovider tests/python "$@"
echo "== The documentation and its examples"
bash scripts/docs.sh
