# Package lists and a helper that installs what is missing (sourced by build.sh and test.sh).
BUILD_PACKAGES=(cmake make mingw-w64 clang lld llvm fp-utils python3)  # python3 seals the setup
TEST_PACKAGES=(g++ googletest libgtest-dev libgmock-dev libclang-rt-14-dev wine wine32:i386 wine64 xvfb xdotool imagemagick
               locales fonts-noto-cjk fonts-thai-tlwg xauth
               python3 librsvg2-bin)  # the viewer art check (tests/wine/40-viewer-art.sh)

# Installs the named packages that are not installed yet; with all of them present it does
# nothing, and asks no mirror. A mirror caught mid-sync can leave one architecture's index older
# than the other's: the multi-architecture libraries then have different candidates for amd64 and
# i386 and apt reports held broken packages. The second attempt prefers the release's own suite,
# which gives both architectures the same versions of what it installs; the third also takes the
# installed libraries it depends on back to the release's version.
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

  local log
  log=$(mktemp) || return 1
  # An index that could not be fetched leaves the older one in use: worth a warning, not a stop.
  if ! apt-get update -q >"$log" 2>&1 || grep -q '^[WE]:' "$log"; then
    echo "warning: apt-get update did not read every index; installing from what it has:"
    grep -E '^(W|E|Err):' "$log" | sed 's/^/  /'
  fi

  local apt=(env DEBIAN_FRONTEND=noninteractive apt-get install -y -q)
  if "${apt[@]}" "${missing[@]}" >"$log" 2>&1; then
    rm -f "$log"; return 0
  fi
  local release
  release=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
  if [ -n "$release" ]; then
    echo "apt-get install failed; trying again with the packages of the release's own suite ($release)"
    if "${apt[@]}" -t "$release" "${missing[@]}" >"$log" 2>&1; then
      rm -f "$log"; return 0
    fi
    # Libraries already installed from an update suite whose other-architecture index is missing
    # can only be matched by taking them back to the release's version as well.
    local pin
    pin=$(mktemp) || return 1
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 1001\n' "$release" >"$pin"
    echo "trying again with every package at the release's own version (installed ones taken back to it)"
    if "${apt[@]}" --allow-downgrades -o Dir::Etc::Preferences="$pin" "${missing[@]}" >"$log" 2>&1; then
      sed -n '/will be DOWNGRADED/,/^[0-9]/p' "$log" | sed 's/^/  /'
      rm -f "$log" "$pin"; return 0
    fi
    rm -f "$pin"
  fi

  echo "apt-get install failed:"
  grep -E '^(E:| |[a-z0-9.+-]+(:[a-z0-9]+)? :)' "$log" | head -n 40 | sed 's/^/  /'
  local still=()
  for p in "${missing[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || still+=("$p")
  done
  echo "not installed: ${still[*]}"
  rm -f "$log"
  return 1
}
