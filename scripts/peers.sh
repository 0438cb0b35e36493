# Sourced by bench.sh and test-peers.sh, before build.sh puts .venv on PATH (so that python3 is
# the machine's ordinary interpreter, or $PEERS_PYTHON): `peers_venv` makes build/peers-venv, or
# remakes it when bench/requirements-peers.txt or tests/peers/requirements-columnar.txt changed.
# It holds the readers a user would pick instead of tavrik (pyteomics, pyOpenMS) and the Parquet
# readers (pyarrow, polars, DuckDB, pinned with their hashes) under a GIL interpreter; $peers is
# its directory.
peers_python=${PEERS_PYTHON:-$(command -v python3)}
peers="$root/build/peers-venv"
peers_venv() {
  local wanted="$root/bench/requirements-peers.txt" columnar="$root/tests/peers/requirements-columnar.txt"
  if [ ! -x "$peers/bin/python" ] || ! cmp -s "$wanted" "$peers/requirements.txt" \
      || ! cmp -s "$columnar" "$peers/requirements-columnar.txt"; then
    rm -rf "$peers"
    "$peers_python" -m venv "$peers"
    "$peers/bin/python" -m pip install -q -r "$wanted" 2> >(grep -v -e 'is ignored: it is neither' >&2)
    "$peers/bin/python" -m pip install -q --require-hashes --only-binary :all: -r "$columnar" \
      2> >(grep -v -e 'is ignored: it is neither' >&2)
    cp "$wanted" "$peers/requirements.txt"
    cp "$columnar" "$peers/requirements-columnar.txt"
  fi
}
