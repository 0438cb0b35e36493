#!/usr/bin/env bash
# Prepares a machine for building and testing tavrik; idempotent and quiet when done already.
#   1. Debian packages the build and the tests need;
#   2. a free-threaded CPython (>= 3.13): $PYTHON if it is one, else CPython 3.13 built
#      from Debian's python3.13 source package with --disable-gil, cached outside the repo;
#   3. the virtual environment .venv at the project root with the pinned tools from PyPI.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${TAVRIK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrik}
mkdir -p "$cache"
say() { echo "bootstrap: $*" >&2; }
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# 1. Debian packages --------------------------------------------------------------------
debs=(build-essential dpkg-dev pkg-config libgtest-dev
      nettle-dev libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev
      libreadline-dev uuid-dev libexpat1-dev libdeflate-dev libzstd-dev libxml2-utils strace m4)
missing=()
for p in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  say "installing Debian packages: ${missing[*]}"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# 2. A free-threaded interpreter ---------------------------------------------------------
is_free_threaded() {
  "$1" -c 'import sys, sysconfig
sys.exit(0 if sys.version_info >= (3, 13) and sysconfig.get_config_var("Py_GIL_DISABLED") else 1)' 2>/dev/null
}

source "$root/scripts/cpython.sh"


python=""
if [ -n "${PYTHON:-}" ] && is_free_threaded "$PYTHON"; then
  python=$PYTHON
else
  [ -n "${PYTHON:-}" ] && say "\$PYTHON=$PYTHON is not a free-threaded CPython >= 3.13; using the cached build"
  prefix="$cache/cpython-3.13t"
  python="$prefix/bin/python3.13t"
  is_free_threaded "$python" || build_python "$prefix" "$cache"
fi

# 3. The virtual environment -------------------------------------------------------------
venv="$root/.venv"
stamp="$venv/.requirements.sha256"
want=$( (cat "$root/requirements-dev.txt" "$root/requirements-tables.txt"; "$python" -c 'import sys; print(sys.executable, sys.version)') | sha256sum | cut -d' ' -f1)
if [ ! -x "$venv/bin/python" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  say "making $venv from $python"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q -r "$root/requirements-dev.txt" 2> >(grep -v -e "is ignored: it is neither" >&2)
  "$venv/bin/python" -m pip install -q --require-hashes --only-binary :all: -r "$root/requirements-tables.txt" \
    2> >(grep -v -e "is ignored: it is neither" >&2)
  echo "$want" > "$stamp"
fi
