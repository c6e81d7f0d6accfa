# Package lists and a helper that installs what is missing (sourced by build.sh and test.sh).
BUILD_PACKAGES=(cmake make mingw-w64 clang lld llvm fp-utils python3)  # python3 seals the setup
TEST_PACKAGES=(g++ googletest libgtest-dev libclang-rt-14-dev wine wine32:i386 wine64 xvfb xdotool imagemagick
               locales fonts-noto-cjk fonts-thai-tlwg xauth
               python3 librsvg2-bin)  # the viewer art check (tests/wine/40-viewer-art.sh)

ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  fi
  apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null
}
