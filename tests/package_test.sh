#!/usr/bin/env bash
# The Debian packages made from a build, as an administrator gets them: one
# cpack run (in a scratch directory, so that the build's own packages are
# left alone) makes exactly tqsetup (setup) and tqsetup-kittool (kittool).
# Each holds its program, its manual page (the source page, dated and
# versioned in its .TH line, compressed with gzip -9n), the copyright and
# the Debian changelog, and nothing else; lintian finds no error and no
# warning in either; their dependencies as dpkg-shlibdeps found them name
# the toolkit for setup and no part of it for kittool. Unpacked into one
# scratch root, the programs run headless, print what they should and write
# nothing to the home, state or temporary directory.
#   tests/package_test.sh BUILD_DIR VERSION PACKAGE_VERSION [CPACK]
set -euo pipefail

build=$1
version=$2
package_version=$3
cpack=${4:-cpack}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
arch=$(dpkg --print-architecture)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

if ! command -v lintian >/dev/null; then
  echo "FAIL: no lintian (scripts/setup-machine installs it)" >&2
  exit 1
fi
if ! "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" \
  >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log" >&2
  echo "FAIL: cpack could not make the packages" >&2
  exit 1
fi
made=$(cd "$scratch/out" && ls -- *.deb 2>/dev/null | sort | tr '\n' ' ' || true)
expected="tqsetup-kittool_${package_version}_${arch}.deb \
tqsetup_${package_version}_${arch}.deb "
if [ "$made" != "$expected" ]; then
  echo "FAIL: cpack made: ${made:-nothing}; expected: $expected" >&2
  exit 1
fi
echo "packages: $made"

# Every error and warning fails; the infos are shown.
status=0
lintian --fail-on error,warning --display-info "$scratch"/out/*.deb \
  >"$scratch/lintian.log" 2>&1 || status=$?
echo "lintian:"
grep -v '^running with root privileges' "$scratch/lintian.log" || true
[ "$status" -eq 0 ] || fail "lintian found errors or warnings (status $status)"

# The first 9 bytes of a gzip file: magic, deflate, no flags (so no file
# name), no time, and the "slowest compression" mark of -9.
reproducible_gzip() {
  [ "$(od -An -tx1 -N9 "$1" | tr -d ' \n')" = 1f8b08000000000002 ]
}

# check_package NAME PROGRAM: one package's fields, files, page and
# changelog. Leaves it unpacked in $scratch/NAME.
check_package() {
  local name=$1 program=$2
  local deb=$scratch/out/${name}_${package_version}_${arch}.deb
  local root=$scratch/$name
  [ "$(dpkg-deb -f "$deb" Package)" = "$name" ] ||
    fail "$name: Package: $(dpkg-deb -f "$deb" Package)"
  [ "$(dpkg-deb -f "$deb" Version)" = "$package_version" ] ||
    fail "$name: Version: $(dpkg-deb -f "$deb" Version)"

  dpkg -x "$deb" "$root"
  local files doc=./usr/share/doc/$name
  files=$(cd "$root" && find . ! -type d | sort | tr '\n' ' ')
  local want="./usr/bin/$program $doc/changelog.Debian.gz $doc/copyright \
./usr/share/lintian/overrides/$name ./usr/share/man/man1/$program.1.gz "
  [ "$files" = "$want" ] || fail "$name holds: $files"

  # The changelog: of the package's source (named, or the package's own
  # name), this version, and the package's maintainer.
  local changelog=$root/usr/share/doc/$name/changelog.Debian.gz
  reproducible_gzip "$changelog" || fail "$name: changelog not gzip -9n"
  zcat "$changelog" >"$scratch/$name.changelog"
  local source field
  source=$(dpkg-deb -f "$deb" Source)
  local -A entry=([Source]=${source:-$name} [Version]=$package_version
                  [Distribution]=unstable [Urgency]=medium
                  [Maintainer]=$(dpkg-deb -f "$deb" Maintainer))
  for field in "${!entry[@]}"; do
    [ "$(dpkg-parsechangelog -l "$scratch/$name.changelog" -S "$field")" = \
      "${entry[$field]}" ] ||
      fail "$name: changelog $field is not ${entry[$field]}"
  done
  local day
  day=$(date -u -d "$(dpkg-parsechangelog -l "$scratch/$name.changelog" \
    -S Date)" +%F)

  # The page: the source page but for its .TH line, which has the
  # changelog's day and the program's version.
  local page=$root/usr/share/man/man1/$program.1.gz
  reproducible_gzip "$page" || fail "$name: $program.1.gz not gzip -9n"
  zcat "$page" >"$scratch/$program.1"
  local th
  th=$(head -n 1 "$scratch/$program.1")
  [ "$th" = ".TH ${program^^} 1 \"$day\" \"tqsetup $version\" \"User Commands\"" ] ||
    fail "$name: $program.1 starts: $th"
  diff <(tail -n +2 "$source_dir/docs/$program.1") \
    <(tail -n +2 "$scratch/$program.1") >&2 ||
    fail "$name: $program.1 differs from docs/$program.1 after the .TH line"
}
check_package tqsetup setup
check_package tqsetup-kittool kittool

# What dpkg-shlibdeps made of each program's libraries: setup's name the
# toolkit and the inflater; kittool's the inflater and no part of the
# toolkit, so that a machine that only packs kits does without it.
names() {  # DEPENDS PATTERN: succeeds when DEPENDS names a package PATTERN
  grep -Eq "(^|, )$2( |,|$)" <<<"$1"
}
depends=$(dpkg-deb -f "$scratch/out/tqsetup_${package_version}_${arch}.deb" Depends)
echo "tqsetup Depends: $depends"
for library in 'libgtk2\.0-0' 'libisal[0-9]+' 'zlib1g'; do
  names "$depends" "$library" || fail "tqsetup's Depends names no $library"
done
depends=$(dpkg-deb -f \
  "$scratch/out/tqsetup-kittool_${package_version}_${arch}.deb" Depends)
echo "tqsetup-kittool Depends: $depends"
for library in 'libisal[0-9]+' 'zlib1g'; do
  names "$depends" "$library" ||
    fail "tqsetup-kittool's Depends names no $library"
done
toolkit='lib(gtk|gdk|gail|pango|cairo|atk|glib|gio|gobject|x11|xext|xrender|xi|fontconfig|freetype|harfbuzz)[^ ,]*'
if names "$depends" "$toolkit"; then
  fail "tqsetup-kittool's Depends names the toolkit: $depends"
fi

# Both packages unpacked into one root, as a machine with both installed.
root=$scratch/root
for deb in "$scratch"/out/*.deb; do dpkg -x "$deb" "$root"; done

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
