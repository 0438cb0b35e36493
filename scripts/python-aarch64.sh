# Sourced after toolchain.sh: what building and running the aarch64 wheels needs, made once into the cache, nothing
# installed system-wide.
#   aarch64_python FLAVOUR  (313t, 313 or 314) sets
#     aarch64_include     CPython's headers for aarch64 (the directory holding Python.h);
#     aarch64_ext_suffix  the module's file name suffix there, e.g. .cpython-313t-aarch64-linux-gnu.so;
#     aarch64_cxxflags    what else the compiler needs to find them (Debian's pyconfig.h includes
#                         its multiarch twin from usr/include).
#   For 313 and 314 they come from Debian's arm64 packages (trixie's libpython3.13-dev, unstable's
#   libpython3.14-dev, the interpreters python-3.14.sh and the qemu test use); Debian builds no
#   free-threaded 3.13, so for 313t the source cpython.sh builds is configured for
#   aarch64-linux-gnu with --disable-gil (Zig's clang, toolchain.sh), and its pyconfig.h joins the
#   cached 3.13t's own headers.
#   aarch64_root FLAVOUR  (313 or 314) sets aarch64_fs to a root of Debian's arm64 interpreter with
#     its C library and libraries, for qemu-aarch64 -L.
source "$(dirname "${BASH_SOURCE[0]}")/debian-mirror.sh"
source "$(dirname "${BASH_SOURCE[0]}")/cpython.sh"

aarch64_cache() { echo "${TAVRIK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrik}"; }

# Debian suite, version and packages of each flavour's arm64 root.
aarch64_debian() {
  case $1 in
    313) debian_suite=trixie debian_version=3.13
         debian_packages=(python3.13 python3.13-minimal libpython3.13 libpython3.13-minimal libpython3.13-stdlib
                          libpython3.13-dev) ;;
    314) debian_suite=sid debian_version=3.14
         debian_packages=(python3.14 python3.14-minimal libpython3.14 libpython3.14-minimal libpython3.14-stdlib
                          libpython3.14-dev libmpdec4) ;;
    *) echo "no Debian arm64 interpreter for $1" >&2; return 1 ;;
  esac
  debian_packages+=(libc6 libgcc-s1 libstdc++6 libexpat1 zlib1g libzstd1 libffi8 libssl3t64 libbz2-1.0 liblzma5
                    libsqlite3-0 libuuid1 libncursesw6 libtinfo6 libreadline8t64 libdb5.3t64)
}

aarch64_root() {
  aarch64_debian "$1"
  local dir; dir="$(aarch64_cache)/cpython-$debian_version-debian-$debian_suite-arm64"
  if [ ! -f "$dir/.done" ]; then
    echo "fetching Debian $debian_suite's arm64 CPython $debian_version into $dir (once)" >&2
    rm -rf "$dir" && mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial" "$dir/debs"
    echo "deb [arch=arm64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_mirror) $debian_suite main" \
      > "$dir/sources.list"
    : > "$dir/status"
    local aptopts=(-qq -o "Dir::Etc::SourceList=$dir/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
                   -o "Dir::State::Lists=$dir/lists" -o "Dir::State::Status=$dir/status" -o "Dir::Cache=$dir/cache"
                   -o "APT::Sandbox::User=root" -o "APT::Architecture=arm64" -o "APT::Architectures=arm64")
    apt-get "${aptopts[@]}" update >/dev/null
    (cd "$dir/debs" && apt-get "${aptopts[@]}" download "${debian_packages[@]}" >/dev/null)
    local deb
    for deb in "$dir"/debs/*.deb; do dpkg-deb -x "$deb" "$dir/root"; done
    # The loader's path, /lib/ld-linux-aarch64.so.1, through the merged /usr that the packages assume.
    [ -e "$dir/root/lib" ] || ln -s usr/lib "$dir/root/lib"
    rm -rf "$dir/debs" "$dir/cache" "$dir/lists"
    touch "$dir/.done"
  fi
  aarch64_fs="$dir/root"
}

aarch64_python() {
  local flavour=$1
  case $flavour in
    313|314)
      aarch64_root "$flavour"
      aarch64_include="$aarch64_fs/usr/include/python$debian_version"
      aarch64_ext_suffix=".cpython-${flavour}-aarch64-linux-gnu.so"
      aarch64_cxxflags="-isystem $aarch64_fs/usr/include" ;;
    313t)
      local cache; cache=$(aarch64_cache)
      local host_prefix="$cache/cpython-3.13t" dir version
      version=$("$host_prefix/bin/python3.13t" -c 'import platform; print(platform.python_version())')
      dir="$cache/cpython-${version}t-aarch64-linux-gnu-headers"
      if [ ! -f "$dir/.done" ]; then
        echo "configuring CPython $version (free-threaded) for aarch64 for its pyconfig.h (once)" >&2
        local work="$cache/python-src-aarch64-$$"
        fetch_python_source "$work"
        local source_version
        source_version=$(sed -n 's/^#define PY_VERSION *"\(.*\)"$/\1/p' "$work/src/Include/patchlevel.h")
        [ "$source_version" = "$version" ] \
          || { echo "Debian's python3.13 source is $source_version now, the cached 3.13t $version" >&2; return 1; }
        (cd "$work/src" && ./configure --host=aarch64-linux-gnu --build=x86_64-pc-linux-gnu --disable-gil \
           --with-build-python="$host_prefix/bin/python3.13t" CC="$toolchain_dir/aarch64-linux-gnu.2.17/cc" \
           ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no >"$work/configure.log" 2>&1) \
          || { echo "configuring CPython for aarch64 failed; see $work/configure.log" >&2; return 1; }
        rm -rf "$dir" && mkdir -p "$dir"
        cp -r "$host_prefix/include/python3.13t" "$dir/"
        cp "$work/src/pyconfig.h" "$dir/python3.13t/pyconfig.h"
        rm -rf "$work"
        touch "$dir/.done"
      fi
      aarch64_include="$dir/python3.13t"
      aarch64_ext_suffix=".cpython-313t-aarch64-linux-gnu.so"
      aarch64_cxxflags="" ;;
    *) echo "no aarch64 headers for $flavour" >&2; return 1 ;;
  esac
}
