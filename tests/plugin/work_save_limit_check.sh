#!/usr/bin/env bash
# After work_save_limit.js: the saves within the limit are there, the replaced file still holds
# what it held before, and nothing else is in the folder: no file past the limit, no temporary.
work=$1 status=$2
fail() { echo "work_save_limit_check: $*" >&2; exit 1; }
[ "$status" = 0 ] || fail "the page exited with $status"
seen=$(cd "$work/out" && ls -A | paste -sd' ')
[ "$seen" = "after.raw kept.raw list1.raw" ] || fail "the folder holds: $seen"
for f in after.raw kept.raw list1.raw; do
  cmp -s "$work/out/$f" "$work/mic.raw" || fail "$f does not hold the small record"
done
exit 0
