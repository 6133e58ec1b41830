#!/bin/sh
# Builds the Debian package from a build tree and checks its fields and its
# file list. Argument: the build tree.
set -eu
build=$1
. "$(dirname "$0")/same-files.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch" >/dev/null
deb=$(ls "$scratch"/*.deb)
echo "built $(basename "$deb")"
[ "$(dpkg-deb -f "$deb" Package)" = ipc-kit ] || { echo "wrong package name"; exit 1; }
dpkg-deb -f "$deb" Depends | grep -q '^libc6' || { echo "no dependency on libc6"; exit 1; }
same_files "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./usr/||' | sort)"
echo "the package holds every file under /usr"
