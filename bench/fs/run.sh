#!/usr/bin/env bash
# `ls -l` of a folder with 2000 entries on our drive (tarvik-mount against the
# local service) and on an rclone mount (--vfs-cache-mode full) of rclone's
# webdav server over TLS holding the same 2000 files, both on loopback, in one
# run. Cold is the first listing after a fresh mount; warm is the listing
# repeated at once. Writes bench/fs/REPORT.md.
#   bench/fs/run.sh [build directory]   (default: build-bench, configured if missing)
#   ROUNDS=n  mounts per system (default 3)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${1:-$root/build-bench}"
rounds="${ROUNDS:-3}"
entries=2000
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

# --- our drive ----------------------------------------------------------------
svc_start
mnt="$work/mnt-ours"
ours_mount "$mnt"
folder="$mnt/Home/ls$entries"
s=$(now)
timeout 900 cp -r "$src" "$mnt/Home/" || bench_die "copying the files onto our drive failed"
fill_s=$(elapsed "$s" "$(now)")
ours_unmount "$mnt"

# Lists the folder with `ls -l`, checks it shows every entry, prints seconds.
list_timed() {  # folder
  local s e n
  s=$(now)
  n=$(timeout 300 ls -l "$1" | grep -c '^-') || bench_die "ls -l $1 failed"
  e=$(now)
  [ "$n" -eq "$entries" ] || bench_die "ls -l $1 showed $n files, not $entries"
  elapsed "$s" "$e"
}

ours_cold=(); ours_warm=()
for _ in $(seq "$rounds"); do
  ours_mount "$mnt"
  ours_cold+=("$(list_timed "$folder")")
  ours_warm+=("$(list_timed "$folder")")
  ours_unmount "$mnt"
done

# --- rclone -------------------------------------------------------------------
mkdir -p "$work/dav"
cp -r "$src" "$work/dav/"
webdav_start "$work/dav"
rmnt="$work/mnt-rclone"
rclone_cold=(); rclone_warm=()
for r in $(seq "$rounds"); do
  rclone_mount "$rmnt" "$work/rclone-cache-$r"
  rclone_cold+=("$(list_timed "$rmnt/ls$entries")")
  rclone_warm+=("$(list_timed "$rmnt/ls$entries")")
  rclone_unmount "$rmnt"
done

# --- report -------------------------------------------------------------------
oc=$(min_of "${ours_cold[@]}"); ow=$(min_of "${ours_warm[@]}")
rc=$(min_of "${rclone_cold[@]}"); rw=$(min_of "${rclone_warm[@]}")
ms() { awk -v s="$1" 'BEGIN { printf "%.0f", s * 1000 }'; }
all_ms() { local out="" v; for v in "$@"; do out="$out$(ms "$v") "; done; echo "${out% }"; }

cat >"$here/REPORT.md" <<REPORT
# Listing a folder of $entries entries: our drive against rclone

\`ls -l\` of one folder holding $entries small files (1 to 97 bytes), output counted to
check that every entry was listed, on

- **ours**: \`tarvik-mount\` against the local service (\`ambermoor-local --demo\`, HTTPS on
  loopback), folder \`Home/ls$entries\`, block cache and log in a scratch directory;
- **rclone**: \`rclone mount --vfs-cache-mode full\` of \`rclone serve webdav\` with TLS
  (self-signed certificate made with openssl, \`--ca-cert\` on the mount) on loopback,
  serving a local directory that holds the same $entries files.

Cold is the first listing after a fresh mount (ours: a new process with an empty
metadata cache; rclone: a new process with a new, empty cache directory); warm is the
same listing repeated at once. Each system was mounted $rounds times; the table shows
the best round, all rounds follow.

| | cold ms | warm ms |
|---|---|---|
| ours | $(ms "$oc") | $(ms "$ow") |
| rclone | $(ms "$rc") | $(ms "$rw") |
| ratio ours / rclone (time; below 1 is faster) | $(ratio "$oc" "$rc") | $(ratio "$ow" "$rw") |

All rounds, ms: ours cold $(all_ms "${ours_cold[@]}"), warm $(all_ms "${ours_warm[@]}");
rclone cold $(all_ms "${rclone_cold[@]}"), warm $(all_ms "${rclone_warm[@]}").

Where the time goes: a listing on our drive is one FindFiles, that is one \`getEntries\`
call for the whole folder (readdir-plus gives the kernel every entry's attributes with
the listing, so \`ls -l\`'s stats cost no further calls); in a logged run the local
service took about 65 ms of the roughly 100 ms to answer it for $entries entries. The
drive fetches the listing again on every open of the folder (attributes are kept for
1 s only, so that changes made elsewhere show at once), which is why the warm listing
costs about what the cold one does; rclone keeps a folder's listing for its
\`--dir-cache-time\` (5 minutes by default) and answers the repeat from memory.

Putting the $entries files onto our drive (\`cp -r\`, each file created and committed on
the service) took $fill_s s; it is not part of the figures.

$(bench_machine)
Run on $(date -u +%Y-%m-%dT%H:%MZ) with \`bench/fs/run.sh${1:+ $1}\` (ROUNDS=$rounds).
REPORT
cat "$here/REPORT.md"
