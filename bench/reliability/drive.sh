#!/usr/bin/env bash
# The drive of a reliability run: tarvik-mount on WORK/mnt, mounted, stopped,
# killed and mounted again by run.sh and by the load (load.py, the outage
# phase), so that both know which process is the drive now.
#
#   drive.sh setup WORK BINARY      notes the binary and the account of the
#                                   running service (WORK/service.info)
#   drive.sh mount WORK [OPTION...] starts tarvik-mount with these options in
#                                   the background and waits until the drive
#                                   answers; prints "mounted: pid P (mount N)"
#   drive.sh stop WORK              SIGTERM; waits up to 60 s for the end;
#                                   prints "exit status N" (status 3: it did
#                                   not end)
#   drive.sh kill WORK              SIGKILL; waits for the end; the mount
#                                   point is left dead for the next mount to
#                                   take away; prints "exit status N"
#   drive.sh pending WORK           what `tarvik-mount --pending` says of the
#                                   account (the files waiting for upload)
#
# Files in WORK: drive.conf (binary, url, corp, user, ca), drive.password,
# drive.pid (the current tarvik-mount), drive.mounts (mounts so far),
# mount-N.log (output of mount N), drive.status-N (exit status of mount N,
# written when it ends). The environment (TMPDIR, USERPROFILE) comes from
# the caller: it places the library's cache and log.
set -euo pipefail

cmd="${1:?usage: drive.sh setup|mount|stop|kill|pending WORK ...}"
work="${2:?usage: drive.sh setup|mount|stop|kill|pending WORK ...}"
shift 2
mnt="$work/mnt"

conf() { sed -n "s/^$1: //p" "$work/drive.conf" | head -n 1; }
is_mounted() { grep -q " $mnt " /proc/self/mountinfo; }

setup() {
  local info="$work/service.info"
  value() { sed -n "s/^$1: //p" "$info" | head -n 1; }
  { echo "bin: ${1:?drive.sh setup needs the tarvik-mount binary}"
    echo "url: $(value url)"
    echo "corp: $(value demo-corp)"
    echo "user: $(value demo-user)"
    echo "ca: $(value ca-file)"; } >"$work/drive.conf"
  (umask 077; value demo-password >"$work/drive.password")
}

mount_drive() {
  local n pid
  n=$(( $(cat "$work/drive.mounts" 2>/dev/null || echo 0) + 1 ))
  echo "$n" >"$work/drive.mounts"
  rm -f "$work/drive.pid"
  # As in service.sh: the subshell keeps the exit status and holds none of
  # the caller's descriptors.
  ( CURL_CA_BUNDLE="$(conf ca)" "$(conf bin)" --url "$(conf url)" --corp "$(conf corp)" \
      --user "$(conf user)" --password-file "$work/drive.password" --log "$@" "$mnt" \
      >"$work/mount-$n.log" 2>&1 &
    echo $! >"$work/drive.pid"
    status=0
    wait $! || status=$?
    echo "$status" >"$work/drive.status-$n" ) </dev/null >/dev/null 2>&1 &
  for _ in $(seq 300); do
    [ -s "$work/drive.pid" ] && break
    sleep 0.1
  done
  pid=$(cat "$work/drive.pid")
  for _ in $(seq 300); do
    if is_mounted && timeout 10 ls "$mnt/Home" >/dev/null 2>&1; then
      echo "mounted: pid $pid (mount $n)"
      return 0
    fi
    [ -f "$work/drive.status-$n" ] && break
    sleep 0.1
  done
  echo "drive.sh: mount $n failed:" >&2
  cat "$work/mount-$n.log" >&2
  exit 1
}

# end SIGNAL SECONDS: sends the signal to the current tarvik-mount and waits
# for its exit status.
end() {
  local pid n
  pid=$(cat "$work/drive.pid" 2>/dev/null) || { echo "drive.sh: no drive running" >&2; exit 1; }
  n=$(cat "$work/drive.mounts")
  kill -"$1" "$pid" 2>/dev/null || true
  for _ in $(seq $(($2 * 10))); do
    [ -f "$work/drive.status-$n" ] && break
    sleep 0.1
  done
  if [ ! -f "$work/drive.status-$n" ]; then
    echo "drive.sh: tarvik-mount (pid $pid) did not end within $2 s of SIG$1" >&2
    exit 3
  fi
  rm -f "$work/drive.pid"
  echo "exit status $(cat "$work/drive.status-$n")"
}

case "$cmd" in
  setup) setup "$@" ;;
  mount) mount_drive "$@" ;;
  stop) end TERM 60 ;;
  kill) end KILL 30 ;;
  pending) CURL_CA_BUNDLE="$(conf ca)" "$(conf bin)" --pending --corp "$(conf corp)" --user "$(conf user)" ;;
  *) echo "drive.sh: unknown command $cmd" >&2; exit 2 ;;
esac
