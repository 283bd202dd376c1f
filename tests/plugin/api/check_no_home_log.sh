#!/usr/bin/env bash
# After script_api_no_appdata.js logged without a home folder: the start went on without the log
# file, saying so once before logging began and once in the log, on the console.
work=$1
status=$2
fail() { echo "check_no_home_log: $*" >&2; exit 1; }
[ "$status" = 0 ] || fail "the page exited with $status"
grep -qxF "[warn] no log file, the file target is skipped: Could not find path" "$work/page.out" ||
  fail "no warning that the log file target is skipped"
grep -qE "\[WARN *\] .* - vocle\[thread:[0-9]+\] no log file: Could not find path\$" "$work/page.err" ||
  fail "the console log does not say that there is no log file"
grep -qE "\[INFO *\] .* - vocle\[thread:[0-9]+\] audio system initialized!\$" "$work/page.err" ||
  fail "the console log does not show the audio system started"
[ -z "$(find "$work" -name 'vocle-*.log')" ] || fail "a log file was made: $(find "$work" -name 'vocle-*.log')"
exit 0
