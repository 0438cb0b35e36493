#!/usr/bin/env bash
# Builds the documentation site into build/site with `mkdocs build --strict` (a broken link, a page
# missing from the navigation or an API page that cannot be made fails), then runs the docs' tests:
# every Python block of README.md and docs/ (the output shown checked against what is printed),
# every shell example of tavrik-convert on the bundled samples (exit status and the files it
# names), and tests/docs (every page in mkdocs.yml exists, every relative link of README.md
# resolves). Both run in build/docs-venv, an ordinary CPython 3.13 (scripts/cpython.sh's
# python_313, built once into the cache) with the module built from this checkout, since polars
# and DuckDB, which the examples use, have no free-threaded wheels. `--build-only` skips the tests;
# other arguments go to pytest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/cpython.sh
python_313
venv="$root/build/docs-venv"
quiet() { "$@" 2> >(grep -v -e 'is ignored: it is neither' >&2); }
want=$( (cat requirements-dev.txt requirements-docs.txt requirements-tables.txt requirements-tables-gil.txt
         echo "$python313") | sha256sum | cut -d' ' -f1)
if [ ! -x "$venv/bin/python" ] || [ "$(cat "$venv/.requirements.sha256" 2>/dev/null)" != "$want" ]; then
  echo "== making $venv"
  rm -rf "$venv"
  "$python313" -m venv "$venv"
  quiet "$venv/bin/python" -m pip install -q -r requirements-dev.txt
  quiet "$venv/bin/python" -m pip install -q --require-hashes --only-binary :all: \
    -r requirements-docs.txt -r requirements-tables.txt -r requirements-tables-gil.txt
  echo "$want" > "$venv/.requirements.sha256"
fi
echo "== the module for the docs' examples"
quiet "$venv/bin/python" -m pip install -q --no-build-isolation "$root"
export NO_MKDOCS_2_WARNING=1
# The API pages' source: each stub as the stub-only package mkdocstrings reads without importing.
for module in tavrik tavrik_tables; do
  mkdir -p "$root/build/api-stubs/$module-stubs"
  ln -sf "$root/python/$module.pyi" "$root/build/api-stubs/$module-stubs/__init__.pyi"
done
echo "== mkdocs build --strict"
"$venv/bin/mkdocs" build --strict --clean --site-dir "$root/build/site"
[ "${1:-}" = --build-only ] && exit 0
echo "== the docs' examples"
PYTHONPATH="$root/tests/docs" "$venv/bin/python" -m pytest -q -p no:cacheprovider -p docs_examples \
  --rootdir "$root" -c /dev/null README.md docs tests/docs "$@"
