#!/usr/bin/env bash
# Sequential write and read of 512 MiB through the Dokan layer (pass-through
# operation table over a local directory) and through a minimal libfuse3
# passthrough of the same kind of directory, in one run. Writes REPORT.md.
#   bench/dokan/run.sh [build directory]   (default: build-bench-dokan, configured if missing)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${1:-$root/build-bench-dokan}"
size_mib=512

if [ ! -f "$build/build.ninja" ]; then
  cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
ninja -C "$build" -j2 dokan_bench_mount fuse_passthrough_min >/dev/null

work="$(mktemp -d /tmp/tarvik-bench-dokan-XXXXXX)"
mkdir -p "$work/back-dokan" "$work/back-pass" "$work/mnt-dokan" "$work/mnt-pass"
pids=()
cleanup() {
  for m in "$work/mnt-dokan" "$work/mnt-pass"; do
    if grep -q " $m " /proc/self/mountinfo; then fusermount3 -u "$m" || true; fi
  done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

"$build/bench/dokan/dokan_bench_mount" "$work/back-dokan" "$work/mnt-dokan" & pids+=($!)
"$build/bench/dokan/fuse_passthrough_min" "$work/back-pass" "$work/mnt-pass" & pids+=($!)
for m in "$work/mnt-dokan" "$work/mnt-pass"; do
  for _ in $(seq 100); do grep -q " $m " /proc/self/mountinfo && break; sleep 0.05; done
  grep -q " $m " /proc/self/mountinfo || { echo "mount of $m failed" >&2; exit 1; }
done

# Seconds (with fractions) that a command takes.
timed() {
  local start end
  start=$(date +%s.%N)
  "$@" 2>/dev/null
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }' 
}
mibps() { awk -v n="$size_mib" -v s="$1" 'BEGIN { printf "%.1f", n / s }'; }
minimum() { awk -v a="$1" -v b="$2" 'BEGIN { print (a < b) ? a : b }'; }

declare -A write_s read_s
rounds=3
for name in dokan pass; do
  best_w=999999; best_r=999999
  for round in $(seq $rounds); do
    f="$work/mnt-$name/seq.bin"
    rm -f "$f"
    w=$(timed dd if=/dev/zero of="$f" bs=1M count=$size_mib conv=fsync)
    sync
    echo 3 > /proc/sys/vm/drop_caches 2>/dev/null || true
    r=$(timed dd if="$f" of=/dev/null bs=1M)
    best_w=$(minimum "$w" "$best_w")
    best_r=$(minimum "$r" "$best_r")
  done
  write_s[$name]=$best_w
  read_s[$name]=$best_r
done

wd=$(mibps "${write_s[dokan]}"); wp=$(mibps "${write_s[pass]}")
rd=$(mibps "${read_s[dokan]}"); rp=$(mibps "${read_s[pass]}")
ratio_w=$(awk -v a="$wd" -v b="$wp" 'BEGIN { printf "%.2f", a / b }')
ratio_r=$(awk -v a="$rd" -v b="$rp" 'BEGIN { printf "%.2f", a / b }')
cpu=$(grep -m1 "model name" /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')

cat > "$here/REPORT.md" <<REPORT
# Dokan layer throughput

Sequential write (\`dd bs=1M count=$size_mib conv=fsync\`) and read (\`dd bs=1M\`, page
cache dropped before) of $size_mib MiB, best of $rounds rounds, through

- **dokan**: the Dokan layer over FUSE, the adapter and the decas frame, over an
  operation table that passes through to a local directory (\`dokan_bench_mount\`);
- **passthrough**: a minimal libfuse3 high-level passthrough with the same FUSE options
  (\`fuse_passthrough_min\`).

| | write MiB/s | read MiB/s |
|---|---|---|
| dokan | $wd | $rd |
| passthrough | $wp | $rp |
| ratio dokan / passthrough | $ratio_w | $ratio_r |

Goal: ratio at least 0.8.

Machine: $(nproc) cores, $cpu; kernel $(uname -r); backing directories under /tmp.
Run on $(date -u +%Y-%m-%dT%H:%MZ) with \`bench/dokan/run.sh\`.
REPORT
cat "$here/REPORT.md"
