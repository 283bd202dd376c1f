#!/usr/bin/env bash
# After plugin_core_logging.js: the log file and standard error hold what the "; expect:" line of
# the run's conf asks for:
#   file        a log file at "log.file", and the start-up folders made before it (without it:
#               neither the file nor the folders exist)
#   console     log lines on standard error as well (without it: none there)
#   levels=A,B  the page's marker lines of exactly these levels reach each target
#   copies=N    in the file each of them stands N times, and the start-up jobs ran N times
work=$1 status=$2
fail() {
  echo "plugin_core_logging_check: $*" >&2
  exit 1
}
[ "$status" = 0 ] || fail "the page exited with $status"

expect=" $(sed -n 's/^; expect: //p' "$work/lib/vocle.conf") "
has() { [[ $expect == *" $1 "* ]]; }
setting() { sed -n "s/.* $1=\([^ ]*\) .*/\1/p" <<<"$expect"; }
levels=",$(setting levels),"
copies=$(setting copies)

log=$work/data/Tarvix/logs/plugin.log
made=$work/data/Tarvix/made
err=$work/page.err
count() { grep -c -- "$1" "$2" 2>/dev/null; }

if has file; then
  [ -f "$log" ] || fail "no log file at $log"
  [ -d "$made" ] || fail "the start-up folders were not made"
else
  [ ! -e "$log" ] || fail "a log file without a file target"
  [ ! -e "$made" ] || fail "start-up jobs without a file target"
fi
# The start-up jobs announce themselves on standard output, once per "file" word.
jobs=$(count '^\[info\] on settings::startup()$' "$work/page.out")
[ "$jobs" = "$copies" ] || fail "the start-up jobs ran $jobs times, expected $copies"

for level in debug info warn; do
  line="vocle\[thread:[0-9]*\] page-marker-$level\$"
  want=0 want_err=0
  if [[ $levels == *",$level,"* ]]; then
    want=$copies
    has console && want_err=1
  fi
  if has file; then
    seen=$(count "$line" "$log")
    [ "$seen" = "$want" ] || fail "the $level marker stands $seen times in the file, expected $want"
  fi
  seen=$(count "$line" "$err")
  [ "$seen" = "$want_err" ] || fail "the $level marker stands $seen times on standard error," \
    "expected $want_err"
done
if ! has console && grep -q 'vocle\[thread:' "$err"; then
  fail "log lines on standard error without a console target"
fi

if has file && [[ $levels == *",info,"* ]]; then
  # Start and end of the library; the end is written while the library unloads.
  for fn in vocle7::StaticInitialize vocle7::StaticDeinitialize; do
    seen=$(count " $fn - vocle\[thread:[0-9]*\] entered\$" "$log")
    [ "$seen" = "$copies" ] || fail "$fn's entered line stands $seen times, expected $copies"
  done
  # Only the end itself logs after it: the wait for the workers, in the studio.
  first_end=$(grep -n "StaticDeinitialize - .* entered\$" "$log" | head -n 1 | cut -d: -f1)
  if tail -n +"${first_end:-1}" "$log" | grep -v -e 'vocle7::StaticDeinitialize - ' \
    -e 'vocle::audio::studio::shutdown_workers - ' | grep -q .; then
    fail "the end's entered line is not followed by the end's own lines only"
  fi
  # The file written is the file the plug-in names.
  grep -qF "logfile: $log" "$log" || fail "the log does not name its own path"
fi
echo "plugin_core_logging_check: as expected:$expect"
