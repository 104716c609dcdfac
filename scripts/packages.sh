# Sourced by the scripts: installs the Debian packages named in its arguments when one is
# missing, as root; otherwise prints the line that installs them and stops.
require_packages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages; install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "installing ${missing[*]}" >&2
  apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

HOST_PACKAGES=(g++ cmake make googletest)
# The shipped 32-bit program alone, and everything the Windows builds and their tests need.
SHIPPED_PACKAGES=(cmake make g++-mingw-w64-i686-posix binutils-mingw-w64-i686)
WINDOWS_PACKAGES=("${SHIPPED_PACKAGES[@]}" g++-mingw-w64-x86-64-posix wine wine64)
CHECK_PACKAGES=(clang clang-format clang-tidy libclang-rt-14-dev)
