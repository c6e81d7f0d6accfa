#!/usr/bin/env bash
# Runs every test: host unit tests (simulated Windows, ASan + UBSan) through CTest, then the
# Windows builds under Wine. Installs what the tests need first (Debian 12, as root).
set -uo pipefail
cd "$(dirname "$0")/.."
. tools/packages.sh

ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" || { echo "package installation failed"; exit 1; }

# The viewer's Wine test shows its panel in German and French: Wine takes the display language
# from the process locale, and a new machine has only C and POSIX.
for loc in de_DE fr_FR; do
  if ! locale -a 2>/dev/null | grep -qx "$loc.utf8"; then
    sed -i -E "s/^# *($loc.UTF-8 UTF-8)/\1/" /etc/locale.gen
    grep -qx "$loc.UTF-8 UTF-8" /etc/locale.gen || echo "$loc.UTF-8 UTF-8" >>/etc/locale.gen
    need_locale_gen=1
  fi
done
[ -n "${need_locale_gen:-}" ] && { locale-gen >/dev/null || echo "locale-gen failed"; }

bash tools/build.sh || { echo "Windows build failed"; exit 1; }

status=0
cmake --preset host >/dev/null && cmake --build --preset host || { echo "host build failed"; exit 1; }
ctest --preset host -j2 || status=1

if [ -f tests/wine/run.sh ]; then
  bash tests/wine/run.sh || status=1
fi
exit $status
