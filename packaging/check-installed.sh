#!/bin/sh
# Checks the kit installed into this machine with apt-get, as a user meets
# it, then removes it and checks that nothing of it is left. For a scratch
# machine: run as root, after apt-get install of the packages.
set -eu
fail() { echo "check-installed: $*" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
expected=$(printf 'mean(1, 2) = 1.5\nmean(-3, 3) = 0\nmean(1e+308, 1e+308) = 1e+308')

ipc-kit | grep -q '^  gatewait ' || fail "ipc-kit does not list the programs"
ipc-kit --version | grep -qx 'ipc-kit [0-9.]*' || fail "ipc-kit --version"
ipc-kit tour semaphores mean >tour.txt 2>&1 || { cat tour.txt; fail "the tour did not play"; }

# Its pages open; the system's fork(2) is still the one man fork opens.
man -w ipc-kit-fork | grep -q '/usr/share/man/man1/ipc-kit-fork.1' || fail "no page ipc-kit-fork"
page=$(man -w fork) || fail "man fork opens nothing"
case $page in */man2/fork.2*) ;; *) fail "man fork opens $page, not fork(2)" ;; esac

# The library, found by pkg-config and by CMake, with no extra flags.
pkg-config --libs averager | grep -q -- '-laverager' || fail "pkg-config --libs averager"
cc -o means-pc /usr/share/ipc-kit/means.c $(pkg-config --cflags --libs averager)
[ "$(./means-pc)" = "$expected" ] || fail "means.c built by pkg-config printed $(./means-pc)"
mkdir project
cp /usr/share/ipc-kit/means.c project/
cat >project/CMakeLists.txt <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(means LANGUAGES C)
find_package(averager 1 REQUIRED)
add_executable(means means.c)
target_link_libraries(means PRIVATE averager::averager)
CMAKE
cmake -S project -B project/build >/dev/null && cmake --build project/build >/dev/null ||
  fail "find_package(averager 1) did not build means.c"
[ "$(project/build/means)" = "$expected" ] || fail "means.c built by CMake printed wrongly"

# Completion, loaded by bash-completion when ipc-kit is first completed.
completed=$(bash -c '. /usr/share/bash-completion/bash_completion
  _completion_loader ipc-kit
  COMP_WORDS=(ipc-kit tou) COMP_CWORD=1
  $(complete -p ipc-kit | sed "s/.*-F \([^ ]*\) .*/\1/") ipc-kit tou ipc-kit
  echo "${COMPREPLY[*]}"')
[ "$completed" = tour ] || fail "ipc-kit tou completes to '$completed'"

# Removed and purged: none of the kit's files stay.
packages=$(dpkg-query -W -f='${Package}\n' 'ipc-kit*' 'libaverager*' 2>/dev/null)
files=$(for package in $packages; do dpkg -L "$package"; done | sort -u)
apt-get remove --purge -y $packages >/dev/null
for file in $files; do
  [ -d "$file" ] && continue
  [ ! -e "$file" ] || fail "$file is left after the purge"
done
echo "check-installed: the installed kit plays, builds, completes and leaves nothing behind"
