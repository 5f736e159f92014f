#!/usr/bin/env bash
# File content through our drive (tarvik-mount against the local service)
# side by side with an rclone mount (--vfs-cache-mode full) of rclone's webdav
# server over TLS, both on loopback, in one run:
#   - writing a 256 MiB file until it is committed on the service,
#   - reading a 256 MiB file cold (blocks only on the service) and warm
#     (blocks in the local cache), warm also against a minimal libfuse3
#     passthrough of a local directory,
#   - peak resident memory of tarvik-mount while a 1 GiB file is copied in,
#   - the loopback TLS ceiling: the same 256 MiB served by nginx over TLS 1.3
#     and fetched with curl, alternating with the cold reads.
# Writes bench/cache/REPORT.md.
#   bench/cache/run.sh [build directory]   (default: build-bench, configured if missing)
#   ROUNDS=n  rounds per measurement (default 5)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${1:-$root/build-bench}"
rounds="${ROUNDS:-5}"
size_mib=256
big_mib=1024
work="$(mktemp -d /tmp/tarvik-bench-cache-XXXXXX)"
# shellcheck source=../common/mounts.sh
. "$root/bench/common/mounts.sh"
bench_prepare

# Random content, a different file per round: the service stores a block once,
# so writing the same bytes again would upload nothing.
for r in $(seq "$rounds"); do
  head -c $((size_mib << 20)) /dev/urandom >"$work/src-$r.bin"
done
head -c $((big_mib << 20)) /dev/urandom >"$work/big.bin"

mibps() { awk -v n="$1" -v s="$2" 'BEGIN { printf "%.1f", n / s }'; }
# Reads a file through a mount with dd, prints seconds.
read_timed() { timed timeout 300 dd if="$1" of=/dev/null bs=1M; }
best_mibps() { mibps "$size_mib" "$(min_of "$@")"; }
all_mibps() { local out="" v; for v in "$@"; do out="$out$(mibps "$size_mib" "$v") "; done; echo "${out% }"; }

# Every measurement alternates between the systems round by round, so that
# load from other work on the machine falls on all of them alike.
svc_start
mkdir -p "$stores/dav" "$work/pt-back" "$work/mnt-pt"
webdav_start "$stores/dav"
mkdir -p "$work/www"
cp "$work/src-1.bin" "$work/www/w1.bin"
nginx_start "$work/www"
mnt="$work/mnt-ours"
rmnt="$work/mnt-rclone"
ours_mount "$mnt"
rclone_mount "$rmnt" "$work/rclone-cache-w"

# rclone's upload queue, through the mount's remote control server.
rclone_pending() {
  curl -s -X POST "http://127.0.0.1:$rclone_rc_port/vfs/stats" |
    python3 -c 'import json,sys; d=json.load(sys.stdin)["diskCache"]; print(d["uploadsInProgress"]+d["uploadsQueued"])'
}
# Ours: close flushes, so cp returns once the service holds the file's blocks
# and its committed block list.
# Each write starts with nothing of earlier rounds waiting to be written to
# disk (sync first): neither system pays for the other's write-back.
ours_write_once() {  # round
  sync
  timed timeout 300 cp "$work/src-$1.bin" "$mnt/Home/w$1.bin"
}
# rclone: cp, then wait until the webdav side holds the whole file and the
# mount reports no upload in progress or queued (polled every 20 ms).
rclone_write_once() {  # round
  local s e
  sync
  s=$(now)
  timeout 300 cp "$work/src-$1.bin" "$rmnt/w$1.bin" || bench_die "cp onto the rclone mount failed"
  for _ in $(seq 15000); do
    if [ "$(stat -c %s "$stores/dav/w$1.bin" 2>/dev/null || echo 0)" -eq $((size_mib << 20)) ] &&
       [ "$(rclone_pending)" = 0 ]; then break; fi
    sleep 0.02
  done
  e=$(now)
  [ "$(rclone_pending)" = 0 ] || bench_die "rclone did not finish uploading w$1.bin"
  elapsed "$s" "$e"
}
# The floor of any client that keeps what it writes on the local disk: the
# same cp into a file on the local disk (page cache, no sync), same rounds.
local_write_once() {  # round
  sync
  timed cp "$work/src-$1.bin" "$work/local-$1.bin"
  rm -f "$work/local-$1.bin"
}
ours_write=(); rclone_write=(); local_write=()
for r in $(seq "$rounds"); do
  cat "$work/src-$r.bin" >/dev/null  # the source comes from the page cache for both
  local_write+=("$(local_write_once "$r")")
  if [ $((r % 2)) = 1 ]; then
    ours_write+=("$(ours_write_once "$r")"); rclone_write+=("$(rclone_write_once "$r")")
  else
    rclone_write+=("$(rclone_write_once "$r")"); ours_write+=("$(ours_write_once "$r")")
  fi
  cmp "$work/src-$r.bin" "$stores/dav/w$r.bin" || bench_die "w$r.bin on the webdav side differs from its source"
done

# Cold: empty caches, fresh mounts, page cache dropped. (Mounts change the
# shell's records of its processes: no command substitution around them.)
ours_cold_once() {
  ours_unmount "$mnt"; ours_clear_cache; ours_mount "$mnt"
  drop_page_cache
  ours_cold+=("$(read_timed "$mnt/Home/w1.bin")")
}
rclone_cold_once() {  # round
  rclone_unmount "$rmnt"; rclone_mount "$rmnt" "$work/rclone-cache-r$1"
  drop_page_cache
  rclone_cold+=("$(read_timed "$rmnt/w1.bin")")
}
ours_cold=(); rclone_cold=(); ceiling=()
for r in $(seq "$rounds"); do
  if [ $((r % 2)) = 1 ]; then
    ours_cold_once; rclone_cold_once "$r"
  else
    rclone_cold_once "$r"; ours_cold_once
  fi
  ceiling+=("$(nginx_fetch_mibps w1.bin $((size_mib << 20)))")
done

# Every file written through our drive is on the service with its content
# (read through a fresh mount with an empty block cache).
ours_unmount "$mnt"; ours_clear_cache; ours_mount "$mnt"
for r in $(seq "$rounds"); do
  timeout 300 cmp "$work/src-$r.bin" "$mnt/Home/w$r.bin" || bench_die "w$r.bin on our drive differs from its source"
done

# Warm: the content in each system's local cache (ours: block files fetched
# by the reads above; rclone: its cache file, filled by the cold read;
# passthrough: the backing file). Once with the page cache dropped (the
# cache is read from disk), once at once again (its files in the page cache).
cp "$work/src-1.bin" "$work/pt-back/w1.bin"
passthrough_mount "$work/pt-back" "$work/mnt-pt"
warm_rounds=$((rounds + 2))
ours_warm=(); ours_hot=(); rclone_warm=(); rclone_hot=(); pt_warm=(); pt_hot=()
for _ in $(seq "$warm_rounds"); do
  drop_page_cache; ours_warm+=("$(read_timed "$mnt/Home/w1.bin")"); ours_hot+=("$(read_timed "$mnt/Home/w1.bin")")
  drop_page_cache; rclone_warm+=("$(read_timed "$rmnt/w1.bin")"); rclone_hot+=("$(read_timed "$rmnt/w1.bin")")
  drop_page_cache; pt_warm+=("$(read_timed "$work/mnt-pt/w1.bin")"); pt_hot+=("$(read_timed "$work/mnt-pt/w1.bin")")
done
fusermount3 -u "$work/mnt-pt"
rclone_unmount "$rmnt"
ours_unmount "$mnt"

# Peak resident memory of a fresh tarvik-mount while 1 GiB is copied in.
ours_mount "$mnt"
rss_at_mount=$(awk '/VmHWM/ { print $2 }' "/proc/$ours_pid/status")
big_s=$(timed timeout 600 cp "$work/big.bin" "$mnt/Home/big.bin")
hwm_kib=$(awk '/VmHWM/ { print $2 }' "/proc/$ours_pid/status")
timeout 300 cmp -n $((64 << 20)) "$work/big.bin" "$mnt/Home/big.bin" || bench_die "big.bin differs from its source"
ours_unmount "$mnt"

# --- report -------------------------------------------------------------------
# Each figure as "median (best)": the machine is shared, so a single lucky or
# unlucky round says little; the median is the figure the goals are read on.
median_of() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
med() { mibps "$size_mib" "$(median_of "$@")"; }
cell() { echo "$1 ($2)"; }
declare -A M B
for k in ours_write rclone_write ours_cold rclone_cold ours_warm rclone_warm pt_warm ours_hot rclone_hot pt_hot; do
  eval "vals=(\"\${$k[@]}\")"
  M[$k]=$(med "${vals[@]}"); B[$k]=$(best_mibps "${vals[@]}")
done
row() {  # label, ours key, rclone key, passthrough key (optional)
  local o=$2 r=$3 p=${4:-} pt="" ptr=""
  if [ -n "$p" ]; then
    pt=$(cell "${M[$p]}" "${B[$p]}")
    ptr=$(cell "$(ratio "${M[$o]}" "${M[$p]}")" "$(ratio "${B[$o]}" "${B[$p]}")")
  fi
  echo "| $1 | $(cell "${M[$o]}" "${B[$o]}") | $(cell "${M[$r]}" "${B[$r]}") | $(cell "$(ratio "${M[$o]}" "${M[$r]}")" "$(ratio "${B[$o]}" "${B[$r]}")") | $pt | $ptr |"
}
M[ceiling]=$(median_of "${ceiling[@]}"); B[ceiling]=$(max_of "${ceiling[@]}")
hwm_mib=$(awk -v k="$hwm_kib" 'BEGIN { printf "%.1f", k / 1024 }')
mount_mib=$(awk -v k="$rss_at_mount" 'BEGIN { printf "%.1f", k / 1024 }')
verdict() { awk -v a="$1" -v b="$2" 'BEGIN { print (a >= b) ? "met" : "missed" }'; }
goal_vs() {  # ours key, other key, factor
  echo "$(verdict "$(ratio "${M[$1]}" "${M[$2]}")" "$3") on the median, $(verdict "$(ratio "${B[$1]}" "${B[$2]}")" "$3") on the best"
}

# The section of limit.sh is kept across a new report.
limit_section=$(sed -n '/^## Cache limit$/,$p' "$here/REPORT.md" 2>/dev/null || true)
cat >"$here/REPORT.md" <<REPORT
# File content: our drive against rclone and a libfuse3 passthrough

Files of $size_mib MiB of random bytes, in MiB/s (higher is better), each cell the median
and in brackets the best of $rounds rounds ($warm_rounds for warm reads); the systems were
measured alternately round by round, all on loopback, in one run:

- **ours**: \`tarvik-mount\` against the local service (\`ambermoor-local --demo\`, HTTPS on
  loopback); block cache under a scratch \`TMPDIR\`;
- **rclone**: \`rclone mount --vfs-cache-mode full --vfs-write-back 0s\` of
  \`rclone serve webdav\` with TLS (self-signed certificate made with openssl,
  \`--ca-cert\` on the mount) serving a local directory;
- both servers keep their stores in memory (tmpfs under /dev/shm), so that the server
  machine's disk is not what is measured; the clients' caches are on disk (ext4);
- **passthrough**: \`fuse_passthrough_min\` (bench/dokan), a minimal libfuse3 passthrough of
  a local directory with the same FUSE options as our layer.

| MiB/s, median (best) | ours | rclone | ours / rclone | passthrough | ours / passthrough |
|---|---|---|---|---|---|
$(row "write until committed" ours_write rclone_write)
$(row "read cold" ours_cold rclone_cold)
| loopback TLS ceiling (nginx, TLS 1.3, curl) | | | | $(cell "${M[ceiling]}" "${B[ceiling]}") | cold read / ceiling: $(cell "$(ratio "${M[ours_cold]}" "${M[ceiling]}")" "$(ratio "${B[ours_cold]}" "${B[ceiling]}")") |
$(row "read warm, page cache dropped" ours_warm rclone_warm pt_warm)
$(row "read warm, page cache hot" ours_hot rclone_hot pt_hot)

A plain \`cp\` of the same files to the local disk (ext4, page cache, no sync) in the same
rounds, the floor of a client that keeps what it writes on disk: median $(med "${local_write[@]}") MiB/s,
best $(best_mibps "${local_write[@]}"); all rounds $(all_mibps "${local_write[@]}").

Peak resident memory (VmHWM) of a fresh tarvik-mount process while a $big_mib MiB file of
random bytes is copied in with \`cp\`: **$hwm_mib MiB** ($mount_mib MiB after mounting;
the copy ran at $(mibps "$big_mib" "$big_s") MiB/s).

Goals:
- write until committed at least 160 MiB/s: $(verdict "${M[ours_write]}" 160) on the median;
  and at least 1.7 × rclone: $(goal_vs ours_write rclone_write 1.7);
- cold read at least 0.7 of the loopback TLS ceiling: $(goal_vs ours_cold ceiling 0.7);
- warm read at least 0.9 of the passthrough: page cache dropped $(goal_vs ours_warm pt_warm 0.9);
  hot $(goal_vs ours_hot pt_hot 0.9);
- peak memory under 150 MiB: $(verdict 150 "$hwm_mib").

Where the time of writes and warm reads goes: \`PROFILE.md\` (\`bench/cache/profile.sh\`).

## How each figure was taken

- **Write until committed**: \`cp\` of a $size_mib MiB file onto the mount, a new file and new
  random content each round (the service stores a block only once). Ours: \`cp\` returns
  when the file is closed, and close flushes: the remaining blocks are uploaded and the
  block list committed before it returns, so the time of \`cp\` is the time until the file
  is committed. rclone: close returns once the file is in its cache; the time runs from
  the start of \`cp\` until the file on the webdav side has its full size and the mount's
  remote control (\`vfs/stats\`, polled every 20 ms) reports no upload in progress or
  queued. Before each write the disk is synced, so that no round pays for the write-back
  of an earlier one. Each written file was then compared with its source (ours: through a fresh
  mount with an empty block cache; rclone: on the webdav side).
- **Read cold**: \`dd bs=1M\` of the file to /dev/null right after a fresh mount with an
  empty cache (ours: the block directory under \`\$TMPDIR/korbel\` removed; rclone: a new
  \`--cache-dir\`), page cache dropped.
- **Loopback TLS ceiling**: the first round's file served by nginx (one worker, TLS 1.3
  only, same kind of self-signed certificate) and fetched with \`curl --tlsv1.3 -o /dev/null\`
  once per cold-read round; curl's own average speed.
- **Read warm**: the same file again on the same mount once its content is in the local
  cache (ours: block files; rclone: its VFS cache file; passthrough: the backing file),
  first with the page cache dropped (the cache is read from disk), then at once again
  (the cache's files are in the page cache).
- All rounds, MiB/s: write ours $(all_mibps "${ours_write[@]}"), rclone $(all_mibps "${rclone_write[@]}");
  cold ours $(all_mibps "${ours_cold[@]}"), rclone $(all_mibps "${rclone_cold[@]}"), ceiling ${ceiling[*]};
  warm ours $(all_mibps "${ours_warm[@]}"), rclone $(all_mibps "${rclone_warm[@]}"), passthrough $(all_mibps "${pt_warm[@]}");
  hot ours $(all_mibps "${ours_hot[@]}"), rclone $(all_mibps "${rclone_hot[@]}"), passthrough $(all_mibps "${pt_hot[@]}").

$(bench_machine)
Run on $(date -u +%Y-%m-%dT%H:%MZ) with \`bench/cache/run.sh${1:+ $1}\` (ROUNDS=$rounds).
REPORT
if [ -n "$limit_section" ]; then printf '\n%s\n' "$limit_section" >>"$here/REPORT.md"; fi
cat "$here/REPORT.md"
