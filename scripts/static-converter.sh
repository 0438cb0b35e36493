# Sourced: build_static_converter ARCH builds tavrik-convert for Linux on ARCH (x86_64, aarch64) as
# one statically linked executable (musl, libc++, libdeflate, Mbed TLS's crypto library) with the
# portable toolchain (toolchain.sh) in build/portable/ARCH-linux-musl, and sets static_converter
# to its path. release.sh ships it; test-portable.sh tests that very file.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/toolchain.sh"
source "$root/scripts/portable-deps.sh"

build_static_converter() {
  local target=$1-linux-musl build="$root/build/portable/$1-linux-musl"
  portable_deps "$target"
  configure_for "$target" "$root" "$build" -DTAVRIK_BUILD_MODULE=OFF -DCMAKE_EXE_LINKER_FLAGS=-s
  cmake --build "$build" -j 2 --target tavrik-convert >"$build.log" 2>&1 \
    || { cat "$build.log" >&2; echo "building the static converter for $1 failed" >&2; return 1; }
  static_converter="$build/src/convert/tavrik-convert"
  [ -x "$static_converter" ]
}
