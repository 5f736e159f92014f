#!/usr/bin/env bash
# Reliability run of the mounted drive: starts ambermoor-local on free loopback
# ports with a data directory of its own, mounts the drive with tarvik-mount,
# and runs a concurrent load (load.py) in two phases:
#   p1  no faults: every operation must succeed and every byte compare equal;
#   p2  faults injected through the admin endpoint while the load runs
#       (HTTP 500s, dropped connections, one corrupted block download after the
#       block cache was emptied): an operation may fail with an errno, but no
#       byte read back may be wrong and no file may be lost.
# After each phase the drive is mounted again with an empty block cache and
# every file the load left is read back from the service (the "check").
# Exits non-zero when a byte was wrong, a file was lost, a worker hung, the
# mount process died, or an error occurred where none is allowed.
#
#   bench/reliability/run.sh [--quick] [--build-dir DIR]
#     --quick       20 s per phase, files up to 17 MiB (for ctest); the report
#                   goes to the work directory instead of REPORT.md
#     --build-dir   use the binaries already built there (no build)
#     --keep        keep the work directory (logs, service data) after a pass
# Without --build-dir it builds ambermoor-local and tarvik-mount in
# build-reliability (Release). Exit 77 when /dev/fuse is missing.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
quick=0
keep=0
build=""
command_line="bench/reliability/run.sh $*"
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --keep) keep=1 ;;
    --build-dir) build="${2:?--build-dir needs a directory}"; shift ;;
    -h|--help) sed -n '2,22p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown argument: $1" >&2; exit 2 ;;
  esac
  shift
done

if [ ! -c /dev/fuse ] || ! command -v fusermount3 >/dev/null; then
  echo "SKIP: /dev/fuse or fusermount3 is missing; the reliability run needs a FUSE mount"
  exit 77
fi

if [ -z "$build" ]; then
  build="$root/build-reliability"
  if [ ! -f "$build/build.ninja" ]; then
    cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  ninja -C "$build" -j2 ambermoor-local tarvik-mount >/dev/null
fi
service_bin="$build/localservice/ambermoor-local"
mount_bin="$build/tarvik/tarvik-mount"
for b in "$service_bin" "$mount_bin"; do
  [ -x "$b" ] || { echo "run.sh: $b is not built" >&2; exit 2; }
done

if [ "$quick" = 1 ]; then
  duration=20; grace=120; max_size=17M; max_files=6; max_live=64M
else
  duration=120; grace=240; max_size=64M; max_files=8; max_live=192M
fi
load_timeout=$((duration + grace + 60))
check_timeout=300

work="$(mktemp -d /tmp/tarvik-reliability-XXXXXX)"
mnt="$work/mnt"
data="$work/service"
export TMPDIR="$work/tmp"        # the library's block cache: $TMPDIR/korbel
export USERPROFILE="$work/profile"  # the library's log: $USERPROFILE/.korbel/log
mkdir -p "$mnt" "$TMPDIR" "$USERPROFILE"
chmod 700 "$TMPDIR"
block_dir="$TMPDIR/korbel/block"

service_pid=""
mount_pid=""
mounts=0
ok=0
is_mounted() { grep -q " $mnt " /proc/self/mountinfo; }

unmount() {
  if [ -n "$mount_pid" ] && kill -0 "$mount_pid" 2>/dev/null; then
    kill -TERM "$mount_pid" 2>/dev/null || true
    for _ in $(seq 600); do kill -0 "$mount_pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$mount_pid" 2>/dev/null; then
      echo "run.sh: tarvik-mount did not end within 60 s of SIGTERM" >&2
      fusermount3 -uz "$mnt" 2>/dev/null || true
      kill -KILL "$mount_pid" 2>/dev/null || true
      mount_stuck=1
    fi
    local status=0
    wait "$mount_pid" 2>/dev/null || status=$?
    mount_status+=("$status")
  fi
  mount_pid=""
  if is_mounted; then fusermount3 -uz "$mnt" 2>/dev/null || true; fi
}

cleanup() {
  unmount
  if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then
    kill -TERM "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  if [ "$ok" = 1 ] && [ "$keep" = 0 ]; then rm -rf "$work"; else echo "run.sh: logs and data kept in $work" >&2; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mount_stuck=0
mount_died=0
mount_status=()  # exit status of each tarvik-mount after SIGTERM

echo "== starting ambermoor-local (data: $data)"
"$service_bin" --data "$data" --port 0 --demo >"$work/service.info" 2>"$work/service.log" &
service_pid=$!
value() { sed -n "s/^$1: //p" "$work/service.info" | head -n 1; }
for _ in $(seq 200); do
  grep -q '^ready: yes' "$work/service.info" && break
  kill -0 "$service_pid" 2>/dev/null || { cat "$work/service.log" >&2; exit 1; }
  sleep 0.1
done
grep -q '^ready: yes' "$work/service.info" || { echo "run.sh: the service did not start" >&2; exit 1; }
url=$(value url)
ca=$(value ca-file)
value admin-token >"$work/admin-token"
echo "   $url"

# mount [extra tarvik-mount options...]: mounts in the background and waits
# until the drive answers.
mount_drive() {
  mounts=$((mounts + 1))
  value demo-password | CURL_CA_BUNDLE="$ca" "$mount_bin" --url "$url" --corp "$(value demo-corp)" \
    --user "$(value demo-user)" --password-stdin --log "$@" "$mnt" >"$work/mount-$mounts.log" 2>&1 &
  mount_pid=$!
  for _ in $(seq 300); do
    if is_mounted && timeout 10 ls "$mnt/Home" >/dev/null 2>&1; then return 0; fi
    kill -0 "$mount_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "run.sh: mount $mounts failed:" >&2
  cat "$work/mount-$mounts.log" >&2
  exit 1
}

# The mount process must still be there after a phase.
mount_alive() {
  if ! kill -0 "$mount_pid" 2>/dev/null || ! is_mounted; then
    echo "run.sh: tarvik-mount ended during $1" >&2
    mount_died=1
  fi
}

load() {  # phase index [options]
  local phase=$1 index=$2; shift 2
  echo "== $phase: load for $duration s"
  timeout -k 10 "$load_timeout" python3 "$here/load.py" run --root "$mnt/Home/reliability" \
    --work "$work" --phase "$phase" --phase-index "$index" --duration "$duration" \
    --grace "$grace" --max-size "$max_size" --max-files "$max_files" \
    --max-live-bytes "$max_live" --out "$work/$phase.json" "$@" || {
      echo "run.sh: the $phase load failed (status $?)" >&2; exit 1; }
  mount_alive "$phase"
}

check() {  # phase: remount with an empty block cache, read everything back
  local phase=$1
  unmount
  [ "$mount_died" = 0 ] || return 0
  mount_drive --clear-cache
  echo "== $phase: check on a fresh mount with an empty block cache"
  timeout -k 10 $((check_timeout + 30)) python3 "$here/load.py" check --load "$work/$phase.json" \
    --timeout "$check_timeout" --out "$work/$phase-check.json" || {
      echo "run.sh: the $phase check failed (status $?)" >&2; exit 1; }
  mount_alive "$phase check"
}

started=$(date +%s)
mount_drive
load p1 1
check p1
load p2 2 --admin-url "$url" --admin-token-file "$work/admin-token" --ca "$ca" --block-dir "$block_dir"
check p2
unmount
kill -TERM "$service_pid" 2>/dev/null || true
service_status=0
wait "$service_pid" || service_status=$?
service_pid=""
ended=$(date +%s)

# What the library logged (one log file per mount).
log_warn=$(cat "$USERPROFILE"/.korbel/log/* 2>/dev/null | grep -c '; WARN\]' || true)
log_error=$(cat "$USERPROFILE"/.korbel/log/* 2>/dev/null | grep -c ';ERROR\]' || true)
status_msgs=$(cat "$work"/mount-*.log | grep -c '^tarvik-mount: \[' || true)
log_retries=$(cat "$USERPROFILE"/.korbel/log/* 2>/dev/null | grep -c 'curl retry> ' || true)
log_bad_blocks=$(cat "$USERPROFILE"/.korbel/log/* 2>/dev/null | grep -c 'download block error' || true)

if [ "$quick" = 1 ]; then report="$work/REPORT-quick.md"; else report="$here/REPORT.md"; fi
cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
notes=(
  "Mounts: $mounts (each check mounts again with \`--clear-cache\`); tarvik-mount died: $([ $mount_died = 1 ] && echo yes || echo no); did not end on SIGTERM: $([ $mount_stuck = 1 ] && echo yes || echo no); exit statuses of tarvik-mount: ${mount_status[*]}; ambermoor-local exit status $service_status."
  "Library log: $log_warn WARN and $log_error ERROR lines (service answers such as code 50 for a name probed before its creation count as ERROR); $log_retries transfer retries (\"curl retry> \"); $log_bad_blocks downloaded blocks rejected by their digest (\"download block error\"); $status_msgs status messages printed by tarvik-mount."
  "Duration: $((ended - started)) s in all. Machine: $(nproc) cores, $cpu; kernel $(uname -r); $(date -u '+%Y-%m-%d %H:%M UTC')."
  "Command: \`$command_line\`"
)
args=()
for n in "${notes[@]}"; do args+=(--note "$n"); done
[ "$mount_died" = 0 ] || args+=(--problem "tarvik-mount ended while the drive was in use")
[ "$service_status" = 0 ] || args+=(--problem "ambermoor-local exited with status $service_status")
for st in "${mount_status[@]}"; do
  [ "$st" = 0 ] || args+=(--problem "tarvik-mount exited with status $st after SIGTERM (see mount-*.log)")
done
[ "$mount_stuck" = 0 ] || args+=(--problem "tarvik-mount did not end within 60 s of SIGTERM")
results=("$work/p1.json:strict")
[ -f "$work/p1-check.json" ] && results+=("$work/p1-check.json:strict")
results+=("$work/p2.json:lenient")
[ -f "$work/p2-check.json" ] && results+=("$work/p2-check.json:strict")
set +e
python3 "$here/load.py" report --out "$report" "${args[@]}" "${results[@]}"
rc=$?
set -e
cat "$report"
if [ "$rc" = 0 ]; then ok=1; fi
exit "$rc"
