#!/usr/bin/env bash
# Log lines of the option-map methods: the entry lines of loads and saves, and the page's own
# log lines passed on as they are.
work=$1
status=$2
log="$work/page.log"
fail() { echo "check_options_log: $*" >&2; exit 1; }
[ "$status" = 0 ] || fail "the page exited with $status"
[ -f "$log" ] || fail "no log file"
for method in load_record save_record; do
  grep -qE "\[INFO *\] .* vocleAPI::$method - vocle\[thread:[0-9]+\] entered\$" "$log" ||
    fail "no entry line of $method"
done
grep -qE "\[INFO *\] .* - vocle\[thread:[0-9]+\] page says 100% done %1%\$" "$log" ||
  fail "the page's line is not in the log as given"
grep -qE "\[WARN *\] .* - vocle\[thread:[0-9]+\] unknown log type WARN of message shouting\$" "$log" ||
  fail "no warning for an unknown log type"
exit 0
