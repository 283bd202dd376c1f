#!/usr/bin/env bash
# The expectations of page_host_timeout.js: run as CHECK WORK_DIR PAGE_STATUS.
set -u
work=$1 status=$2
failures=0
[ "$status" = 124 ] || { echo "page_host_timeout_check: exit status $status, expected 124" >&2; failures=1; }
grep -q "^vocle-page: time-out" "$work/page.err" ||
  { echo "page_host_timeout_check: no time-out line on standard error" >&2; failures=1; }
exit $failures
