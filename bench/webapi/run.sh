#!/usr/bin/env bash
# Builds and runs the download benchmark and writes bench/webapi/REPORT.md.
# Usage: bench/webapi/run.sh [build-dir]   (default: build-bench-webapi)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${1:-$root/build-bench-webapi}"
if [ ! -f "$build/build.ninja" ]; then
  cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
ninja -C "$build" -j2 webapi_download_bench >/dev/null
bin="$(find "$build" -name webapi_download_bench -type f -perm -u+x | head -1)"
out="$("$bin" 64)"
echo "$out"
{
  echo "# Web API client: block download throughput"
  echo
  echo "64 \`downloadBlock\` calls of one 8 MiB block from the local service (a new"
  echo "TLS connection each, body written to disk and hashed with SHA-1 while it"
  echo "arrives, then checked against the block id), against the \`curl\` program"
  echo "fetching the same 64 blocks from the same service in the same run (one"
  echo "process, \"Connection: close\" so it also opens a connection per block)."
  echo "Goal: ratio at least 0.9; peak resident memory of the library process"
  echo "under 64 MiB."
  echo
  echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
  echo "Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "Command: \`bench/webapi/run.sh ${1:-}\`"
  echo
  echo '```'
  echo "$out"
  echo '```'
} > "$here/REPORT.md"
