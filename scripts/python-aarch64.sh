# Sourced after toolchain.sh: what building and running the aarch64 wheels needs, made once into the cache, nothing
# installed system-wide.
#   aarch64_python FLAVOUR  (311, 312, 313t, 313 or 314) sets
#     aarch64_include     CPython's headers for aarch64 (the directory holding Python.h);
#     aarch64_ext_suffix  the module's file name suffix there, e.g. .cpython-313t-aarch64-linux-gnu.so;
#     aarch64_cxxflags    what else the compiler needs to find them (Debian's pyconfig.h includes
#                         its multiarch twin from usr/include).
#   For 311, 313 and 314 they come from Debian's arm64 packages (bookworm's libpython3.11-dev,
#   trixie's libpython3.13-dev, unstable's libpython3.14-dev, the interpreters python-3.14.sh and
#   the qemu test use); Debian builds no free-threaded 3.13, so for 313t the source cpython.sh
#   builds is configured for aarch64-linux-gnu with --disable-gil (Zig's clang, toolchain.sh), and
#   its pyconfig.h joins the cached 3.13t's own headers. No suite of Debian's archive has CPython
#   3.12 any more, neither its source nor an arm64 build: for 312 the headers are those of the
#   x86_64 3.12 (cpython.sh's python_312), with a pyconfig.h for aarch64 made from its own: the
#   x86-only assembler defines taken out, and every size and alignment it states checked by
#   the aarch64 compiler (what configure would have measured; the C library is glibc on both).
#   aarch64_root FLAVOUR  (311, 313 or 314) sets aarch64_fs to a root of Debian's arm64
#     interpreter with its C library and libraries, for qemu-aarch64 -L.
source "$(dirname "${BASH_SOURCE[0]}")/debian-mirror.sh"
source "$(dirname "${BASH_SOURCE[0]}")/cpython.sh"

aarch64_cache() { echo "${TAVRIK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrik}"; }

# Debian suite, version and packages of each flavour's arm64 root.
aarch64_debian() {
  case $1 in
    311) debian_suite=bookworm debian_version=3.11
         debian_packages=(python3.11 python3.11-minimal libpython3.11 libpython3.11-minimal libpython3.11-stdlib
                          libpython3.11-dev libc6 libgcc-s1 libstdc++6 libexpat1 zlib1g libffi8 libssl3
                          libbz2-1.0 liblzma5 libsqlite3-0 libuuid1 libncursesw6 libtinfo6 libreadline8 libdb5.3)
         return ;;
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
    311|313|314)
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
    312)
      local cache; cache=$(aarch64_cache)
      python_312
      local host_include version dir
      host_include=$("$python312" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
      version=$("$python312" -c 'import platform; print(platform.python_version())')
      dir="$cache/cpython-$version-aarch64-linux-gnu-headers"
      if [ ! -f "$dir/.done" ]; then
        echo "making CPython $version's headers for aarch64 (once)" >&2
        rm -rf "$dir" && mkdir -p "$dir"
        cp -r "$host_include" "$dir/python3.12"
        sed -i -e 's|^#define HAVE_GCC_ASM_FOR_X64 1$|/* #undef HAVE_GCC_ASM_FOR_X64 */|' \
               -e 's|^#define HAVE_GCC_ASM_FOR_X87 1$|/* #undef HAVE_GCC_ASM_FOR_X87 */|' "$dir/python3.12/pyconfig.h"
        check_sizes_for_aarch64 "$dir/python3.12/pyconfig.h" || { rm -rf "$dir"; return 1; }
        touch "$dir/.done"
      fi
      aarch64_include="$dir/python3.12"
      aarch64_ext_suffix=".cpython-312-aarch64-linux-gnu.so"
      aarch64_cxxflags="" ;;
    *) echo "no aarch64 headers for $flavour" >&2; return 1 ;;
  esac
}

# check_sizes_for_aarch64 PYCONFIG: fails unless every SIZEOF_ and ALIGNOF_ value PYCONFIG states is
# the aarch64 compiler's own and its byte order is little-endian, as configure would measure them.
check_sizes_for_aarch64() {
  local pyconfig=$1 work; work=$(mktemp -d)
  {
    echo '#include <stddef.h>'
    echo '#include <stdio.h>'
    echo '#include <stdint.h>'
    echo '#include <time.h>'
    echo '#include <wchar.h>'
    echo '#include <pthread.h>'
    echo '#include <sys/types.h>'
    echo "#include \"$pyconfig\""
    echo '#ifdef WORDS_BIGENDIAN'
    echo '#error "big-endian"'
    echo '#endif'
    echo '_Static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "byte order");'
    local name value type
    while read -r name value; do
      case $name in
        SIZEOF__BOOL) type=_Bool ;;
        SIZEOF_VOID_P) type='void *' ;;
        SIZEOF_*) type=$(echo "${name#SIZEOF_}" | tr 'A-Z_' 'a-z ') ;;
        ALIGNOF_*) type=$(echo "${name#ALIGNOF_}" | tr 'A-Z_' 'a-z ') ;;
      esac
      # Types named with an underscore suffix keep it: pid_t, size_t, max_align_t, ...
      type=$(echo "$type" | sed -e 's/ t$/_t/' -e 's/^pthread key_t$/pthread_key_t/' -e 's/^max align_t$/max_align_t/')
      case $name in
        SIZEOF_*) echo "_Static_assert(sizeof($type) == $value, \"$name\");" ;;
        ALIGNOF_*) echo "_Static_assert(_Alignof($type) == $value, \"$name\");" ;;
      esac
    done < <(sed -n 's/^#define \(\(SIZEOF\|ALIGNOF\)_[A-Z_0-9]*\) \([0-9]*\)$/\1 \3/p' "$pyconfig")
  } > "$work/sizes.c"
  if ! "$toolchain_dir/aarch64-linux-gnu.2.17/cc" -std=c11 -c "$work/sizes.c" -o "$work/sizes.o" 2>"$work/errors"; then
    echo "$pyconfig does not hold for aarch64:" >&2
    cat "$work/errors" >&2
    rm -rf "$work"
    return 1
  fi
  rm -rf "$work"
}
