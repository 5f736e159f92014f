#!/usr/bin/env bash
# The local service of a reliability run: started, stopped and started
# again on the same port with the same data directory (WORK/service).
#
#   service.sh start WORK [BINARY]  starts ambermoor-local --demo; the first
#                                   start (with BINARY) takes a free port pair,
#                                   later ones the port of the first
#   service.sh stop WORK [SIGNAL]   sends SIGNAL (TERM, KILL; default TERM) and
#                                   waits until the service has ended; prints
#                                   "exit status N"
#
# Files in WORK: service.info (the running service's "name: value" lines),
# admin-token (its admin token, new at every start), service.log (standard
# error of every start), service.pid, service.bin, service.port, and
# service.status-N (exit status of start N, written when it ends).
set -euo pipefail

cmd="${1:?usage: service.sh start|stop WORK ...}"
work="${2:?usage: service.sh start|stop WORK ...}"

start() {
  if [ -n "${1:-}" ]; then
    echo "$1" >"$work/service.bin"
    port=0
  else
    port=$(cat "$work/service.port")
  fi
  local bin starts
  bin=$(cat "$work/service.bin")
  starts=$(( $(cat "$work/service.starts" 2>/dev/null || echo 0) + 1 ))
  echo "$starts" >"$work/service.starts"
  rm -f "$work/service.info" "$work/service.pid"
  # The subshell waits for the service and keeps its exit status; it holds
  # none of the caller's descriptors, so a caller reading our output ends.
  ( "$bin" --data "$work/service" --port "$port" --demo >"$work/service.info" 2>>"$work/service.log" &
    echo $! >"$work/service.pid"
    status=0
    wait $! || status=$?
    echo "$status" >"$work/service.status-$starts" ) </dev/null >/dev/null 2>&1 &
  for _ in $(seq 300); do
    grep -q '^ready: yes' "$work/service.info" 2>/dev/null && [ -s "$work/service.pid" ] && break
    if [ -f "$work/service.status-$starts" ]; then
      echo "service.sh: ambermoor-local ended at start $starts (status $(cat "$work/service.status-$starts"))" >&2
      tail -n 5 "$work/service.log" >&2
      exit 1
    fi
    sleep 0.1
  done
  if ! grep -q '^ready: yes' "$work/service.info" 2>/dev/null; then
    echo "service.sh: ambermoor-local did not start within 30 s (start $starts)" >&2
    exit 1
  fi
  sed -n 's/^admin-token: //p' "$work/service.info" >"$work/admin-token"
  url=$(sed -n 's/^url: //p' "$work/service.info")
  port=${url##*:}
  echo "${port%/}" >"$work/service.port"
  echo "started: $url (start $starts, pid $(cat "$work/service.pid"))"
}

stop() {
  local sig="${1:-TERM}" pid starts
  pid=$(cat "$work/service.pid" 2>/dev/null) || { echo "service.sh: not running" >&2; exit 1; }
  starts=$(cat "$work/service.starts")
  kill -"$sig" "$pid" 2>/dev/null || true
  for _ in $(seq 600); do
    [ -f "$work/service.status-$starts" ] && break
    sleep 0.1
  done
  if [ ! -f "$work/service.status-$starts" ]; then
    echo "service.sh: ambermoor-local (pid $pid) did not end within 60 s of SIG$sig" >&2
    exit 1
  fi
  rm -f "$work/service.pid"
  echo "exit status $(cat "$work/service.status-$starts")"
}

case "$cmd" in
  start) start "${3:-}" ;;
  stop) stop "${3:-}" ;;
  *) echo "service.sh: unknown command $cmd" >&2; exit 2 ;;
esac
