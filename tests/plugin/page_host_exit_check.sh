#!/usr/bin/env bash
# The expectations of page_host_exit.js, case by case: run as CHECK WORK_DIR PAGE_STATUS.
set -u
work=$1 status=$2
here=$(dirname "$0")
script=page_host_exit.js
out=$work/page.out err=$work/page.err
mode=$(sed -n 's/^mode: //p' "$out" | head -n 1)
# Only a refused page never runs the script.
[ -n "$mode" ] || mode=refused

failures=0
fail() { echo "page_host_exit_check ($mode): $*" >&2; failures=$((failures + 1)); }
expect_status() { [ "$status" = "$1" ] || fail "exit status $status, expected $1"; }
has() { grep -qF -- "$2" "$1" || fail "$(basename "$1") lacks: $2"; }
lacks() { ! grep -qF -- "$2" "$1" || fail "$(basename "$1") has: $2"; }
# "SCRIPT:LINE: TEXT" at the start of a line of the error output, LINE from the "line:NAME" mark.
reported_at() {
  local line
  line=$(grep -n "line:$1\$" "$here/$script" | cut -d: -f1)
  [ -n "$line" ] || { fail "no line:$1 mark in $script"; return; }
  grep -qE "^[^ ]*$script:$line: $2" "$err" || fail "page.err lacks $script:$line: $2"
}

case $mode in
  done_code)
    expect_status 3
    has "$out" "the rest of the turn runs"
    lacks "$out" "ran after the end" ;;
  done_default)
    expect_status 0
    lacks "$out" "ran after the end" ;;
  done_out_of_range)
    expect_status 1
    reported_at done_out_of_range "RangeError" ;;
  done_then_error)
    expect_status 1
    reported_at done_then_error "Error: after done" ;;
  script_error)
    expect_status 1
    reported_at script_error "Error: thrown on purpose"
    lacks "$out" "ran after the end" ;;
  thrown_value)
    expect_status 1
    has "$err" "a plain string" ;;
  timer_error)
    expect_status 1
    reported_at timer_error "TypeError"
    lacks "$out" "ran after the end" ;;
  callback_error)
    expect_status 1
    reported_at callback_error "TypeError: callback threw"
    lacks "$out" "ran after the end" ;;
  caught_error)
    expect_status 0
    has "$out" "caught: true"
    has "$out" "caught: thrown on purpose" ;;
  refused)
    expect_status 1
    has "$err" "vocle-page: the plug-in gave the page no object: "
    lacks "$out" "the script ran" ;;
  console)
    expect_status 0
    has "$out" 'log-line text 1 2.5 true null undefined [1,"a"] {"b":{"c":2}}'
    has "$out" "info-line"
    has "$err" "warn-line 7"
    has "$err" "error-line Error: shown"
    has "$out" "plugin-line [object Plugin]"
    lacks "$out" "warn-line"
    lacks "$err" "info-line" ;;
  *)
    fail "unknown case" ;;
esac
exit $((failures != 0))
