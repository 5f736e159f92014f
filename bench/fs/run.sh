#!/usr/bin/env bash
# Many small files and big listings on our drive (tarvik-mount against the
# local service) and on an rclone mount (--vfs-cache-mode full --vfs-write-back
# 0s) of rclone's webdav server over TLS, both on loopback, in one run, the
# systems alternating round by round:
#   - 200 files of 4 KiB copied in (cp -r) until all are on the service,
#   - `ls -l` of a folder of 2000 entries: cold (first listing after a fresh
#     mount) and warm (the listing repeated at once, several times a round).
# Also counts the service calls our drive made for each.
# Writes bench/fs/REPORT.md.
#   bench/fs/run.sh [build directory]   (default: build-bench, configured if missing)
#   ROUNDS=n  rounds per system (default 5); WARM=n  warm listings a round (default 5)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${1:-$root/build-bench}"
rounds="${ROUNDS:-5}"
warm_per_round="${WARM:-5}"
entries=2000
small=200
small_kib=4
work="$(mktemp -d /tmp/tarvik-bench-fs-XXXXXX)"
# shellcheck source=../common/mounts.sh
. "$root/bench/common/mounts.sh"
bench_prepare

# The 2000 files: small, of different sizes, the same bytes on both sides.
src="$work/src/ls$entries"
mkdir -p "$src"
for i in $(seq -w 1 $entries); do
  head -c "$((10#$i % 97 + 1))" /dev/zero | tr '\0' 'x' >"$src/file-$i.txt"
done
# The small files: new random bytes for every round and system (the service
# stores a block once; the same bytes again would upload nothing).
make_small() {  # directory
  mkdir -p "$1"
  local i
  for i in $(seq -w 1 $small); do head -c $((small_kib << 10)) /dev/urandom >"$1/s-$i.bin"; done
}
for r in $(seq "$rounds"); do make_small "$work/small/ours-$r"; make_small "$work/small/rclone-$r"; done

svc_start
mkdir -p "$stores/dav"
cp -r "$src" "$stores/dav/"
webdav_start "$stores/dav"
mnt="$work/mnt-ours"
rmnt="$work/mnt-rclone"

# The 2000 entries onto our drive (not part of the figures).
ours_mount "$mnt"
s=$(now)
timeout 900 cp -r "$src" "$mnt/Home/" || bench_die "copying the files onto our drive failed"
fill_s=$(elapsed "$s" "$(now)")
ours_unmount "$mnt"

# Lists a folder with `ls -l` into a file, checks it shows every entry,
# prints the seconds of `ls -l` alone (the count is taken afterwards).
list_timed() {  # folder
  local s e n
  s=$EPOCHREALTIME
  timeout 300 ls -l "$1" >"$work/listing" || bench_die "ls -l $1 failed"
  e=$EPOCHREALTIME
  n=$(grep -c '^-' "$work/listing")
  [ "$n" -eq "$entries" ] || bench_die "ls -l $1 showed $n files, not $entries"
  elapsed "$s" "$e"
}

rclone_pending() {
  curl -s -X POST "http://127.0.0.1:$rclone_rc_port/vfs/stats" |
    python3 -c 'import json,sys; d=json.load(sys.stdin)["diskCache"]; print(d["uploadsInProgress"]+d["uploadsQueued"])'
}
# Files of the webdav side's folder with their full size.
dav_complete() {  # folder
  find "$1" -type f -size "${small_kib}k" 2>/dev/null | wc -l
}

ours_cold=(); ours_warm=(); rclone_cold=(); rclone_warm=(); ours_small=(); rclone_small=()
ours_calls_list=""; ours_calls_small=""
ours_round() {  # round
  ours_mount "$mnt"
  svc_stats_take >/dev/null
  ours_cold+=("$(list_timed "$mnt/Home/ls$entries")")
  ours_calls_list=$(svc_stats_take)
  local w
  for w in $(seq "$warm_per_round"); do ours_warm+=("$(list_timed "$mnt/Home/ls$entries")"); done
  svc_stats_take >/dev/null
  # close commits: cp -r returns once every file is on the service.
  ours_small+=("$(timed timeout 600 cp -r "$work/small/ours-$1" "$mnt/Home/")")
  ours_calls_small=$(svc_stats_take)
  ours_unmount "$mnt"
}
rclone_round() {  # round
  rclone_mount "$rmnt" "$work/rclone-cache-$1"
  rclone_cold+=("$(list_timed "$rmnt/ls$entries")")
  local w s e
  for w in $(seq "$warm_per_round"); do rclone_warm+=("$(list_timed "$rmnt/ls$entries")"); done
  # Until the webdav side holds every file whole and nothing is queued.
  s=$(now)
  timeout 600 cp -r "$work/small/rclone-$1" "$rmnt/" || bench_die "cp onto the rclone mount failed"
  for _ in $(seq 30000); do
    if [ "$(dav_complete "$stores/dav/rclone-$1")" -eq "$small" ] && [ "$(rclone_pending)" = 0 ]; then break; fi
    sleep 0.02
  done
  e=$(now)
  [ "$(rclone_pending)" = 0 ] || bench_die "rclone did not finish uploading rclone-$1"
  rclone_small+=("$(elapsed "$s" "$e")")
  rclone_unmount "$rmnt"
}
for r in $(seq "$rounds"); do
  if [ $((r % 2)) = 1 ]; then ours_round "$r"; rclone_round "$r"; else rclone_round "$r"; ours_round "$r"; fi
done

# Every small file written through our drive is on the service with its
# content: compared through a fresh mount with an empty block cache.
ours_clear_cache
ours_mount "$mnt"
for r in $(seq "$rounds"); do
  diff -r "$work/small/ours-$r" "$mnt/Home/ours-$r" >/dev/null || bench_die "ours-$r differs on our drive"
  diff -r "$work/small/rclone-$r" "$stores/dav/rclone-$r" >/dev/null || bench_die "rclone-$r differs on the webdav side"
done
ours_unmount "$mnt"

# --- report -------------------------------------------------------------------
ms() { awk -v s="$1" 'BEGIN { printf "%.0f", s * 1000 }'; }
all_ms() { local out="" v; for v in "$@"; do out="$out$(ms "$v") "; done; echo "${out% }"; }
verdict() { awk -v a="$1" -v b="$2" 'BEGIN { print (a <= b) ? "met" : "missed" }'; }
m_oc=$(median_of "${ours_cold[@]}"); m_ow=$(median_of "${ours_warm[@]}")
m_rc=$(median_of "${rclone_cold[@]}"); m_rw=$(median_of "${rclone_warm[@]}")
m_os=$(median_of "${ours_small[@]}"); m_rs=$(median_of "${rclone_small[@]}")
worst_ow=$(max_of "${ours_warm[@]}")

cat >"$here/REPORT.md" <<REPORT
# Small files and big listings: our drive against rclone

- **ours**: \`tarvik-mount\` against the local service (\`ambermoor-local --demo\`, HTTPS on
  loopback), block cache and log in a scratch directory;
- **rclone**: \`rclone mount --vfs-cache-mode full --vfs-write-back 0s\` of
  \`rclone serve webdav\` with TLS (self-signed certificate made with openssl,
  \`--ca-cert\` on the mount) on loopback, serving a local directory;
- both servers keep their stores in memory (tmpfs under /dev/shm), so that the server
  machine's disk is not what is measured; the clients' caches are on disk (ext4).

$rounds rounds, the systems alternating round by round (odd rounds ours first); each
round is a fresh mount (rclone: with a new, empty cache directory). Medians; all rounds
below.

| median | ours | rclone | ours / rclone (time; below 1 is faster) |
|---|---|---|---|
| $small files of $small_kib KiB copied in until all are on the service, s | $m_os | $m_rs | $(ratio "$m_os" "$m_rs") |
| \`ls -l\` of $entries entries, cold, ms | $(ms "$m_oc") | $(ms "$m_rc") | $(ratio "$m_oc" "$m_rc") |
| \`ls -l\` of $entries entries, warm, ms | $(ms "$m_ow") | $(ms "$m_rw") | $(ratio "$m_ow" "$m_rw") |

Goals:
- small files at most 0.3 × rclone's time: $(verdict "$(ratio "$m_os" "$m_rs")" 0.3);
- cold listing at most rclone's time: $(verdict "$m_oc" "$m_rc");
- warm listing at most 50 ms: $(verdict "$(ms "$m_ow")" 50); no warm listing above 0.5 s: $(verdict "$worst_ow" 0.5) (slowest $(ms "$worst_ow") ms).

All rounds:
- small files, s: ours ${ours_small[*]}; rclone ${rclone_small[*]}
- cold listing, ms: ours $(all_ms "${ours_cold[@]}"); rclone $(all_ms "${rclone_cold[@]}")
- warm listing ($warm_per_round a round), ms: ours $(all_ms "${ours_warm[@]}"); rclone $(all_ms "${rclone_warm[@]}")

Service calls of our drive (the local service's \`admin/stats\`, last round):
- cold \`ls -l\` of $entries entries: $ours_calls_list
- $small new files of $small_kib KiB (\`cp -r\` of a folder): $ours_calls_small

How the figures were taken: ours: close commits the file, so \`cp -r\` returns once every
file is on the service; rclone: from the start of \`cp -r\` until the webdav side holds all
$small files whole and the mount's remote control (\`vfs/stats\`, polled every 20 ms)
reports no upload in progress or queued. Every copied file was compared with its source
afterwards (ours through a fresh mount with an empty block cache). Listings: the time of \`ls -l\`
alone, its output written to a file (timestamps from bash's own clock, no process started
for them); the lines were counted afterwards to check that every entry was listed.

Putting the $entries files onto our drive (\`cp -r\`) took $fill_s s; not part of the figures.

$(bench_machine)
Run on $(date -u +%Y-%m-%dT%H:%MZ) with \`bench/fs/run.sh${1:+ $1}\` (ROUNDS=$rounds, WARM=$warm_per_round).
REPORT
cat "$here/REPORT.md"
