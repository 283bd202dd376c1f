#!/usr/bin/env bash
# After work_save_killed.js: runs the page again over a large recording and kills vocle-page
# with SIGKILL as soon as it holds a file open in the target's folder, that is while it saves.
work=$1 status=$2
fail() { echo "work_save_killed_check: $*" >&2; exit 1; }
[ "$status" = 0 ] || fail "the first run exited with $status"
out=$work/out
cp "$out/take.raw" "$work/old.raw" || fail "the first run saved nothing"
# 96 MiB: long enough to write that it is seen writing.
head -c $((96 << 20)) /dev/urandom >"$work/big.raw"
library=$(readlink -f "$work/lib/libnpvocle.so") || fail "no library in $work/lib"
page="$(dirname "$(dirname "$library")")/bin/vocle-page"
"$page" --url http://127.0.0.1/work_save_killed.html --plugin "$work/lib/libnpvocle.so" \
  --timeout 120 "$work/work_save_killed.js" "$work" "" "" kill >"$work/kill.out" 2>"$work/kill.err" &
pid=$!
seen=
while kill -0 "$pid" 2>/dev/null; do
  seen=$(ls -l "/proc/$pid/fd" 2>/dev/null | grep -F -- " -> $out/")
  [ -n "$seen" ] && break
done
kill -KILL "$pid" 2>/dev/null
wait "$pid"
ended=$?
[ -n "$seen" ] || fail "the save ended (status $ended) before it was seen writing: $(cat "$work/kill.err")"
[ "$ended" = 137 ] || fail "the page ended with $ended, not by the kill"
echo "killed while it held: ${seen#* -> }"
left=$(cd "$out" && ls -A | paste -sd' ')
[ "$left" = take.raw ] || fail "the folder holds: $left"
cmp -s "$out/take.raw" "$work/old.raw" || cmp -s "$out/take.raw" "$work/big.raw" ||
  fail "take.raw is neither the old file nor the new one ($(stat -c %s "$out/take.raw") bytes)"
exit 0
