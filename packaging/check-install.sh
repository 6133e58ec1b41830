#!/bin/sh
# Installs the kit into a scratch prefix, checks that every file is there,
# then builds a plain C program against its averager by pkg-config and by
# the CMake package; both must print the same means. Arguments: the build
# tree, the folder of the C program, extra compiler flags (the sanitizers,
# when the library was built with them).
set -eu
build=$1 consumer=$2 flags=${3:-}
. "$(dirname "$0")/same-files.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
expected=$(printf 'mean(1, 2) = 1.5\nmean(-3, 3) = 0\nmean(1e+308, 1e+308) = 1e+308')

prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
same_files "$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | sort)"
libdir=$prefix/lib

# By pkg-config, against the shared library.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc $flags -o "$scratch/means" "$consumer/means.c" $(pkg-config --cflags --libs averager)
got=$(LD_LIBRARY_PATH="$libdir" "$scratch/means")
[ "$got" = "$expected" ] || { echo "pkg-config build printed '$got', not '$expected'"; exit 1; }

# By the CMake package.
cmake -S "$consumer" -B "$scratch/build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$scratch/build" >/dev/null
got=$("$scratch/build/means")
[ "$got" = "$expected" ] || { echo "CMake build printed '$got', not '$expected'"; exit 1; }

# The shared library exports mean and nothing else.
exported=$(nm -D --defined-only "$libdir"/libaverager.so | awk '{print $3}')
[ "$exported" = "mean" ] || { echo "exported symbols: $exported"; exit 1; }
echo "installed every file; means.c built by pkg-config and by CMake"
