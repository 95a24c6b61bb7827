#!/usr/bin/env bash
# The Debian package made from a build, as a user gets it: cpack makes it
# (in a scratch directory, so the build's own package is left alone), its
# dependencies as dpkg-shlibdeps found them name the toolkit and the
# inflater, it holds the two programs and their manual pages and nothing
# else, and unpacked into a scratch root the programs run headless, print
# what they should and write nothing to the home, state or temporary
# directory.
#   tests/package_test.sh BUILD_DIR VERSION [CPACK]
set -euo pipefail

build=$1
version=$2
cpack=${3:-cpack}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

if ! "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" \
  >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log" >&2
  echo "FAIL: cpack could not make the package" >&2
  exit 1
fi
shopt -s nullglob
made=("$scratch"/out/*.deb)
shopt -u nullglob
if [ ${#made[@]} -ne 1 ]; then
  echo "FAIL: cpack made ${#made[@]} packages: ${made[*]:-}" >&2
  exit 1
fi
pkg=${made[0]}
echo "package: $(basename "$pkg")"

expected_name="tqsetup_${version}_$(dpkg --print-architecture).deb"
[ "$(basename "$pkg")" = "$expected_name" ] ||
  fail "the package is $(basename "$pkg"), not $expected_name"
[ "$(dpkg-deb -f "$pkg" Package)" = tqsetup ] ||
  fail "Package: $(dpkg-deb -f "$pkg" Package)"
[ "$(dpkg-deb -f "$pkg" Version)" = "$version" ] ||
  fail "Version: $(dpkg-deb -f "$pkg" Version)"

# What dpkg-shlibdeps made of the programs' libraries.
depends=$(dpkg-deb -f "$pkg" Depends)
echo "Depends: $depends"
for library in 'libgtk2\.0-0' 'libisal[0-9]+' 'zlib1g'; do
  grep -Eq "(^|, )${library}( |,|$)" <<<"$depends" ||
    fail "Depends names no $library"
done

# The programs and their pages, and nothing else.
root=$scratch/root
dpkg -x "$pkg" "$root"
files=$(cd "$root" && find . ! -type d | sort | tr '\n' ' ')
expected="./usr/bin/kittool ./usr/bin/setup ./usr/share/man/man1/kittool.1 \
./usr/share/man/man1/setup.1 "
[ "$files" = "$expected" ] || fail "the package holds: $files"
source_dir=$(cd "$(dirname "$0")/.." && pwd)
for page in setup kittool; do
  cmp -s "$root/usr/share/man/man1/$page.1" "$source_dir/docs/$page.1" ||
    fail "usr/share/man/man1/$page.1 is not docs/$page.1"
done

# Runs an installed program without a display, with a home, a state and a
# temporary directory of its own, from an empty working directory.
mkdir "$scratch/home" "$scratch/tmp" "$scratch/work"
run() {
  (cd "$scratch/work" &&
    env -u DISPLAY -u WAYLAND_DISPLAY -u XAUTHORITY \
      HOME="$scratch/home" TMPDIR="$scratch/tmp" \
      XDG_STATE_HOME="$scratch/state" LC_ALL=C.UTF-8 \
      "$@" >"$scratch/stdout" 2>"$scratch/stderr")
}
check() {  # what it ran, its status, the first line it should print
  local what=$1 status=$2 line=$3
  [ "$status" -eq 0 ] || fail "$what ended with $status"
  [ "$(head -n 1 "$scratch/stdout")" = "$line" ] ||
    fail "$what printed: $(head -n 1 "$scratch/stdout")"
  [ ! -s "$scratch/stderr" ] || fail "$what complained: $(cat "$scratch/stderr")"
  local written
  written=$(find "$scratch/home" "$scratch/tmp" "$scratch/work" -mindepth 1)
  [ -z "$written" ] || fail "$what wrote: $written"
  [ ! -e "$scratch/state" ] || fail "$what made the state directory"
}

status=0
run "$root/usr/bin/kittool" --version || status=$?
check "kittool --version" "$status" "kittool $version"
[ "$(wc -l <"$scratch/stdout")" -eq 1 ] || fail "kittool --version: not one line"
status=0
run "$root/usr/bin/setup" --help || status=$?
check "setup --help" "$status" "Usage: setup [usecwd] [-S] [--kit PATH] [--target DIR] [-L<code>]"
status=0
run "$root/usr/bin/setup" --version || status=$?
check "setup --version" "$status" "setup $version"

if [ "$failures" -ne 0 ]; then
  echo "$failures failures" >&2
  exit 1
fi
echo "ok"
