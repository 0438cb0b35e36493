# Sourced: fetch_python_314 unpacks Debian unstable's CPython 3.14 (a build with the GIL, the
# cp314 interpreter) into the cache once, nothing installed system-wide, and sets
#   python314     an interpreter that runs through unstable's own loader and libraries;
#   python314_fs  the unpacked root (headers under usr/include).
# venv_314 DIR then makes a virtual environment of it with pip, offline.
source "$(dirname "${BASH_SOURCE[0]}")/debian-mirror.sh"

fetch_python_314() {
  local cache=${TAVRIK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrik}
  local sid="$cache/cpython-3.14-debian"
  local fs="$sid/root"
  local packages=(python3.14 python3.14-minimal libpython3.14 libpython3.14-minimal libpython3.14-stdlib
                  libpython3.14-dev libc6 libexpat1 zlib1g libzstd1 libffi8 libssl3t64 libbz2-1.0 liblzma5
                  libstdc++6 libgcc-s1 libmpdec4 libsqlite3-0 libuuid1 libncursesw6 libtinfo6 libreadline8t64)
  if [ ! -f "$sid/.done" ]; then
    echo "fetching Debian unstable's CPython 3.14 into $sid (once)" >&2
    command -v patchelf >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq patchelf >/dev/null
    rm -rf "$sid" && mkdir -p "$sid/lists/partial" "$sid/cache/archives/partial" "$sid/debs"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_mirror) sid main" > "$sid/sources.list"
    : > "$sid/status"
    local aptopts=(-qq -o "Dir::Etc::SourceList=$sid/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
                   -o "Dir::State::Lists=$sid/lists" -o "Dir::State::Status=$sid/status" -o "Dir::Cache=$sid/cache"
                   -o "APT::Sandbox::User=root" -o "APT::Architecture=amd64")
    apt-get "${aptopts[@]}" update >/dev/null
    (cd "$sid/debs" && apt-get "${aptopts[@]}" download "${packages[@]}" >/dev/null)
    local deb
    for deb in "$sid"/debs/*.deb; do dpkg-deb -x "$deb" "$fs"; done
    # A copy of the interpreter that runs through unstable's own loader and libraries, so that
    # sys.executable works for subprocesses too; it stays in usr/bin so its prefix is found.
    cp "$fs/usr/bin/python3.14" "$fs/usr/bin/python3.14-here"
    patchelf --set-interpreter "$fs/usr/lib64/ld-linux-x86-64.so.2" "$fs/usr/bin/python3.14-here"
    rm -rf "$sid/debs" "$sid/cache" "$sid/lists"
    touch "$sid/.done"
  fi
  # Its search path as DT_RPATH, not RUNPATH: that one also serves the libraries that extension
  # modules load (_ssl's libcrypto, which must be unstable's, as pyarrow's file systems import ssl).
  if [ ! -f "$sid/.rpath" ]; then
    patchelf --force-rpath --set-rpath "$fs/usr/lib/x86_64-linux-gnu" "$fs/usr/bin/python3.14-here"
    touch "$sid/.rpath"
  fi
  python314="$fs/usr/bin/python3.14-here"
  python314_fs=$fs
}

# Debian's 3.14 has no ensurepip: pip comes from its wheel, fetched once by .venv's pip
# (bootstrap.sh), and installs itself.
venv_314() {
  local dir=$1 wheels; wheels="$(dirname "$python314_fs")/pip"
  if ! compgen -G "$wheels/pip-*.whl" >/dev/null; then
    local root; root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    "$root/.venv/bin/python" -m pip download -q --no-deps -d "$wheels" \
        "$(grep -E '^pip==' "$root/requirements-dev.txt")" 2> >(grep -v -e 'is ignored: it is neither' >&2)
  fi
  local wheel; wheel=$(ls "$wheels"/pip-*.whl)
  rm -rf "$dir" && "$python314" -m venv --without-pip "$dir"
  "$dir/bin/python" "$wheel/pip" install -q --no-index "$wheel" 2> >(grep -v -e truststore -e 'TLS/SSL' >&2)
}
