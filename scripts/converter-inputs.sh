# Sourced by the scripts that compare converters as shipped. converter_inputs DIR fills DIR with the
# bundled samples and the converter tests' test-writer files (tests/python/test_convert.py's MADE),
# the inputs every build must convert to the same bytes. Needs .venv (scripts/test.sh).
converter_inputs() {
  mkdir -p "$1"
  cp samples/* "$1/"
  (cd tests/python && ../../.venv/bin/python -c '
import sys
from pathlib import Path
sys.path.insert(0, "../..")
from test_convert import MADE
for name, (data, _) in MADE.items():
    Path(sys.argv[1], name).write_bytes(data)' "$1")
}
