#!/usr/bin/env bash
# The file-system methods' log lines, with the expanded paths and the platform's texts.
work=$1
status=$2
log="$work/page.log"
fail() { echo "check_filesystem_log: $*" >&2; exit 1; }
[ "$status" = 0 ] || fail "the page exited with $status"
[ -f "$log" ] || fail "no log file"
appdata="$work/data/Tarvix"
lines=(
  "vocleAPI::filesystem_remove - vocle[thread:"
  "vocleAPI::filesystem_exists - vocle[thread:"
  "] entered"
  "] $appdata/one.wav exists"
  "] $appdata/missing.wav does not exists: No such file or directory"
  "] $appdata/one.wav has been removed"
  "] failed to remove $appdata/missing.wav: Success"
  "] failed to remove $appdata/full: Directory not empty"
  "]  does not exists: No such file or directory"
)
for line in "${lines[@]}"; do
  grep -qF -- "$line" "$log" || fail "no log line with: $line"
done
# The level of each line: successes at info, failures at error.
grep -F -- "has been removed" "$log" | grep -qv "\[INFO" && fail "a removal logged above info"
grep -F -- "failed to remove" "$log" | grep -qv "\[ERROR" && fail "a failed removal not at error"
grep -F -- "does not exists" "$log" | grep -qv "\[ERROR" && fail "a missing path not at error"
exit 0
