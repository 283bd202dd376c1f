#!/usr/bin/env bash
# After page_host_no_home.js: the page ran, and "@{appdata}" is the user database's home folder
# followed by .local/share/Tarvix.
work=$1 status=$2
fail() { echo "page_host_no_home_check: $*" >&2; exit 1; }
[ "$status" = 0 ] || fail "the page exited with $status"
home=$(getent passwd "$(id -u)" | cut -d: -f6)
[ -n "$home" ] || fail "the user database gives this user no home folder"
uuid='[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}'
grep -qE "^log_file: ${home%/}/\.local/share/Tarvix/vocle-$uuid\.log\$" "$work/page.out" ||
  fail "the log file is not under $home: $(grep '^log_file: ' "$work/page.out")"
exit 0
