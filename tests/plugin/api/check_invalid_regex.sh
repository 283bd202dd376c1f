#!/usr/bin/env bash
# A page whose trusted list breaks before it matches gets no plug-in object: vocle-page ends
# with status 1 and says why.
work=$1
status=$2
fail() { echo "check_invalid_regex: $*" >&2; exit 1; }
[ "$status" = 1 ] || fail "vocle-page exited with $status, expected 1"
grep -qi "regular expression" "$work/page.err" || fail "no regular-expression error on standard error"
if grep -q "plug-in object present" "$work/page.out"; then
  fail "the page got a plug-in object"
fi
exit 0
