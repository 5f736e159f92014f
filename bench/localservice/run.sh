#!/usr/bin/env bash
# Benchmarks of the local service; writes bench/localservice/REPORT.md.
#  1. downloadBlock of one 8 MiB block over loopback TLS, fetched with curl,
#     against the same file from plain static TLS file servers (nginx over
#     TLS 1.3 the ceiling), in one run; uploadBlock of new 8 MiB blocks sent
#     with curl in the same rounds.
#  2. getEntries of a folder with 2000 entries, timed inside the service.
#
#   BUILD_DIR   build directory (default: build-bench)
#   RUNS        downloads per server (default: 15)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
runs=${RUNS:-15}

# The same build directory as the other benchmarks: configured (Release)
# only when missing.
if [ ! -f "$build/build.ninja" ]; then
  cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
ninja -C "$build" -j2 ambermoor-local localservice_bench >/dev/null
svcbin=$build/localservice/ambermoor-local
benchbin=$build/bench/localservice/localservice_bench

work=$(mktemp -d)
# A second service keeps its store in memory: uploadBlock with and without
# the disk's sync (each block is synced before it is acknowledged).
memwork=$(mktemp -d /dev/shm/tarvik-bench-svc-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$work" "$memwork"
}
trap cleanup EXIT

# --- the service ------------------------------------------------------------
"$svcbin" --data "$work/data" --port 0 --demo >"$work/svc.out" 2>"$work/svc.err" &
pids+=($!)
for _ in $(seq 100); do grep -q '^ready: yes' "$work/svc.out" 2>/dev/null && break; sleep 0.1; done
val() { grep "^$1: " "$work/svc.out" | cut -d' ' -f2-; }
url=$(val url); ca=$(val ca-file)
json() { python3 -c "import json,sys; d=json.load(sys.stdin); print(eval('d'+sys.argv[1]))" "$1"; }
q="_client=qwo&_version=bench"
arrayid=$(curl -s --cacert "$ca" "${url}api/pretestLogin?$q" -d corpId="$(val demo-corp)" | json '["result"]["arrayid"]')
sid=$(curl -s --cacert "$ca" "${url}api/login?$q&arrayid=$arrayid" -d corpId="$(val demo-corp)" \
  -d userId="$(val demo-user)" -d password="$(val demo-password)" -d pki=false | json '["result"]["jsessionid"]')
q="$q&arrayid=$arrayid&jsessionid=$sid"

head -c 8388608 /dev/urandom >"$work/block.bin"
id=$(python3 -c 'import hashlib,base64,sys; d=open(sys.argv[1],"rb").read(); print(base64.urlsafe_b64encode(hashlib.sha1(d).digest()).decode().rstrip("=")+"#"+str(len(d)))' "$work/block.bin")
utok=$(curl -s --cacert "$ca" "${url}api/pretestUploadFile?$q" -d path=/demo/bench.bin -d force=true | json '["result"]')
curl -s --cacert "$ca" "${url}api/uploadBlock?$q" -F token="$utok" -F "blockId=$id" -F "filedata=@$work/block.bin;filename=data.dat" >/dev/null
curl -s --cacert "$ca" "${url}api/uploadFile?$q" -F token="$utok" -F "blockIds=[ \"$id\"]" -F memo= -F force=true >/dev/null
dtok=$(curl -s --cacert "$ca" "${url}api/pretestDownloadFile?$q" -d path=/demo/bench.bin | json '["result"]["token"]')

# --- the baselines: static TLS file servers with the same certificate -------
mkdir -p "$work/www"; cp "$work/block.bin" "$work/www/block.bin"
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
sport=$(free_port)
"$benchbin" static --cert "$work/data/tls/server.pem" --key "$work/data/tls/server-key.pem" \
  --root "$work/www" --port "$sport" >"$work/static.out" 2>&1 &
pids+=($!)
oport=$(free_port)
(cd "$work/www" && exec openssl s_server -quiet -WWW -accept "127.0.0.1:$oport" \
  -cert "$work/data/tls/server.pem" -key "$work/data/tls/server-key.pem") >/dev/null 2>&1 &
pids+=($!)
nport=$(free_port)
. "$root/bench/common/nginx.sh"
nginx_write_conf "$work/nginx" "$nport" "$work/data/tls/server.pem" "$work/data/tls/server-key.pem" "$work/www"
command -v nginx >/dev/null || "$root/bench/setup"
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" >/dev/null 2>&1 &
pids+=($!)
sleep 1

"$svcbin" --data "$memwork/data" --port 0 --demo >"$memwork/svc.out" 2>"$memwork/svc.err" &
pids+=($!)
for _ in $(seq 100); do grep -q '^ready: yes' "$memwork/svc.out" 2>/dev/null && break; sleep 0.1; done
mval() { grep "^$1: " "$memwork/svc.out" | cut -d' ' -f2-; }
murl=$(mval url); mca=$(mval ca-file)
mq="_client=qwo&_version=bench"
marrayid=$(curl -s --cacert "$mca" "${murl}api/pretestLogin?$mq" -d corpId="$(mval demo-corp)" | json '["result"]["arrayid"]')
msid=$(curl -s --cacert "$mca" "${murl}api/login?$mq&arrayid=$marrayid" -d corpId="$(mval demo-corp)" \
  -d userId="$(mval demo-user)" -d password="$(mval demo-password)" -d pki=false | json '["result"]["jsessionid"]')
mq="$mq&arrayid=$marrayid&jsessionid=$msid"

# uploadBlock of a new random 8 MiB block (the service stores a block once).
speed_upload() {  # round, service url, its CA file, its query
  head -c 8388608 /dev/urandom >"$work/up.bin"
  local uid t
  t=$(curl -s --cacert "$3" "${2}api/pretestUploadFile?$4" -d "path=/demo/up-$1.bin" -d force=true | json '["result"]')
  uid=$(python3 -c 'import hashlib,base64,sys; d=open(sys.argv[1],"rb").read(); print(base64.urlsafe_b64encode(hashlib.sha1(d).digest()).decode().rstrip("=")+"#"+str(len(d)))' "$work/up.bin")
  curl -s --cacert "$3" -o "$work/up.out" -w '%{speed_upload}' "${2}api/uploadBlock?$4" \
    -F token="$t" -F "blockId=$uid" -F "filedata=@$work/up.bin;filename=data.dat"
  grep -q '"result"' "$work/up.out" || { echo "uploadBlock failed: $(cat "$work/up.out")" >&2; exit 1; }
}

speed_service() {
  curl -s --cacert "$ca" -o "$work/got" -w '%{speed_download}' "${url}api/downloadBlock?$q" \
    --data-urlencode "token=$dtok" --data-urlencode "blockId=$id"
}
speed_static() { curl -s --cacert "$ca" -o "$work/got2" -w '%{speed_download}' "https://127.0.0.1:$1/block.bin"; }

s_list=(); h_list=(); o_list=(); n_list=(); u_list=(); m_list=()
for r in $(seq "$runs"); do
  s_list+=("$(speed_service)")
  h_list+=("$(speed_static "$sport")")
  o_list+=("$(speed_static "$oport")")
  n_list+=("$(curl -s --tlsv1.3 --cacert "$ca" -o "$work/got3" -w '%{speed_download}' "https://127.0.0.1:$nport/block.bin")")
  u_list+=("$(speed_upload "$r" "$url" "$ca" "$q")")
  m_list+=("$(speed_upload "$r" "$murl" "$mca" "$mq")")
done
cmp -s "$work/got3" "$work/block.bin" || { echo "nginx returned wrong bytes" >&2; exit 1; }
cmp -s "$work/got" "$work/block.bin" || { echo "downloadBlock returned wrong bytes" >&2; exit 1; }
cmp -s "$work/got2" "$work/block.bin" || { echo "static server returned wrong bytes" >&2; exit 1; }
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
ms=$(median "${s_list[@]}"); mh=$(median "${h_list[@]}"); mo=$(median "${o_list[@]}")
mn=$(median "${n_list[@]}"); mu=$(median "${u_list[@]}"); mm=$(median "${m_list[@]}")
mib() { awk -v b="$1" 'BEGIN {printf "%.1f", b/1048576}'; }
best=$(awk -v a="$mh" -v b="$mo" -v c="$mn" 'BEGIN {m=(a>b)?a:b; print (m>c)?m:c}')
uratio=$(awk -v s="$mu" -v b="$mn" 'BEGIN {printf "%.0f", 100*s/b}')
mratio=$(awk -v s="$mm" -v b="$mn" 'BEGIN {printf "%.0f", 100*s/b}')
ratio=$(awk -v s="$ms" -v b="$best" 'BEGIN {printf "%.0f", 100*s/b}')

# --- listing ------------------------------------------------------------------
"$benchbin" list --entries 2000 --runs 50 >"$work/list.out"
lmed=$(grep '^list-median-ms: ' "$work/list.out" | cut -d' ' -f2)
lbest=$(grep '^list-best-ms: ' "$work/list.out" | cut -d' ' -f2)
lbytes=$(grep '^list-answer-bytes: ' "$work/list.out" | cut -d' ' -f2)

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
cat >"$here/REPORT.md" <<REPORT
# Local service benchmark

Run: $(date -u '+%Y-%m-%d %H:%M UTC'); machine: $(nproc) cores, $cpu; curl $(curl --version | head -1 | cut -d' ' -f2).
Command: \`bench/localservice/run.sh\` (RUNS=$runs).

## downloadBlock of one 8 MiB block over loopback TLS (curl, median of $runs)

| Server | MiB/s |
|---|---|
| ambermoor-local \`downloadBlock\` (streamed from the block file) | $(mib "$ms") |
| static TLS file server (cpp-httplib mount point, same certificate) | $(mib "$mh") |
| static TLS file server (\`openssl s_server -WWW\`, same certificate) | $(mib "$mo") |
| static TLS file server (nginx $(nginx -v 2>&1 | sed 's|.*/||'), one worker, TLS 1.3 only, same certificate) | $(mib "$mn") |
| ambermoor-local \`uploadBlock\` of a new 8 MiB block (curl \`-F\`, hashed, stored and synced to disk) | $(mib "$mu") |
| the same with the service's store in memory (tmpfs: the sync costs nothing) | $(mib "$mm") |

downloadBlock reaches **${ratio}%** of the fastest static server (goal: at least 80%);
uploadBlock runs at **${uratio}%** of nginx's download speed with its store on disk, at
**${mratio}%** with its store in memory: on disk the sync of each block before its answer is
what limits it (the drive's write benchmarks therefore keep the servers' stores in memory).

All rounds, MiB/s: downloadBlock $(for v in "${s_list[@]}"; do mib "$v"; printf ' '; done);
nginx $(for v in "${n_list[@]}"; do mib "$v"; printf ' '; done);
uploadBlock on disk $(for v in "${u_list[@]}"; do mib "$v"; printf ' '; done);
in memory $(for v in "${m_list[@]}"; do mib "$v"; printf ' '; done).

## getEntries of a folder with 2000 entries, inside the service

Store query plus the JSON answer ($lbytes bytes), 50 runs: median **${lmed} ms**, best ${lbest} ms (goal: under 50 ms).
REPORT
cat "$here/REPORT.md"
