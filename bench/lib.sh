# shellcheck shell=bash disable=SC2034,SC2154
# Shared parts of the benchmark scripts (bench/run_kit_bench,
# bench/run_extract_bench, bench/run_install_bench); sourced, not run. The
# script sets, before calling these: prog (its name, for messages), repo,
# work, build, small_files, huge_files.

die() {
  echo "$prog: $*" >&2
  exit 1
}

# check_tools TOOL...: root, and every tool on the PATH.
check_tools() {
  [ "$(id -u)" = 0 ] || die "must run as root (it makes and mounts file systems)"
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || die "$tool is missing (run scripts/setup-machine)"
  done
}

# build_bench [TARGET...]: kit_bench, make_tree, kittool, timed_run and the
# extra targets (RelWithDebInfo) in $build; sets kit_bench, make_tree,
# kittool, timed_run and setup to their paths.
build_bench() {
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  cmake --build "$build" -j2 --target kit_bench make_tree kittool timed_run "$@" >/dev/null
  kit_bench=$build/bench/kit_bench
  make_tree=$build/bench/make_tree
  kittool=$build/tools/kittool
  timed_run=$build/bench/timed_run
  setup=$build/app/setup
}

# setup_work: the cache directories, the image and mount point (removed on
# exit) and the generator's hash that the cached inputs are stamped with.
setup_work() {
  mkdir -p "$work"/{trees,kits,tars,results}
  work=$(cd "$work" && pwd)
  image=$work/fs.img
  mnt=$work/mnt
  mkdir -p "$mnt"
  trap cleanup EXIT
  trap 'exit 130' INT TERM
  generator_hash=$(sha256sum "$repo/bench/make_tree.cc" | cut -c1-16)
}

cleanup() {
  if mountpoint -q "$mnt"; then umount "$mnt" || true; fi
  rm -f "$image"
}

tree_args() {
  case $1 in
    small) echo "small $small_files" ;;
    large) echo "large" ;;
    huge) echo "small $huge_files" ;;
    one) echo "small 1" ;;
  esac
}

# make_inputs SHAPE [with-tar|with-tgz]: the tree, its kit and (when asked)
# its uncompressed tar, and with with-tgz also the tar compressed with
# gzip -6 (TAR.gz); each redone when what it was made from has changed.
make_inputs() {
  local shape=$1 want_tar=${2:-}
  local tree=$work/trees/$shape kit=$work/kits/$shape.efd tar=$work/tars/$shape.tar
  local stamp
  stamp="$generator_hash $(tree_args "$shape")"
  if [ "$(cat "$tree.stamp" 2>/dev/null)" != "$stamp" ]; then
    echo "making the $shape tree ($(tree_args "$shape"))"
    rm -rf "$tree" "$tree.stamp" "$tree.bytes" "$kit.stamp" "$tar.stamp" "$tar.gz.stamp"
    # shellcheck disable=SC2046
    "$make_tree" $(tree_args "$shape" | awk '{print $1}') "$tree" \
      $(tree_args "$shape" | awk '{print $2}') >"$tree.bytes"
    echo "$stamp" >"$tree.stamp"
  fi
  if [ "$(cat "$kit.stamp" 2>/dev/null)" != "$stamp" ]; then
    echo "packing $kit"
    "$kittool" pack "$tree" -o "$kit" --lang en --product "Bench Templates" \
      --provider "Bench" --description "doc/readme.txt" >/dev/null
    echo "$stamp" >"$kit.stamp"
  fi
  if [ -n "$want_tar" ] && [ "$(cat "$tar.stamp" 2>/dev/null)" != "$stamp" ]; then
    echo "making $tar"
    tar --sort=name -cf "$tar" -C "$tree" .
    gzip -6 -c "$tar" | wc -c >"$tar.gzip6"
    echo "$stamp" >"$tar.stamp"
  fi
  if [ "$want_tar" = with-tgz ] && [ "$(cat "$tar.gz.stamp" 2>/dev/null)" != "$stamp" ]; then
    echo "making $tar.gz"
    gzip -6 -c "$tar" >"$tar.gz"
    echo "$stamp" >"$tar.gz.stamp"
  fi
}

# Fresh ext4 on a sparse image, room for the container, the tree and slack.
# The inode tables and the journal are written now, so that no background
# initialisation runs while we time.
fresh_fs() {
  local shape=$1
  local bytes
  bytes=$(cat "$work/trees/$shape.bytes")
  local size_mib=$(((bytes * 3) / 1048576 + 512))
  rm -f "$image"
  truncate -s "${size_mib}M" "$image"
  mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$image"
  mount -o loop "$image" "$mnt"
  mkdir "$mnt/out" "$mnt/tmp"
  # What mkfs and the last room left unwritten (in the image and in the
  # file under it) goes to the disk now: otherwise the first flush of the
  # run under test would pay for it.
  sync
}

# The same room on a fresh tmpfs instead: nothing reaches a disk, so the
# time is the programs' and the kernel's in-memory work alone.
fresh_tmpfs() {
  local shape=$1
  local bytes
  bytes=$(cat "$work/trees/$shape.bytes")
  mount -t tmpfs -o "size=$(((bytes * 3) / 1048576 + 512))m,mode=0755" tqbench "$mnt"
  mkdir "$mnt/out" "$mnt/tmp"
}

drop_fs() {
  umount "$mnt"
  rm -f "$image"
}

warm() {
  cat "$@" >/dev/null
}

# field NAME LINE: the value of NAME=VALUE in LINE (the whole name: "s"
# does not match "fs=" or "inflate_s=").
field() { grep -oE "(^| )$1=[^ ]*" <<<"$2" | head -1 | cut -d= -f2; }

median() {
  printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1}
    END {if (NR % 2) printf "%.3f", v[(NR+1)/2];
         else printf "%.3f", (v[NR/2]+v[NR/2+1])/2}'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", a/b}'; }

# results_header FILE EXTRA: the machine and the source at the top of a
# results file.
results_header() {
  {
    echo "# $(date -u) nproc=$(nproc) kernel=$(uname -r)"
    echo "# $(grep MemTotal /proc/meminfo)"
    echo "# load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "# $2"
    if git -C "$repo" rev-parse --git-dir >/dev/null 2>&1; then
      echo "# source $(git -C "$repo" rev-parse --short HEAD), local changes:" \
        "$(git -C "$repo" status --short -- kit platform text engine tools bench \
          app ui launcher_config l10n |
          awk '{printf "%s ", $2}')"
    else
      echo "# source $repo (not a git checkout)"
    fi
  } >"$1"
}
