#!/usr/bin/env bash
# Writes everything tavrik ships into dist/, the one script that does:
#   - the wheels and the sdist (wheel.sh);
#   - tavrik-convert-VERSION-linux-x86_64 and tavrik-convert-VERSION-linux-aarch64, each one
#     statically linked executable that runs on any Linux of its architecture (static-converter.sh);
#   - tavrik-convert-VERSION-windows-x86_64.exe, one executable for 64-bit Windows that imports
#     only the DLLs every Windows has (static-converter.sh);
#   - dist/SHA256SUMS, the SHA-256 of every other file in dist/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
say() { echo "release: $*" >&2; }
version=$(sed -n 's/^version = "\(.*\)"$/\1/p' pyproject.toml | head -n 1)

bash scripts/wheel.sh  # it empties dist/ first
source scripts/static-converter.sh
for arch in x86_64 aarch64; do
  say "building the static converter for $arch"
  build_static_converter "$arch"
  cp "$static_converter" "dist/tavrik-convert-$version-linux-$arch"
done
say "building the converter for Windows"
build_windows_converter
cp "$static_converter" "dist/tavrik-convert-$version-windows-x86_64.exe"
(cd dist && rm -f SHA256SUMS && sha256sum -- * > SHA256SUMS.new && mv SHA256SUMS.new SHA256SUMS)
say "wrote dist/:"
(cd dist && ls -l | tail -n +2 | sed 's/^/  /') >&2
