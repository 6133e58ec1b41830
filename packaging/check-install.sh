#!/bin/sh
# Installs the kit into a scratch prefix and checks that every file is
# there and that the installed tour plays. Then runs the README's block for
# the averager library as it stands, with HOME in the scratch folder and no
# LD_LIBRARY_PATH: the program built by pkg-config against the shared
# library, against the static one, and by CMake must each print the same
# means.
# Arguments: the build tree, the source tree.
set -eu
build=$1 source=$2
. "$(dirname "$0")/same-files.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
expected=$(printf 'mean(1, 2) = 1.5\nmean(-3, 3) = 0\nmean(1e+308, 1e+308) = 1e+308')

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
same_files "$(cd "$scratch/prefix" && find . ! -type d | sed 's|^\./||' | sort)"
# The one command on the PATH plays the programs of its own prefix, and the
# installed tour builds means.c against the installed library.
(cd "$scratch" && "$scratch/prefix/bin/ipc-kit" tour mean >tour.txt 2>&1) ||
  { cat "$scratch/tour.txt"; echo "the installed tour did not play"; exit 1; }

block=$(awk '/check-install.sh runs this block/ {armed = 1; next}
             armed && /^```sh$/ {inside = 1; next}
             inside && /^```$/ {exit}
             inside {print}' "$source/README.md")
[ -n "$block" ] || { echo "no checked block in README.md"; exit 1; }
mkdir "$scratch/home" "$scratch/work"
ln -s "$(cd "$build" && pwd)" "$scratch/work/build"
ln -s "$(cd "$source" && pwd)/mean" "$scratch/work/mean"
got=$(cd "$scratch/work" && env -u LD_LIBRARY_PATH HOME="$scratch/home" sh -euc "$block" 2>&1) ||
  { printf 'the README block failed:\n%s\n' "$got"; exit 1; }
# What the three programs print ends the block's output.
[ "$(printf '%s\n' "$got" | tail -n 9)" = "$(printf '%s\n%s\n%s' "$expected" "$expected" "$expected")" ] ||
  { printf 'the README block printed:\n%s\n' "$got"; exit 1; }
readelf -d "$scratch/work/means-static" | grep -q averager &&
  { echo "means-static still needs libaverager at run time"; exit 1; }

# The shared library exports mean and nothing else, and needs only libc.
exported=$(nm -D --defined-only "$build/lib/libaverager.so" | awk '{print $3}')
[ "$exported" = "mean" ] || { echo "exported symbols: $exported"; exit 1; }
needed=$(readelf -d "$build/lib/libaverager.so" | awk '/NEEDED/ {print $5}')
[ "$needed" = "[libc.so.6]" ] || { echo "libaverager.so needs: $needed"; exit 1; }
echo "installed every file; the README's block built means.c three ways"
