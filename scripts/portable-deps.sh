# Sourced after toolchain.sh: portable_deps TARGET [googletest] builds the libraries tavrik links
# for TARGET with the portable toolchain, once, into "$(target_prefix TARGET)": libdeflate
# (compression), zstd (the Parquet tables' compression) and nettle (SHA-1; a fat build, which picks
# the processor's SHA instructions at run time), and GoogleTest when asked (for the C++
# tests built for another architecture). Each comes from the Debian source package of the suite
# and version pinned here, its upstream tarball checked against the checksum pinned here; the
# mirror comes from the machine's apt configuration. Nothing is installed system-wide.
# libdeflate is Debian 12's own version, the one the ordinary build links (libdeflate-dev): the
# same compressor writes the same bytes, so every build's mzML is identical. nettle too is Debian
# 12's version, the one of the ordinary build's nettle-dev.
source "$(dirname "${BASH_SOURCE[0]}")/debian-mirror.sh"

# name, Debian suite, Debian source version, upstream tarball's SHA-256
portable_sources=(
  "libdeflate bookworm 1.14-1 89e7df898c37c3427b0f39aadcf733731321a278771d20fc553f92da8d4808ac"
  "nettle bookworm 3.8.1-2 364f3e2b77cd7dcde83fd7c45219c834e54b0c75e428b6f894a23d12dd41cbfe"
  "libzstd bookworm 1.5.4+dfsg2-5 8cf4bbb65e77ec348d052c8d6230eba66d435bddf64c8b5be2fcb16880c19953"
  "googletest trixie 1.16.0-1 2f54382b5d13d6cd0be2afc524f1e510d37f8ba78c2d439c5bea64ef37e30d01"
)

# Sets source_dir to NAME's unpacked upstream source, fetching and checking it once.
portable_source() {
  local name=$1 entry suite version sha256
  for entry in "${portable_sources[@]}"; do
    set -- $entry
    [ "$1" = "$name" ] && suite=$2 version=$3 sha256=$4
  done
  local cache; cache=$(dirname "$toolchain_dir")/sources
  local dir="$cache/$name-$version"
  if [ ! -f "$dir/.done" ]; then
    echo "portable-deps: fetching Debian's $name $version source" >&2
    local work="$cache/fetch-$$"
    rm -rf "$work" "$dir" && mkdir -p "$work/lists/partial" "$dir"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_mirror) $suite main" \
      > "$work/sources.list"
    local aptopts=(-qq -o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
                   -o "Dir::State::Lists=$work/lists" -o "APT::Get::List-Cleanup=0" -o "APT::Sandbox::User=root")
    apt-get "${aptopts[@]}" update >/dev/null
    # Only the upstream tarball is used, and its pinned checksum is what vouches for it: a
    # mirror that lacks the Debian parts (.dsc, debian.tar) does not stop the build.
    (cd "$work" && apt-get "${aptopts[@]}" source --download-only "$name=$version" >/dev/null 2>&1) || true
    local tarball; tarball=$(ls "$work/${name}_"*.orig.tar.* 2>/dev/null | grep -v '\.asc$' || true)
    [ -n "$tarball" ] || { echo "portable-deps: no $name $version source in the archive" >&2; return 1; }
    echo "$sha256  $tarball" | sha256sum --check --quiet \
      || { echo "portable-deps: $tarball does not match its pinned checksum" >&2; return 1; }
    tar -xf "$tarball" -C "$dir" --strip-components=1
    rm -rf "$work"
    touch "$dir/.done"
  fi
  source_dir=$dir
}

# cmake_install TARGET SOURCE-DIR [CMAKE-OPTION...]: configures, builds and installs a static
# release build of SOURCE-DIR for TARGET into its prefix.
cmake_install() {
  local target=$1 source=$2 prefix build
  shift 2
  prefix=$(target_prefix "$target")
  build="$prefix/build/$(basename "$source")"
  rm -rf "$build"
  cmake -S "$source" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$(toolchain_file "$target")" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DBUILD_SHARED_LIBS=OFF "$@" >"$build.log" 2>&1 \
  && cmake --build "$build" -j 2 >>"$build.log" 2>&1 && cmake --install "$build" >>"$build.log" 2>&1 \
    || { echo "portable-deps: building $(basename "$source") for $target failed; see $build.log" >&2; return 1; }
  rm -rf "$build"
}

# make_zstd TARGET SOURCE-DIR: zstd's library alone, with its own Makefile, one thread of compression.
make_zstd() {
  local target=$1 source=$2 prefix build
  prefix=$(target_prefix "$target")
  build="$prefix/build/zstd"
  rm -rf "$build" && cp -r "$source" "$build"
  make -C "$build/lib" -j 2 libzstd.a CC="$toolchain_dir/$target/cc" AR="$toolchain_dir/$target/ar" \
    CFLAGS="-O2 -fPIC" ZSTD_LEGACY_SUPPORT=0 >"$build.log" 2>&1 \
    || { echo "portable-deps: building zstd for $target failed; see $build.log" >&2; return 1; }
  mkdir -p "$prefix/include" "$prefix/lib"
  cp "$build/lib/zstd.h" "$build/lib/zstd_errors.h" "$prefix/include/" && cp "$build/lib/libzstd.a" "$prefix/lib/"
  rm -rf "$build"
}

# make_libdeflate TARGET SOURCE-DIR: libdeflate 1.14 builds with its own Makefile, which names
# the static library libdeflatestatic.lib for Windows; it is installed as libdeflate.a everywhere.
make_libdeflate() {
  local target=$1 source=$2 prefix build library=libdeflate.a
  prefix=$(target_prefix "$target")
  build="$prefix/build/libdeflate"
  case $target in *windows*) library=libdeflatestatic.lib ;; esac
  rm -rf "$build" && cp -r "$source" "$build"
  make -C "$build" -j 2 "$library" CC="$toolchain_dir/$target/cc" AR="$toolchain_dir/$target/ar" \
    CFLAGS="-O2 -fPIC" >"$build.log" 2>&1 \
    || { echo "portable-deps: building libdeflate for $target failed; see $build.log" >&2; return 1; }
  mkdir -p "$prefix/include" "$prefix/lib"
  cp "$build/libdeflate.h" "$prefix/include/" && cp "$build/$library" "$prefix/lib/libdeflate.a"
  rm -rf "$build"
}

# make_nettle TARGET SOURCE-DIR: nettle's own library alone (no public-key part, so no GMP), with
# its configure and Makefile; --enable-fat builds every assembly variant of its SHA-1 for the
# target's processor and chooses among them when the program starts (cpuid on x86_64, the hardware
# capabilities on aarch64), plain C where the processor has none.
make_nettle() {
  local target=$1 source=$2 prefix build host cflags="-O2 -fPIC"
  prefix=$(target_prefix "$target")
  build="$prefix/build/nettle"
  # nettle asks the kernel for the processor's aarch64 features (getauxval) only under glibc;
  # musl has the same call, which it is told to use: else the static converter never uses them.
  if [ "$target" = aarch64-linux-musl ]; then cflags+=" -DUSE_GETAUXVAL=1 -include sys/auxv.h"; fi
  case $target in
    x86_64-windows-gnu) host=x86_64-w64-mingw32 ;;
    *-linux-gnu.*) host=${target%%-*}-pc-linux-gnu ;;
    *-linux-musl) host=${target%%-*}-pc-linux-musl ;;
    *) echo "portable-deps: no nettle host for $target" >&2; return 1 ;;
  esac
  # Times kept: the tables the tarball ships generated (rotors.h, ...) stay newer than their sources.
  rm -rf "$build" && cp -a "$source" "$build"
  (cd "$build" && ./configure --host="$host" --prefix="$prefix" --libdir="$prefix/lib" \
      --enable-fat --disable-shared --enable-static --disable-public-key --disable-documentation \
      --disable-openssl CC="$toolchain_dir/$target/cc" AR="$toolchain_dir/$target/ar" \
      RANLIB="$toolchain_dir/$target/ranlib" CC_FOR_BUILD=cc CFLAGS="$cflags" \
    && make -j 2 libnettle.a && make install-headers install-static) >"$build.log" 2>&1 \
    || { echo "portable-deps: building nettle for $target failed; see $build.log" >&2; return 1; }
  rm -rf "$build"
}

portable_deps() {
  local target=$1 want_googletest=${2:-} prefix
  prefix=$(target_prefix "$target")
  mkdir -p "$prefix/build"
  if [ ! -f "$prefix/.libdeflate" ]; then
    echo "portable-deps: libdeflate for $target" >&2
    portable_source libdeflate
    make_libdeflate "$target" "$source_dir"
    touch "$prefix/.libdeflate"
  fi
  if [ ! -f "$prefix/.nettle" ]; then
    echo "portable-deps: nettle for $target" >&2
    portable_source nettle
    make_nettle "$target" "$source_dir"
    touch "$prefix/.nettle"
  fi
  if [ ! -f "$prefix/.zstd" ]; then
    echo "portable-deps: zstd for $target" >&2
    portable_source libzstd
    make_zstd "$target" "$source_dir"
    touch "$prefix/.zstd"
  fi
  if [ "$want_googletest" = googletest ] && [ ! -f "$prefix/.googletest" ]; then
    echo "portable-deps: GoogleTest for $target" >&2
    portable_source googletest
    cmake_install "$target" "$source_dir" -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON
    touch "$prefix/.googletest"
  fi
}
