# What ./tour and ./test need before they build, checked with the shell's
# own builtins so that a machine without them hears what is missing and the
# one line that installs it, not a build log ending in "command not found".
#   kit_needs [--install-deps] WHAT...
# WHAT is a command, or a header under /usr/include; each is named with the
# Debian package that brings it. With --install-deps the missing packages
# are installed in the same step, through sudo where we are not root.

kit_package() {
  case $1 in
    cc) echo gcc ;;
    c++) echo g++ ;;
    pkg-config) echo pkgconf ;;
    groff) echo groff-base ;;
    readelf) echo binutils ;;
    gtest/gtest.h) echo libgtest-dev ;;
    bpf/libbpf.h) echo libbpf-dev ;;
    *) echo "$1" ;;
  esac
}

kit_needs() {
  local install=0 what missing=() packages=()
  if [[ ${1-} == --install-deps ]]; then
    install=1
    shift
  fi
  for what in "$@"; do
    if [[ $what == */* ]]; then
      [[ -e /usr/include/$what ]] && continue
    else
      # bpftool lives in sbin, off a user's path.
      command -v "$what" >/dev/null || [[ -x /usr/sbin/$what ]] && continue
    fi
    missing+=("$what")
    packages+=("$(kit_package "$what")")
  done
  ((${#missing[@]})) || return 0
  local sudo=
  ((EUID == 0)) || sudo="sudo "
  local line="${sudo}apt-get install ${packages[*]}"
  if ((install)) && command -v apt-get >/dev/null; then
    echo "${0##*/}: installing ${packages[*]}" >&2
    ${sudo}apt-get update && ${sudo}apt-get install -y "${packages[@]}" && return 0
    echo "${0##*/}: the install failed" >&2
    return 1
  fi
  echo "${0##*/}: missing ${missing[*]}" >&2
  if command -v apt-get >/dev/null; then
    echo "Install with: $line" >&2
    echo "or run ${0##*/} --install-deps to have it done." >&2
  else
    echo "Install the packages that bring them (on Debian: ${packages[*]})." >&2
  fi
  return 1
}
