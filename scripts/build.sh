# Sourced by the other scripts once .venv exists: installs the module into .venv and builds the
# C++ tests and tools in build/dev.
export PATH="$root/.venv/bin:$PATH"
pip_quiet() { "$@" 2> >(grep -v -e 'is ignored: it is neither' >&2); }
pip_quiet .venv/bin/python -m pip install -q --no-build-isolation "$root"
cmake -S "$root" -B "$root/build/dev" -G Ninja -DTAVRIK_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$root/.venv/bin/python" >/dev/null
cmake --build "$root/build/dev" | grep -v -e '^\[' -e 'no work to do' || true
