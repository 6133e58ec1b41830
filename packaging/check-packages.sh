#!/bin/sh
# Checks the Debian packages as a maintainer and a user would meet them:
# lintian --pedantic on the .changes files given, which covers the source
# package and every binary (no error or warning; every remaining tag named
# with its reason in lintian-info.txt), their control fields, and the kit
# unpacked into a scratch root: ipc-kit lists and runs the programs, the
# tour plays them and builds against the installed library, and no page of
# the kit shadows fork(2) or pause(2). Arguments: the .changes files.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
debs=$(cd "$(dirname "$1")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "check-packages: $*" >&2; exit 1; }

ls "$debs"/ipc-kit_*.deb "$debs"/libaverager1_*.deb "$debs"/libaverager-dev_*.deb \
  "$debs"/ipc-kit-dbgsym_*.*deb "$debs"/libaverager1-dbgsym_*.*deb "$debs"/ipc-kit_*.dsc \
  "$debs"/ipc-kit_*.tar.* >/dev/null

# lintian: errors and warnings fail; other tags must be justified.
lintian --pedantic --display-info --tag-display-limit 0 "$@" >"$scratch/lintian" 2>&1 || true
cat "$scratch/lintian"
! grep -q '^[EW]: ' "$scratch/lintian" || fail "lintian reports errors or warnings"
grep -v '^#' "$here/lintian-info.txt" | cut -d: -f1 >"$scratch/justified"
grep '^[A-Z]: ' "$scratch/lintian" | while read -r _ package tag word _; do
  key="${package%:} $tag"
  grep -qx "$key" "$scratch/justified" || grep -qx "$key $word" "$scratch/justified" ||
    fail "lintian tag without a reason in lintian-info.txt: $key $word"
done

# Control fields: what each package needs and provides.
field() { dpkg-deb -f "$debs/$1"_*.deb "$2"; }
field ipc-kit Depends | grep -q 'libc6 (>=' || fail "ipc-kit does not depend on libc6"
field ipc-kit Depends | grep -q 'libbpf1' || fail "ipc-kit does not depend on libbpf1, which ipcwatch loads"
field libaverager1 Depends | grep -q 'libc6 (>=' || fail "libaverager1 does not depend on libc6"
version=$(field libaverager1 Version)
field libaverager-dev Depends | grep -qF "libaverager1 (= $version)" ||
  fail "libaverager-dev does not depend on libaverager1 (= $version)"
for package in libaverager1 libaverager-dev; do
  [ "$(field $package Multi-Arch)" = same ] || fail "$package is not Multi-Arch: same"
done
dpkg-deb --ctrl-tarfile "$debs"/libaverager1_*.deb | tar -x -C "$scratch"
grep -q "^libaverager 1 libaverager1" "$scratch/shlibs" || fail "no shlibs entry"
grep -q "^ mean@Base" "$scratch/symbols" || fail "no symbols entry for mean"
grep -qx "activate-noawait ldconfig" "$scratch/triggers" || fail "no ldconfig trigger"

# The kit unpacked into a scratch root, run from there.
root=$scratch/root
for deb in "$debs"/ipc-kit_*.deb "$debs"/libaverager*.deb; do dpkg-deb -x "$deb" "$root"; done
listing=$("$root/usr/bin/ipc-kit")
for program in gatewait gatepost turnstile pipechat pipechat-server slatewatch \
  slatewatch-client fork catcher pause ipcwatch tour; do
  printf '%s\n' "$listing" | grep -q "^  $program " || fail "ipc-kit does not list $program"
done
(cd "$scratch" && "$root/usr/bin/ipc-kit" tour semaphores mean) || fail "the installed tour failed"
man -M "$root/usr/share/man" -w fork >/dev/null 2>&1 && fail "a page of the kit answers man fork"
man -M "$root/usr/share/man" -w pause >/dev/null 2>&1 && fail "a page of the kit answers man pause"
man -M "$root/usr/share/man" -w ipc-kit-fork >/dev/null || fail "no page ipc-kit-fork"
echo "check-packages: the packages pass lintian and the installed kit plays"
