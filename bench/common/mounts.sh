# Shared by bench/fs/run.sh and bench/cache/run.sh (sourced, not run):
# starts the local service, our drive, rclone's webdav server over TLS and
# rclone mounts of it, all on loopback, and stops whatever it started when
# the sourcing script exits.
#
# The sourcing script sets: root (the repository), build (a build
# directory), work (a private scratch directory), then calls bench_prepare.

bench_pids=()      # background processes started here, stopped at exit
bench_mounts=()    # mount directories, unmounted at exit

bench_cleanup() {
  local m p
  # The mounting processes first: each unmounts its own drive on SIGTERM.
  for p in "${bench_pids[@]}"; do
    kill "$p" 2>/dev/null || true
  done
  for p in "${bench_pids[@]}"; do
    timeout 30 tail --pid="$p" -f /dev/null 2>/dev/null || kill -9 "$p" 2>/dev/null || true
  done
  for m in "${bench_mounts[@]}"; do
    if grep -q " $m " /proc/self/mountinfo 2>/dev/null; then
      fusermount3 -u "$m" 2>/dev/null || fusermount3 -uz "$m" 2>/dev/null || true
    fi
  done
  if [ -n "${work:-}" ] && [ -d "$work" ] && [ -z "${KEEP_WORK:-}" ]; then rm -rf "$work"; fi
  if [ -n "${stores:-}" ] && [ -d "$stores" ]; then rm -rf "$stores"; fi
}

bench_die() { echo "bench: $*" >&2; exit 1; }

# Installs rclone and nginx when missing and builds the programs the benchmarks use.
bench_prepare() {
  if ! command -v rclone >/dev/null || ! command -v nginx >/dev/null; then
    "$root/bench/setup" || bench_die "bench/setup could not install rclone and nginx"
  fi
  command -v fusermount3 >/dev/null || bench_die "fusermount3 (fuse3) is missing"
  if [ ! -f "$build/build.ninja" ]; then
    cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  ninja -C "$build" -j2 ambermoor-local tarvik-mount fuse_passthrough_min >/dev/null
  svc_bin="$build/localservice/ambermoor-local"
  mount_bin="$build/tarvik/tarvik-mount"
  passthrough_bin="$build/bench/dokan/fuse_passthrough_min"
  for b in "$svc_bin" "$mount_bin" "$passthrough_bin"; do [ -x "$b" ] || bench_die "$b was not built"; done
  mkdir -p "$work"
  # The servers' stores (the local service's data, rclone's webdav folder)
  # live in memory: what is measured is the clients, not the server
  # machine's disk (8 MiB written with fsync runs at 90-130 MB/s on this
  # one's). The clients' caches stay on disk under $work.
  stores="$(mktemp -d /dev/shm/tarvik-bench-stores-XXXXXX)"
  trap bench_cleanup EXIT
  trap 'exit 130' INT TERM
}

bench_free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

bench_wait_mounted() {  # dir pid
  local i
  for i in $(seq 300); do
    grep -q " $1 " /proc/self/mountinfo && return 0
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

bench_wait_unmounted() {  # dir
  local i
  for i in $(seq 300); do
    grep -q " $1 " /proc/self/mountinfo || return 0
    sleep 0.1
  done
  return 1
}

# Stops a process this script started and waits for it to end.
bench_stop_pid() {  # pid
  kill "$1" 2>/dev/null || true
  timeout 60 tail --pid="$1" -f /dev/null 2>/dev/null || { kill -9 "$1" 2>/dev/null || true; }
}

# --- the local service and our drive ----------------------------------------

svc_start() {
  "$svc_bin" --data "$stores/svc" --port 0 --demo >"$work/svc.out" 2>"$work/svc.err" &
  bench_pids+=($!)
  local i
  for i in $(seq 200); do grep -q '^ready: yes' "$work/svc.out" 2>/dev/null && break; sleep 0.1; done
  grep -q '^ready: yes' "$work/svc.out" || bench_die "the local service did not start: $(cat "$work/svc.err")"
  svc_val() { grep "^$1: " "$work/svc.out" | cut -d' ' -f2-; }
  svc_url=$(svc_val url)
  svc_ca=$(svc_val ca-file)
  svc_password=$(svc_val demo-password)
  svc_admin=$(svc_val admin-token)
}

# The service's call counters since the last reset, as "method=n ..." sorted
# by method, then "connections=n"; counting starts anew afterwards.
svc_stats_take() {
  curl -s --cacert "$svc_ca" -H "X-Admin-Token: $svc_admin" -d '{"reset": true}' "${svc_url}admin/stats" |
    python3 -c 'import json,sys; d=json.load(sys.stdin); print(" ".join("%s=%d" % (k, v) for k, v in sorted(d["calls"].items())), "connections=%d" % d["connections"])'
}

# Our drive keeps its block cache under $TMPDIR/korbel and its log under
# $USERPROFILE; both point into the scratch directory.
ours_tmp() { echo "$work/ours-tmp"; }

ours_mount() {  # mount directory
  mkdir -p "$1" "$(ours_tmp)" "$work/ours-home"
  chmod 700 "$(ours_tmp)"
  echo "$svc_password" | TMPDIR="$(ours_tmp)" USERPROFILE="$work/ours-home" CURL_CA_BUNDLE="$svc_ca" \
    "$mount_bin" --url "$svc_url" --corp demo --user demo --password-stdin ${OURS_LOG:+--log} "$1" \
    >>"$work/ours-mount.out" 2>>"$work/ours-mount.err" &
  ours_pid=$!
  bench_pids+=($ours_pid)
  bench_mounts+=("$1")
  bench_wait_mounted "$1" "$ours_pid" || bench_die "our drive did not mount: $(tail -5 "$work/ours-mount.err")"
}

ours_unmount() {  # mount directory
  bench_stop_pid "$ours_pid"
  bench_wait_unmounted "$1" || { fusermount3 -uz "$1" 2>/dev/null || true; }
}

# Empties our block cache (the drive must be unmounted).
ours_clear_cache() { rm -rf "$(ours_tmp)/korbel/block"; }

# The minimal libfuse3 passthrough of a local directory (bench/dokan).
passthrough_mount() {  # backing directory, mount directory
  mkdir -p "$1" "$2"
  "$passthrough_bin" "$1" "$2" >"$work/pt.log" 2>&1 &
  pt_pid=$!
  bench_pids+=($pt_pid)
  bench_mounts+=("$2")
  bench_wait_mounted "$2" "$pt_pid" || bench_die "the passthrough did not mount"
}

# --- rclone: webdav over TLS on loopback, and mounts of it ------------------

# A self-signed certificate for 127.0.0.1, made once per run.
bench_cert() {
  [ -f "$work/webdav-cert.pem" ] && return 0
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=127.0.0.1" \
    -addext "subjectAltName=IP:127.0.0.1" -keyout "$work/webdav-key.pem" -out "$work/webdav-cert.pem" \
    >/dev/null 2>&1 || bench_die "openssl could not make a certificate"
}

webdav_start() {  # directory to serve
  bench_cert
  webdav_port=$(bench_free_port)
  rclone serve webdav "$1" --addr "127.0.0.1:$webdav_port" \
    --cert "$work/webdav-cert.pem" --key "$work/webdav-key.pem" >"$work/webdav.log" 2>&1 &
  bench_pids+=($!)
  local i
  for i in $(seq 100); do
    curl -s -o /dev/null --cacert "$work/webdav-cert.pem" "https://127.0.0.1:$webdav_port/" && break
    sleep 0.1
  done
  curl -s -o /dev/null --cacert "$work/webdav-cert.pem" "https://127.0.0.1:$webdav_port/" ||
    bench_die "rclone serve webdav did not start: $(tail -5 "$work/webdav.log")"
  rclone_conf="$work/rclone.conf"
  rclone config create benchdav webdav url="https://127.0.0.1:$webdav_port/" vendor=other \
    --config "$rclone_conf" >/dev/null 2>&1
}

# rclone mount with a full VFS cache in its own cache directory; writes are
# uploaded as soon as the file is closed (--vfs-write-back 0s). The remote
# control server (loopback, no auth) reports the upload queue.
rclone_mount() {  # mount directory, cache directory
  mkdir -p "$1" "$2"
  rclone_rc_port=$(bench_free_port)
  rclone mount benchdav: "$1" --config "$rclone_conf" --ca-cert "$work/webdav-cert.pem" \
    --vfs-cache-mode full --vfs-write-back 0s --cache-dir "$2" \
    --rc --rc-addr "127.0.0.1:$rclone_rc_port" --rc-no-auth \
    >>"$work/rclone-mount.log" 2>&1 &
  rclone_pid=$!
  bench_pids+=($rclone_pid)
  bench_mounts+=("$1")
  bench_wait_mounted "$1" "$rclone_pid" || bench_die "rclone mount failed: $(tail -5 "$work/rclone-mount.log")"
}

rclone_unmount() {  # mount directory
  bench_stop_pid "$rclone_pid"
  bench_wait_unmounted "$1" || { fusermount3 -uz "$1" 2>/dev/null || true; }
}

# Prints uploadsInProgress + uploadsQueued of the rclone mount's VFS cache.
rclone_pending_uploads() {
  rclone rc vfs/stats --url "http://127.0.0.1:$rclone_rc_port/" 2>/dev/null |
    python3 -c 'import json,sys; d=json.load(sys.stdin)["diskCache"]; print(d["uploadsInProgress"]+d["uploadsQueued"])'
}

# --- the loopback TLS ceiling: nginx serving files over TLS 1.3 -------------

. "$(dirname "${BASH_SOURCE[0]}")/nginx.sh"

# nginx (one worker, no access log, TLS 1.3 only) serving a directory.
nginx_start() {  # directory to serve
  bench_cert
  nginx_port=$(bench_free_port)
  nginx_write_conf "$work/nginx" "$nginx_port" "$work/webdav-cert.pem" "$work/webdav-key.pem" "$1"
  nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" >"$work/nginx/out.log" 2>&1 &
  bench_pids+=($!)
  local i
  for i in $(seq 100); do
    curl -s -o /dev/null --cacert "$work/webdav-cert.pem" "https://127.0.0.1:$nginx_port/" && return 0
    sleep 0.1
  done
  bench_die "nginx did not start: $(tail -5 "$work/nginx/error.log")"
}

# MiB/s of one fetch of `name` from nginx with curl over TLS 1.3, the bytes
# discarded; checks the whole file came.
nginx_fetch_mibps() {  # name, expected bytes
  local out
  out=$(curl -s --tlsv1.3 --cacert "$work/webdav-cert.pem" -o /dev/null \
    -w '%{size_download} %{speed_download}' "https://127.0.0.1:$nginx_port/$1") ||
    bench_die "curl of $1 from nginx failed"
  [ "${out%% *}" = "$2" ] || bench_die "nginx sent ${out%% *} bytes of $1, not $2"
  awk -v b="${out##* }" 'BEGIN { printf "%.1f", b / 1048576 }'
}

# --- measuring --------------------------------------------------------------

# Bash's own clock: reading it starts no process, so a stamp taken right
# after a command ends adds nothing to what is measured.
now() { echo "$EPOCHREALTIME"; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
# Seconds a command takes (its output discarded).
timed() {
  local s e
  s=$EPOCHREALTIME
  "$@" >/dev/null 2>&1 || bench_die "failed: $*"
  e=$EPOCHREALTIME
  elapsed "$s" "$e"
}
drop_page_cache() { sync; echo 3 >/proc/sys/vm/drop_caches 2>/dev/null || true; }
min_of() { printf '%s\n' "$@" | sort -g | head -1; }
max_of() { printf '%s\n' "$@" | sort -g | tail -1; }
# The median (the mean of the two middle values of an even count).
median_of() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b == 0) print "n/a"; else printf "%.2f", a / b }'; }

bench_machine() {
  echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), \
$(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) memory; kernel $(uname -r); \
$(rclone version 2>/dev/null | head -1); scratch files on $(df --output=fstype "$work" | tail -1) under $(dirname "$work")."
}
