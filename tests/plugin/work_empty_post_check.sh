#!/usr/bin/env bash
# After work_empty_post.js: assess-server saw the empty post with a Content-Length, not chunked.
work=$1 status=$2
fail() { echo "work_empty_post_check: $*" >&2; exit 1; }
[ "$status" = 0 ] || fail "the page exited with $status"
line=$(grep -F "POST /empty: received" "$work/server.err")
[ -n "$line" ] || fail "the server saw no post: $(cat "$work/server.err")"
echo "$line" | grep -qE ": received 1 part, 0 bytes \(Content-Length [0-9]+\)\$" ||
  fail "not sent with its length: $line"
exit 0
