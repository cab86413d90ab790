# Shared by the scripts of this folder, which source it first:
#
#   . "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/common.sh"
#
# It moves to the checkout the scripts belong to, wherever they are called
# from and through whatever symbolic link (paths with spaces included).

root="$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.." && pwd)"
cd "$root"

jobs=$(nproc 2>/dev/null || echo 2)

# Whether a setting holds one of the usual true values: 1, yes, true or on,
# in any case.
is_true() {
  case "${1,,}" in
    1 | yes | true | on) return 0 ;;
    *) return 1 ;;
  esac
}

# Installs the Debian packages given (none: nothing happens), or, when this
# user is not root, says plainly which are missing and stops.
install_packages() {
  [ $# -gt 0 ] || return 0
  if [ "$(id -u)" != 0 ]; then
    echo "error: missing packages: $*" >&2
    echo "installing them needs root: run this script as root, or first, as root:" >&2
    echo "  apt-get install $*" >&2
    exit 1
  fi
  echo "== installing $*"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@"
}
