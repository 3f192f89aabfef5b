# Sourced by the scripts that need packages: installs what is missing, nothing else.
#
#   install_missing WHO DEBIAN_PACKAGE…
# On Debian and its kin: every package that dpkg does not list as installed is installed
# with apt-get (through sudo when not root), after one update of the package lists.
# WHO prefixes the one line that says what is being installed. Elsewhere it does nothing.
install_missing() {
  local who=$1 p sudo=""
  shift
  command -v dpkg-query >/dev/null || return 0
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "$who: installing ${missing[*]}" >&2
  [ "$(id -u)" = 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
