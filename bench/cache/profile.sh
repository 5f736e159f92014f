#!/usr/bin/env bash
# Where the time of bench/cache's writes and warm reads goes, on a quiet
# mount (no other system running): our drive against the local service with
# its store in memory, and the libfuse3 passthrough for the warm reads.
#   - write of a 256 MiB file with the drive's debug log: how long the kernel's
#     write requests take, how often a writer waited for its uploads, how long
#     each uploadBlock took, and the storage bytes the mount process moved;
#   - warm reads with the page cache dropped: elapsed time and CPU time of the
#     mount process against the passthrough's, and the system calls each makes
#     per 256 MiB (strace -c).
# Prints its figures; bench/cache/PROFILE.md holds a run and what it shows.
#   bench/cache/profile.sh [build directory]   (default: build-bench)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${1:-$root/build-bench}"
work="$(mktemp -d /tmp/tarvik-bench-profile-XXXXXX)"
# shellcheck source=../common/mounts.sh
. "$root/bench/common/mounts.sh"
bench_prepare
command -v strace >/dev/null || apt-get install -y strace >/dev/null

svc_start
mnt="$work/mnt"
OURS_LOG=1 ours_mount "$mnt"
head -c $((256 << 20)) /dev/urandom >"$work/src.bin"
mkdir -p "$work/pt-back"
cp "$work/src.bin" "$work/pt-back/w1.bin"
passthrough_mount "$work/pt-back" "$work/mnt-pt"

io_of() { awk -v k="$2" '$1 == k":" { print $2 }' "/proc/$1/io"; }
ticks_of() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)

echo "== write of 256 MiB (debug log on)"
sync
r0=$(io_of "$ours_pid" read_bytes); w0=$(io_of "$ours_pid" write_bytes); c0=$(ticks_of "$ours_pid")
echo "elapsed s: $(timed cp "$work/src.bin" "$mnt/Home/w1.bin")"
r1=$(io_of "$ours_pid" read_bytes); w1=$(io_of "$ours_pid" write_bytes); c1=$(ticks_of "$ours_pid")
echo "mount process: CPU s $(awk -v t=$((c1 - c0)) -v h="$hz" 'BEGIN { print t / h }'), read from storage MiB $(((r1 - r0) >> 20)), written to storage MiB $(((w1 - w0) >> 20))"
log=$(find "$work/ours-home" -name '*.log' | head -1)
grep -o 'write takes [0-9]*' "$log" |
  awk '{ n++; s += $3; if ($3 > 5) { k++; t += $3 } } END { printf "write requests: %d, %d ms in all; %d took over 5 ms (%d ms)\n", n, s, k, t }'
echo "writes that waited for their file's uploads: $(grep -c 'slept for write' "$log" || true)"
grep -o 'curl post time = [0-9]*\[ms\] for [^ ]*uploadBlock' "$log" | awk '{ print $5 }' | tr -d '[ms]' | sort -n |
  awk '{ v[NR] = $1; s += $1 } END { printf "uploadBlock: %d calls, median %d ms, %d ms in all\n", NR, v[int((NR + 1) / 2)], s }'
ours_unmount "$mnt"
ours_mount "$mnt"   # without the debug log from here on
cat "$mnt/Home/w1.bin" >/dev/null

echo "== warm reads of 256 MiB, page cache dropped (alternating)"
for who in ours passthrough ours passthrough ours passthrough; do
  if [ "$who" = ours ]; then p=$ours_pid; f="$mnt/Home/w1.bin"; else p=$pt_pid; f="$work/mnt-pt/w1.bin"; fi
  drop_page_cache
  c0=$(ticks_of "$p")
  t=$(timed dd if="$f" of=/dev/null bs=1M)
  c1=$(ticks_of "$p")
  echo "$who: elapsed s $t, CPU s of the FUSE process $(awk -v t=$((c1 - c0)) -v h="$hz" 'BEGIN { print t / h }')"
done
for who in passthrough ours; do
  if [ "$who" = ours ]; then p=$ours_pid; f="$mnt/Home/w1.bin"; else p=$pt_pid; f="$work/mnt-pt/w1.bin"; fi
  drop_page_cache
  strace -c -f -p "$p" -o "$work/strace-$who.txt" &
  sp=$!
  sleep 0.5
  dd if="$f" of=/dev/null bs=1M 2>/dev/null
  kill -INT "$sp"
  wait "$sp" || true
  echo "-- system calls of $who (strace -c; times under strace)"
  awk 'NR > 2 && $4 ~ /^[0-9]+$/ && $4 >= 30 { print $NF, $4 }' "$work/strace-$who.txt"
done
