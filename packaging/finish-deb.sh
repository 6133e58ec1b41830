#!/bin/sh
# Finishes one package that cpack built, as Debian's own tools would have:
# ldconfig run by the library's trigger rather than by maintainer scripts,
# no compiler notes left in the programs, a debug package sharing its
# program package's documentation, and md5sums relative to the root.
# Argument: the .deb or .ddeb, rewritten in place.
set -eu
deb=$1
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
dpkg-deb -R "$deb" "$tree"
package=$(dpkg-deb -f "$deb" Package)

rm -f "$tree/DEBIAN/postinst" "$tree/DEBIAN/postrm"
case $package in
  *-dbgsym) mkdir -p "$tree/usr/share/doc" && ln -s "${package%-dbgsym}" "$tree/usr/share/doc/$package" ;;
esac
find "$tree/usr" -type f ! -path '*/usr/lib/debug/*' | while read -r file; do
  case $(file -b "$file") in ELF*) objcopy --remove-section=.comment "$file" ;; esac
done
(cd "$tree" && find usr -type f | LC_ALL=C sort | xargs -r md5sum) >"$tree/DEBIAN/md5sums"
dpkg-deb --root-owner-group -Zxz -b "$tree" "$deb" >/dev/null
