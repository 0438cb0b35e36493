# Sourced by test.sh after bootstrap.sh: exports TAVRIK_SCHEMAS, a folder holding the mzML
# schemas mzML1.1.0.xsd and mzML1.1.2_idx.xsd (which includes the former), for the converter's
# tests. They come from the psims wheel on PyPI, downloaded once (psims is not installed) into
# $TAVRIK_CACHE/schemas and checked against the hashes below.
schemas_dir="${TAVRIK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrik}/schemas"
schemas_fetch() {
  local want="141877fd774653617ad1c067533bc74d51e63fb9f19f78558faff50a3e14a206  mzML1.1.0.xsd
5a58505a065209c5b964e185c2b2cb077450cfd4246ce794dec7dfcb058b708f  mzML1.1.2_idx.xsd"
  (cd "$schemas_dir" 2>/dev/null && echo "$want" | sha256sum --quiet -c - >/dev/null 2>&1) && return 0
  echo "schemas: fetching the mzML schemas into $schemas_dir (once)" >&2
  local tmp
  tmp=$(mktemp -d)
  "$root/.venv/bin/python" -m pip download -q --no-deps --only-binary=:all: psims==1.4.0 -d "$tmp" \
    2> >(grep -v -e 'is ignored: it is neither' >&2)
  "$root/.venv/bin/python" - "$tmp" <<'PY'
import pathlib, sys, zipfile
tmp = pathlib.Path(sys.argv[1])
with zipfile.ZipFile(next(tmp.glob("psims-*.whl"))) as wheel:
    for name in ("mzML1.1.0.xsd", "mzML1.1.2_idx.xsd"):
        (tmp / name).write_bytes(wheel.read(f"psims/validation/xsd/{name}"))
PY
  (cd "$tmp" && echo "$want" | sha256sum --quiet -c -)
  mkdir -p "$schemas_dir"
  mv "$tmp"/*.xsd "$schemas_dir/"
  rm -rf "$tmp"
}
schemas_fetch
export TAVRIK_SCHEMAS="$schemas_dir"
