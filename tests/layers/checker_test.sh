#!/usr/bin/env bash
# scripts/layers must refuse what breaks the floors: an include of a higher
# floor, two folders that include each other, a folder on no floor, and
# compat/ including the library; and pass a tree whose includes point down.
set -u
layers=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

# make_tree DIR: a tree whose includes all point down.
make_tree() {
  mkdir -p "$1/tarvik/log" "$1/tarvik/core" "$1/tarvik/cache" "$1/tarvik/include" "$1/compat/dokan/src"
  printf '#pragma once\n' >"$1/tarvik/log/log.h"
  printf '#include "log/log.h"\n#include "tarvik.h"\n' >"$1/tarvik/core/state.h"
  printf '#include "core/state.h"\n#include "cache/blocks.h"\n' >"$1/tarvik/cache/blocks.cpp"
  printf '#pragma once\n' >"$1/tarvik/cache/blocks.h"
  printf '#include "dokan.h"\n' >"$1/compat/dokan/src/fuse.cpp"
}

# expect WANT NAME: runs the checker on $tmp/NAME; WANT is pass or fail.
expect() {
  local out rc
  out=$(python3 "$layers" "$tmp/$2" 2>&1)
  rc=$?
  if [ "$1" = pass ] && [ $rc -ne 0 ]; then
    echo "FAIL $2: refused a sound tree:"; echo "$out"; failures=$((failures + 1))
  elif [ "$1" = fail ] && [ $rc -ne 1 ]; then
    echo "FAIL $2: passed (rc $rc):"; echo "$out"; failures=$((failures + 1))
  elif [ "$1" = fail ] && ! grep -q "^LAYERS: .*$3" <<<"$out"; then
    echo "FAIL $2: no line naming $3:"; echo "$out"; failures=$((failures + 1))
  else
    echo "ok $2"
  fi
}

make_tree "$tmp/sound"
expect pass sound

make_tree "$tmp/upward"
printf '#include "cache/blocks.h"\n' >>"$tmp/upward/tarvik/core/state.h"
expect fail upward "core/state.h:3: core includes cache/blocks.h"

make_tree "$tmp/mutual"
printf '#include "core/state.h"\n' >"$tmp/mutual/tarvik/log/log.cpp"
printf '#include "log/log.h"\n' >>"$tmp/mutual/tarvik/core/state.h"
expect fail mutual "log/log.cpp:1: log includes core/state.h"

make_tree "$tmp/nofloor"
mkdir -p "$tmp/nofloor/tarvik/misc"
printf '#include "log/log.h"\n' >"$tmp/nofloor/tarvik/misc/misc.cpp"
expect fail nofloor "tarvik/misc/ is on no floor"

make_tree "$tmp/compat"
printf '#include "core/state.h"\n' >>"$tmp/compat/compat/dokan/src/fuse.cpp"
expect fail compat "compat includes core/state.h"

make_tree "$tmp/public"
printf '#include "tarvik.h"\n' >>"$tmp/public/compat/dokan/src/fuse.cpp"
expect fail public "compat includes tarvik.h"

exit $((failures > 0))
