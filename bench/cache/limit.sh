#!/usr/bin/env bash
# The block cache under its limit, on tarvik-mount against the local service:
#   1. one 8 MiB file overwritten 40 times with new random bytes, then deleted,
#      then the drive mounted again: the cache's size after each step, with
#      the default limit and with a limit of 64 MiB;
#   2. a bounded stand-in for an hour of use under a limit of 64 MiB: rounds
#      of writing, reading and deleting files of 1-24 MiB among 20 names,
#      the cache's size sampled after every round, every read verified.
# Adds (or replaces) the section "Cache limit" at the end of REPORT.md.
#   bench/cache/limit.sh [build directory]   (default: build-bench)
#   ROUNDS=n  rounds of step 2 (default 120)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${1:-$root/build-bench}"
rounds="${ROUNDS:-120}"
limit_mib=64
work="$(mktemp -d /tmp/tarvik-bench-limit-XXXXXX)"
# shellcheck source=../common/mounts.sh
. "$root/bench/common/mounts.sh"
bench_prepare

mnt="$work/mnt"
blockdir() { echo "$(ours_tmp)/korbel/block"; }
cache_mib() { du -sb --apparent-size "$(blockdir)" | awk '{ printf "%.1f", $1 / 1048576 }'; }

svc_start

# Step 1, once with each limit.
overwrite_case() {  # label
  ours_clear_cache
  ours_mount "$mnt"
  for v in $(seq 40); do
    head -c $((8 << 20)) /dev/urandom >"$work/v.bin"
    cp "$work/v.bin" "$mnt/Home/over.bin"
  done
  cmp "$work/v.bin" "$mnt/Home/over.bin" || bench_die "over.bin reads back wrong"
  local after_writes after_delete after_remount
  after_writes=$(cache_mib)
  rm "$mnt/Home/over.bin"
  after_delete=$(cache_mib)
  ours_unmount "$mnt"
  ours_mount "$mnt"
  after_remount=$(cache_mib)
  ours_unmount "$mnt"
  echo "| $1 | $after_writes | $after_delete | $after_remount |"
}
row_default=$(overwrite_case "default (10 GiB or 10 % of the file system)")
row_limited=$(TARVIK_CACHE_LIMIT=${limit_mib}M overwrite_case "${limit_mib} MiB")

# Step 2: a long mixed session under the limit.
ours_clear_cache
TARVIK_CACHE_LIMIT=${limit_mib}M ours_mount "$mnt"
mkdir -p "$work/src"
max_mib=0
written_mib=0
read_mib=0
start=$(now)
for r in $(seq "$rounds"); do
  n=$((RANDOM % 20))
  size=$(((RANDOM % 24 + 1) << 20))
  head -c "$size" /dev/urandom >"$work/src/f$n.bin"
  cp "$work/src/f$n.bin" "$mnt/Home/f$n.bin"
  written_mib=$((written_mib + (size >> 20)))
  m=$((RANDOM % 20))
  if [ -f "$work/src/f$m.bin" ]; then
    cmp "$work/src/f$m.bin" "$mnt/Home/f$m.bin" || bench_die "f$m.bin reads back wrong in round $r"
    read_mib=$((read_mib + ($(stat -c %s "$work/src/f$m.bin") >> 20)))
  fi
  if [ $((r % 7)) = 0 ]; then
    d=$((RANDOM % 20))
    if [ -f "$work/src/f$d.bin" ]; then rm "$mnt/Home/f$d.bin" "$work/src/f$d.bin"; fi
  fi
  c=$(cache_mib)
  max_mib=$(awk -v a="$c" -v b="$max_mib" 'BEGIN { print (a > b) ? a : b }')
done
seconds=$(elapsed "$start" "$(now)")
final_mib=$(cache_mib)
for f in "$work"/src/*.bin; do
  cmp "$f" "$mnt/Home/$(basename "$f")" || bench_die "$(basename "$f") reads back wrong at the end"
done
ours_unmount "$mnt"

section=$(cat <<SECTION
## Cache limit

\`bench/cache/limit.sh\`: \`tarvik-mount\` against the local service, block cache under a
scratch \`TMPDIR\`, sizes of the block directory in MiB (\`du --apparent-size\`).

One 8 MiB file overwritten 40 times with new random bytes (\`cp\`), deleted, and the drive
mounted again:

| limit | after 40 writes | after rm | after remount |
|---|---|---|---|
$row_default
$row_limited

With the default limit nothing needs to go (it is far above the 320 MiB of 40 versions); with a limit
the replaced versions go first and the cache stays under it, across the remount too.

A bounded stand-in for an hour of use under a limit of $limit_mib MiB: $rounds rounds of writing a
file of 1-24 MiB of new random bytes under one of 20 names, reading another one back
(compared with its source), and every 7th round deleting one; $written_mib MiB written,
$read_mib MiB read and verified in $seconds s. Largest cache size seen after a round:
**$max_mib MiB**; at the end $final_mib MiB; every file compared with its source at the end.

Run on $(date -u +%Y-%m-%dT%H:%MZ) with \`bench/cache/limit.sh${1:+ $1}\` (ROUNDS=$rounds).
SECTION
)
report="$here/REPORT.md"
# Keep what run.sh wrote; replace an earlier section of this script.
if grep -q '^## Cache limit$' "$report" 2>/dev/null; then
  sed -i '/^## Cache limit$/,$d' "$report"
fi
printf '%s\n' "$section" >>"$report"
printf '%s\n' "$section"
