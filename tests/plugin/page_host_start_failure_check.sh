#!/usr/bin/env bash
# After page_host_start_failure.js: status 1, the script never ran, and the one report names the
# audio system's own reason rather than an error code.
work=$1 status=$2
fail() { echo "page_host_start_failure_check: $*" >&2; exit 1; }
[ "$status" = 1 ] || fail "the page exited with $status, expected 1"
! grep -qF "the script ran" "$work/page.out" || fail "the script ran"
grep -qxF "vocle-page: the plug-in failed to initialise: Unanticipated host error" "$work/page.err" ||
  fail "no report of the audio system's reason: $(grep -F 'vocle-page:' "$work/page.err")"
exit 0
