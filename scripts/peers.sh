# Sourced by bench.sh and test-peers.sh, before build.sh puts .venv on PATH (so that python3 is
# the machine's ordinary interpreter, or $PEERS_PYTHON): `peers_venv` makes build/peers-venv, or
# remakes it when bench/requirements-peers.txt changed. It holds the readers a user would pick
# instead of tavrik (pyteomics, pyOpenMS) under a GIL interpreter; $peers is its directory.
peers_python=${PEERS_PYTHON:-$(command -v python3)}
peers="$root/build/peers-venv"
peers_venv() {
  if [ ! -x "$peers/bin/python" ] || ! cmp -s "$root/bench/requirements-peers.txt" "$peers/requirements.txt"; then
    rm -rf "$peers"
    "$peers_python" -m venv "$peers"
    "$peers/bin/python" -m pip install -q -r "$root/bench/requirements-peers.txt" \
      2> >(grep -v -e 'is ignored: it is neither' >&2)
    cp "$root/bench/requirements-peers.txt" "$peers/requirements.txt"
  fi
}
