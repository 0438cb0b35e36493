#!/usr/bin/env bash
# Tests what tavrik ships on an old userland: in a Debian 11 root (glibc 2.31, bullseye-root.sh),
# the static converter from dist/ converts the bundled samples and passes the converter's tests,
# and the cp313t wheel from dist/ installs with --no-index into an environment of the root's
# free-threaded 3.13 and passes every Python test, run from a copy outside the checkout. The
# reader the tests compare with (build/dev/tools, from scripts/test.sh) runs on the host's own
# libraries, bound into the root read-only. $TAVRIK_DIST names another folder than dist/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
say() { echo "test-bullseye: $*" >&2; }
# pip's notes about this machine's index settings
pip_quiet() { "$@" 2> >(grep -v -e 'is ignored: it is neither' >&2); }

# The artefacts, before anything slow: exactly one of each.
dist=${TAVRIK_DIST:-$root/dist}
the_one() {  # WHAT PATTERN
  local found
  shopt -s nullglob; found=("$dist"/$2); shopt -u nullglob
  if [ ${#found[@]} -ne 1 ]; then
    say "$dist must hold exactly one $1 ($2), as scripts/release.sh writes it; found ${#found[@]}${found[*]:+: ${found[*]##*/}}"
    exit 1
  fi
  echo "${found[0]}"
}
converter=$(the_one "static converter" 'tavrik-convert-*-linux-x86_64')
wheel=$(the_one "x86_64 cp313t wheel" 'tavrik-*-cp313-cp313t-manylinux*_x86_64.whl')
tools="$root/build/dev/tools"
for tool in raw_dump cfb_dump; do
  [ -x "$tools/$tool" ] || { say "$tools/$tool is not built: run scripts/test.sh first"; exit 1; }
done

bash scripts/bootstrap.sh
source scripts/schemas.sh
source scripts/bullseye-root.sh
make_bullseye_python

work=$(mktemp -d)
trap 'bullseye_unmount; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM
# The tests and what they read, copied out: the checkout is not on any path.
mkdir -p "$work/tree/tests" "$work/tree/python" "$work/dist" "$work/wheels" "$work/host-tools" "$work/schemas"
cp -r tests/python "$work/tree/tests/"
cp -r testkit samples "$work/tree/"
cp python/tavrik.pyi "$work/tree/python/"
cp "$converter" "$wheel" "$work/dist/"
cp "$TAVRIK_SCHEMAS"/*.xsd "$work/schemas/"
# The test tools' wheels, for an install that never looks at an index.
pip_quiet .venv/bin/python -m pip download -q --only-binary=:all: -d "$work/wheels" \
    -r <(grep -E '^(pytest|olefile)==' requirements-dev.txt)
# The host's reader, started by the host's dynamic loader on the host's libraries.
loader=$(readlink -f /lib64/ld-linux-x86-64.so.2)
for tool in raw_dump cfb_dump; do
  printf '#!/bin/sh\nexec /host/lib/%s --inhibit-cache --library-path /host/lib /host/tools/%s "$@"\n' \
    "$(basename "$loader")" "$tool" > "$work/host-tools/$tool"
  chmod +x "$work/host-tools/$tool"
done

bullseye_mount "$work" /work
bullseye_mount /proc /proc
bullseye_mount /dev /dev
bullseye_mount "$tools" /host/tools ro
bullseye_mount "$(dirname "$loader")" /host/lib ro
inside() {  # SHELL-COMMAND, run in /work of the root
  in_bullseye HOME=/work PIP_NO_CACHE_DIR=1 PATH=/work/venv/bin:/usr/bin:/bin \
    TAVRIK_TOOLS=/work/host-tools TAVRIK_SCHEMAS=/work/schemas bash -o pipefail -c "cd /work && $1"
}
exe="/work/dist/$(basename "$converter")"
inside 'ldd --version | sed -n "1s/^/  root: /p"'  # sed reads to the end, so ldd never writes into a closed pipe
# The converter and the wheel are checked apart, so that one run says what is wrong with each.
failed=()
say "$(basename "$converter"): the samples"
inside "$exe --version | sed 's/^/  /' && $exe -o out tree/samples/* && ls out | sed 's/^/  converted: /'" \
  || failed+=("$(basename "$converter") does not run here")

say "$(basename "$wheel") into an environment of the root's 3.13t, and the Python tests"
inside "$bullseye_python -m venv venv && python -m pip install -q --disable-pip-version-check --no-index \
    --only-binary=:all: --find-links wheels dist/$(basename "$wheel") pytest olefile \
  && env -i PATH=/work/venv/bin python -c 'import tavrik; print(\"  imported\", tavrik.__file__)' \
  && env -i PATH=/work/venv/bin tavrik-convert --version | sed 's/^/  /' \
  && python -m pytest -q -p no:cacheprovider tree/tests/python" \
  || failed+=("$(basename "$wheel") does not install or pass here")

if [ ${#failed[@]} -eq 0 ]; then
  say "the converter's tests on $(basename "$converter")"
  inside "TAVRIK_CONVERT=$exe python -m pytest -q -p no:cacheprovider tree/tests/python/test_convert.py" \
    || failed+=("$(basename "$converter") fails the converter's tests")
fi
if [ ${#failed[@]} -gt 0 ]; then
  for f in "${failed[@]}"; do say "FAILED: $f"; done
  exit 1
fi
say "the converter and the wheel work on $(in_bullseye ldd --version | sed -n 1p)"
