#!/usr/bin/env bash
# After callbacks_simple.js: the page ended cleanly, and the worker's delivery through a host
# without apply_function was dropped with its reason in the log.
work=$1 status=$2
[ "$status" = 0 ] || { echo "callbacks_simple_check: the page exited with $status" >&2; exit 1; }
log=$work/data/Tarvix/simple.log
line='delivery dropped: jskey_funchost_simple get m_apply_function failed'
if ! grep -q "\[ERROR\].*$line\$" "$log"; then
  echo "callbacks_simple_check: no \"$line\" error in the log" >&2
  exit 1
fi
echo "callbacks_simple_check: the dropped delivery is logged"
