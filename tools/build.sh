#!/usr/bin/env bash
# Builds every deliverable for x86 and x64 into dist/x86 and dist/x64.
# Installs the cross toolchain first when it is missing (Debian 12, as root).
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/packages.sh

ensure_packages "${BUILD_PACKAGES[@]}"

for arch in x86 x64; do
  cmake --preset "$arch" ${OMBRIX_CMAKE_ARGS:-} >/dev/null
  cmake --build --preset "$arch"
  rm -rf "dist/$arch"
  cmake --install "build/$arch" --prefix "dist/$arch" >/dev/null
  echo "dist/$arch:"; ls -l "dist/$arch"
done
