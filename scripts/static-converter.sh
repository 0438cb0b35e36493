# Sourced: build_static_converter ARCH builds tavrik-convert for Linux on ARCH (x86_64, aarch64) as
# one statically linked executable (musl, libc++, libdeflate, nettle, zstd) with the
# portable toolchain (toolchain.sh) in build/portable/ARCH-linux-musl, and sets static_converter
# to its path; build_windows_converter does the same for Windows on x86_64
# (build/portable/x86_64-windows-gnu, tavrik-convert.exe: libc++ and the libraries linked in, only
# system DLLs imported). release.sh ships them; test-portable.sh and test-windows.sh test those
# very files.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/toolchain.sh"
source "$root/scripts/portable-deps.sh"

# build_converter_for TARGET: the converter built for TARGET, into static_converter.
build_converter_for() {
  local target=$1 build="$root/build/portable/$1"
  portable_deps "$target"
  configure_for "$target" "$root" "$build" -DTAVRIK_BUILD_MODULE=OFF -DCMAKE_EXE_LINKER_FLAGS=-s
  cmake --build "$build" -j 2 --target tavrik-convert >"$build.log" 2>&1 \
    || { cat "$build.log" >&2; echo "building the static converter for $target failed" >&2; return 1; }
  static_converter="$build/convert/tavrik-convert"
  [ -f "$static_converter.exe" ] && static_converter="$static_converter.exe"
  [ -x "$static_converter" ]
}

build_static_converter() { build_converter_for "$1-linux-musl"; }
build_windows_converter() { build_converter_for x86_64-windows-gnu; }
