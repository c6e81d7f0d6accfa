#!/usr/bin/env bash
# Runs every test: host unit tests (simulated Windows, ASan + UBSan) through CTest, then the
# Windows builds under Wine. Installs what the tests need first (Debian 12, as root).
set -uo pipefail
cd "$(dirname "$0")/.."
. tools/packages.sh

ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" || { echo "package installation failed"; exit 1; }

bash tools/build.sh || { echo "Windows build failed"; exit 1; }

status=0
cmake --preset host >/dev/null && cmake --build --preset host || { echo "host build failed"; exit 1; }
ctest --preset host -j2 || status=1

if [ -f tests/wine/run.sh ]; then
  bash tests/wine/run.sh || status=1
fi
exit $status
