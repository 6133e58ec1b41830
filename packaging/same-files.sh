# Sourced by the checks: same_files LISTING compares a sorted listing of
# installed paths with installed-files.txt, and says what differs.
same_files() {
  listed=$(grep -v '^#' "$(dirname "$0")/installed-files.txt")
  installed=$1
  missing=$(printf '%s\n' "$listed" | while read -r pattern; do
    printf '%s\n' "$installed" | grep -qx "$(printf '%s' "$pattern" | sed 's/\./\\./g; s/\*/[^\/]*/g')" ||
      echo "$pattern"
  done)
  extra=$(printf '%s\n' "$installed" | while read -r path; do
    printf '%s\n' "$listed" | while read -r pattern; do
      case $path in $pattern) echo found; break ;; esac
    done | grep -q found || echo "$path"
  done)
  [ -z "$missing$extra" ] && return 0
  [ -n "$missing" ] && printf 'missing:\n%s\n' "$missing"
  [ -n "$extra" ] && printf 'not listed:\n%s\n' "$extra"
  return 1
}
