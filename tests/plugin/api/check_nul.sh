#!/usr/bin/env bash
# After script_api_nul.js: the files folder holds what the sound calls made and nothing else (no
# file named by a path cut at its NUL, no temporary file), the server received the one sound
# upload alone, and the log says why each NUL text was refused.
work=$1
status=$2
fail() { echo "check_nul: $*" >&2; exit 1; }
[ "$status" = 0 ] || fail "the page exited with $status"

seen=$(cd "$work/files" && find . -mindepth 1 | LC_ALL=C sort | paste -sd' ')
want="./empty ./first.wav ./keep ./third.wav"
[ "$seen" = "$want" ] || fail "the files folder holds: $seen; expected: $want"
[ "$(stat -c %s "$work/files/keep")" = 44 ] || fail "keep was changed"

requests=$(grep -a '^assess-server: POST .*: received' "$work/server.err" | sed 's/: received.*//' |
  paste -sd' ')
[ "$requests" = "assess-server: POST /echo-sentence" ] || fail "the server received: $requests"

log="$work/page.log"
for line in "path refused: it holds a NUL character" \
  "the address holds a NUL character, nothing posted" \
  "the cookie holds a NUL character, nothing posted" \
  ": Invalid argument"; do
  grep -aqF -- "$line" "$log" || fail "no log line with: $line"
done
exit 0
