#!/usr/bin/env bash
# Reliability run of the mounted drive: starts ambermoor-local on free loopback
# ports with a data directory of its own (service.sh), mounts the drive with
# tarvik-mount, and runs a concurrent load (load.py) in phases:
#   p1       no faults: every operation must succeed and every byte compare
#            equal;
#   p2       faults injected through the admin endpoint while the load runs
#            (HTTP 500s, dropped connections, one corrupted block download
#            after the block cache was emptied): an operation may fail with an
#            errno, but no byte read back may be wrong and no file may be lost;
#   cache    the drive mounted with --cache-limit at a quarter of the largest
#            file; beside the workers, appenders add lines to two shared files
#            through O_APPEND descriptors of their own while a line reader
#            holds descriptors opened before the first append, and a rewriter
#            rewrites the header and a few middle bytes of files larger than
#            the cache limit: no error allowed;
#   restart  the service is stopped or killed and started again (same port,
#            same data directory) several times during a load of workers,
#            appenders, the rewriter and a reader that holds its descriptors;
#            once the block cache is emptied while it is down: no error
#            allowed, not even of a write, fsync or close;
#   outage   writers create and overwrite files while the service is stopped
#            or killed for several seconds at a time (closes fail with EIO:
#            the drive keeps the content and uploads it later), and once,
#            during an outage, the drive itself is killed (SIGKILL), the
#            block cache emptied and the drive mounted again on the same
#            mount point (writers see ENOTCONN meanwhile). Errors allowed;
#            the check waits (up to 120 s) until no file waits for upload,
#            then mounts again with an empty block cache: every save whose
#            close or fsync returned 0 is there byte for byte, a save whose
#            close said EIO is there or in a conflict copy beside it, a save
#            cut by the kill left an earlier version or nothing.
# After each phase the drive is mounted again with an empty block cache (the
# cache phase's check keeps its cache limit) and every file and line the load
# left is read back from the service (the "check"). Each phase counts files,
# bytes, lines, operations, errors by errno, lost files or lines, and wrong
# bytes. Exits non-zero when a byte was wrong, a file or line was lost, a
# worker hung, the mount process died, a restart failed, or an error occurred
# where none is allowed.
#
#   bench/reliability/run.sh [--quick] [--phases LIST] [--build-dir DIR] [--keep]
#     --quick       20 s for p1 and p2, 25 s for cache and restart, 50 s for
#                   outage, files up to 17 MiB (64 MiB in the cache phase;
#                   about 3.5 minutes in all, for ctest); the report goes to
#                   the work directory instead of REPORT.md
#     --phases      comma-separated phases to run, in order (default
#                   p1,p2,cache,restart,outage); a run of fewer phases writes
#                   its report to the work directory too
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
all_phases="p1,p2,cache,restart,outage"
phases="$all_phases"
command_line="bench/reliability/run.sh $*"
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --keep) keep=1 ;;
    --phases) phases="${2:?--phases needs a list such as p1,cache}"; shift ;;
    --build-dir) build="${2:?--build-dir needs a directory}"; shift ;;
    -h|--help) sed -n '2,54p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown argument: $1" >&2; exit 2 ;;
  esac
  shift
done
IFS=, read -r -a phase_list <<<"$phases"
[ "${#phase_list[@]}" -gt 0 ] || { echo "run.sh: --phases is empty" >&2; exit 2; }
for p in "${phase_list[@]}"; do
  case ",$all_phases," in *",$p,"*) ;; *) echo "run.sh: unknown phase '$p' (phases: $all_phases)" >&2; exit 2 ;; esac
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

# Per phase: seconds of load; sizes; the cache phase's largest file and limit.
if [ "$quick" = 1 ]; then
  duration=20; long_duration=25; grace=120; max_size=17M; max_files=6; max_live=64M; restarts=3
  outage_duration=50
else
  duration=120; long_duration=120; grace=240; max_size=64M; max_files=8; max_live=192M; restarts=6
  outage_duration=120
fi
outage_down=12  # longer than the drive's commit rides through an outage
upload_timeout=120  # the outage check's wait for the files waiting for upload
cache_max_size=64M
cache_limit=16M  # a quarter of cache_max_size
check_timeout=300

work="$(mktemp -d /tmp/tarvik-reliability-XXXXXX)"
mnt="$work/mnt"
export TMPDIR="$work/tmp"        # the library's block cache: $TMPDIR/korbel
export USERPROFILE="$work/profile"  # the library's log: $USERPROFILE/.korbel/log
mkdir -p "$mnt" "$TMPDIR" "$USERPROFILE"
chmod 700 "$TMPDIR"
block_dir="$TMPDIR/korbel/block"
journal_dir="$TMPDIR/korbel/journal"  # the library's files waiting for upload
service="$here/service.sh"
drive="$here/drive.sh"  # mounts; the outage phase's load kills and mounts it too

mount_pid=""
mount_opts=""  # the options of the current mount, without --clear-cache
mounts=0
ok=0
is_mounted() { grep -q " $mnt " /proc/self/mountinfo; }
service_running() { [ -s "$work/service.pid" ]; }
# The drive's process and mount count now (the load may have mounted it again).
current_mount() {
  mount_pid=$(cat "$work/drive.pid" 2>/dev/null || true)
  mounts=$(cat "$work/drive.mounts" 2>/dev/null || echo 0)
}

unmount() {
  current_mount
  if [ -n "$mount_pid" ] && kill -0 "$mount_pid" 2>/dev/null; then
    local out
    if out=$("$drive" stop "$work"); then
      mount_status+=("${out##* }")
    else
      echo "run.sh: tarvik-mount did not end within 60 s of SIGTERM" >&2
      fusermount3 -uz "$mnt" 2>/dev/null || true
      "$drive" kill "$work" >/dev/null 2>&1 || true
      mount_stuck=1
    fi
  fi
  mount_pid=""
  if is_mounted; then fusermount3 -uz "$mnt" 2>/dev/null || true; fi
}

cleanup() {
  unmount
  if service_running; then "$service" stop "$work" >/dev/null 2>&1 || true; fi
  if [ "$ok" = 1 ] && [ "$keep" = 0 ]; then rm -rf "$work"; else echo "run.sh: logs and data kept in $work" >&2; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mount_stuck=0
mount_died=0
mount_status=()  # exit status of each tarvik-mount after SIGTERM

echo "== starting ambermoor-local (data: $work/service)"
"$service" start "$work" "$service_bin" || exit 1
value() { sed -n "s/^$1: //p" "$work/service.info" | head -n 1; }
url=$(value url)
ca=$(value ca-file)
echo "   $url"
"$drive" setup "$work" "$mount_bin"

# mount [extra tarvik-mount options...]: mounts in the background and waits
# until the drive answers.
mount_drive() {
  "$drive" mount "$work" "$@" >/dev/null || { echo "run.sh: the drive did not mount" >&2; exit 1; }
  current_mount
}

# phase_mount [options...]: the drive mounted with these options (mounted
# again when the current mount has others).
phase_mount() {
  if [ -n "$mount_pid" ] && [ "$mount_opts" = "$*" ]; then return 0; fi
  unmount
  [ "$mount_died" = 0 ] || return 0
  mount_drive "$@"
  mount_opts="$*"
}

# The mount process must still be there after a phase.
mount_alive() {
  current_mount
  if [ -z "$mount_pid" ] || ! kill -0 "$mount_pid" 2>/dev/null || ! is_mounted; then
    echo "run.sh: tarvik-mount ended during $1" >&2
    mount_died=1
  fi
}

load() {  # phase index seconds [options]
  local phase=$1 index=$2 seconds=$3; shift 3
  echo "== $phase: load for $seconds s"
  timeout -k 10 $((seconds + grace + 60)) python3 "$here/load.py" run --root "$mnt/Home/reliability" \
    --work "$work" --phase "$phase" --phase-index "$index" --duration "$seconds" \
    --grace "$grace" --max-files "$max_files" --max-live-bytes "$max_live" \
    --out "$work/$phase.json" "$@" || {
      echo "run.sh: the $phase load failed (status $?)" >&2; exit 1; }
  mount_alive "$phase"
}

check() {  # phase [tarvik-mount options]: remount with an empty block cache, read everything back
  local phase=$1; shift
  unmount
  [ "$mount_died" = 0 ] || return 0
  mount_drive --clear-cache "$@"
  mount_opts="$*"
  echo "== $phase: check on a fresh mount with an empty block cache"
  timeout -k 10 $((check_timeout + 30)) python3 "$here/load.py" check --load "$work/$phase.json" \
    --timeout "$check_timeout" --out "$work/$phase-check.json" "${check_args[@]}" || {
      echo "run.sh: the $phase check failed (status $?)" >&2; exit 1; }
  mount_alive "$phase check"
}

# The outage check's first mount: waits until no file waits for upload (the
# check itself mounts again, so that every byte it reads is the service's).
wait_uploads() {
  unmount
  [ "$mount_died" = 0 ] || return 0
  "$drive" pending "$work" >"$work/pending-at-end.txt" 2>&1 || true
  mount_drive --clear-cache
  echo "== outage: waiting for the files that wait for upload (up to $upload_timeout s)"
  timeout -k 10 $((upload_timeout + 90)) python3 "$here/load.py" uploads --drive-script "$drive" \
    --work "$work" --before "$work/pending-at-end.txt" --timeout "$upload_timeout" \
    --journal-dir "$journal_dir" --out "$work/outage-uploads.json" || {
      echo "run.sh: the wait for uploads failed" >&2; exit 1; }
  mount_alive "the wait for uploads"
  check_args=(--uploads "$work/outage-uploads.json")
  # The drive shows content it still keeps in place of the service's: the
  # check mounts without it (kept in the work directory for a look).
  unmount
  if [ -d "$journal_dir" ]; then mv "$journal_dir" "$work/journal-after-outage"; fi
}

check_args=()
results=()  # RESULT.json:strict|lenient for the report
run_phase() {
  [ "$mount_died" = 0 ] || return 0
  case "$1" in
    p1)
      phase_mount
      load p1 1 "$duration" --max-size "$max_size"
      results+=("$work/p1.json:strict")
      check p1 ;;
    p2)
      phase_mount
      load p2 2 "$duration" --max-size "$max_size" --admin-url "$url" \
        --admin-token-file "$work/admin-token" --ca "$ca" --block-dir "$block_dir"
      results+=("$work/p2.json:lenient")
      check p2 ;;
    cache)
      phase_mount --cache-limit "$cache_limit"
      load cache 3 "$long_duration" --max-size "$cache_max_size" --cache-limit "$cache_limit" \
        --procs 2 --unlink-pair no --appenders 3 --rewriters 1
      results+=("$work/cache.json:strict")
      check cache --cache-limit "$cache_limit" ;;
    restart)
      phase_mount
      load restart 4 "$long_duration" --max-size "$max_size" --procs 2 --unlink-pair no \
        --appenders 2 --rewriters 1 --held-readers 1 \
        --restart-script "$service" --restarts "$restarts" --block-dir "$block_dir"
      results+=("$work/restart.json:strict")
      check restart ;;
    outage)
      phase_mount
      load outage 5 "$outage_duration" --max-size "$max_size" --procs 0 --unlink-pair no \
        --writers 4 --restart-script "$service" --restarts "$restarts" \
        --outage-down "$outage_down" --drive-script "$drive" --block-dir "$block_dir"
      results+=("$work/outage.json:lenient")
      wait_uploads
      check outage
      check_args=() ;;
  esac
  [ -f "$work/$1-check.json" ] && results+=("$work/$1-check.json:strict")
  return 0
}

started=$(date +%s)
for p in "${phase_list[@]}"; do run_phase "$p"; done
unmount
service_exit=$("$service" stop "$work" 2>&1 | tail -n 1) || service_exit="stop failed: $service_exit"
ended=$(date +%s)

# What the library logged (one log file per mount).
log_warn=$(cat "$USERPROFILE"/.korbel/log/* 2>/dev/null | grep -c '; WARN\]' || true)
log_error=$(cat "$USERPROFILE"/.korbel/log/* 2>/dev/null | grep -c ';ERROR\]' || true)
status_msgs=$(cat "$work"/mount-*.log | grep -c '^tarvik-mount: \[' || true)
log_retries=$(cat "$USERPROFILE"/.korbel/log/* 2>/dev/null | grep -c 'curl retry> ' || true)
log_bad_blocks=$(cat "$USERPROFILE"/.korbel/log/* 2>/dev/null | grep -c 'download block error' || true)

if [ "$quick" = 1 ] || [ "$phases" != "$all_phases" ]; then report="$work/REPORT-run.md"; else report="$here/REPORT.md"; fi
cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
notes=(
  "Mounts: $mounts (each check mounts again with \`--clear-cache\`); tarvik-mount died: $([ $mount_died = 1 ] && echo yes || echo no); did not end on SIGTERM: $([ $mount_stuck = 1 ] && echo yes || echo no); exit statuses of tarvik-mount: ${mount_status[*]}; ambermoor-local started $(cat "$work/service.starts") times, the last one ended with $service_exit."
  "Library log: $log_warn WARN and $log_error ERROR lines (service answers such as code 50 for a name probed before its creation count as ERROR); $log_retries transfer retries (\"curl retry> \"); $log_bad_blocks downloaded blocks rejected by their digest (\"download block error\"); $status_msgs status messages printed by tarvik-mount."
  "Duration: $((ended - started)) s in all. Machine: $(nproc) cores, $cpu; kernel $(uname -r); $(date -u '+%Y-%m-%d %H:%M UTC')."
  "Command: \`$command_line\`"
)
args=()
for n in "${notes[@]}"; do args+=(--note "$n"); done
[ "$mount_died" = 0 ] || args+=(--problem "tarvik-mount ended while the drive was in use")
[ "$service_exit" = "exit status 0" ] || args+=(--problem "ambermoor-local at the end: $service_exit")
for st in "${mount_status[@]}"; do
  [ "$st" = 0 ] || args+=(--problem "tarvik-mount exited with status $st after SIGTERM (see mount-*.log)")
done
[ "$mount_stuck" = 0 ] || args+=(--problem "tarvik-mount did not end within 60 s of SIGTERM")
set +e
python3 "$here/load.py" report --out "$report" "${args[@]}" "${results[@]}"
rc=$?
set -e
cat "$report"
if [ "$rc" = 0 ]; then ok=1; fi
exit "$rc"
