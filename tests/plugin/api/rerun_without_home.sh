#!/usr/bin/env bash
# Runs script_api_no_appdata.js a second time in the same work folder, now with neither HOME nor
# XDG_DATA_HOME, so that "@{appdata}" cannot be found.
work=$1
status=$2
fail() { echo "rerun_without_home: $*" >&2; exit 1; }
[ "$status" = 0 ] || fail "the first run exited with $status"
library=$(readlink -f "$work/lib/libnpvocle.so") || fail "no library in $work/lib"
page="$(dirname "$(dirname "$library")")/bin/vocle-page"
[ -x "$page" ] || fail "no vocle-page beside $library"
# The page as the runner made it, with its test kit; the source alone when run without one.
script="$work/script_api_no_appdata.js"
[ -f "$script" ] || script="$(cd "$(dirname "$0")/.." && pwd)/script_api_no_appdata.js"
env -u HOME -u XDG_DATA_HOME "$page" --url http://127.0.0.1/script_api_no_appdata.html \
  --plugin "$work/lib/libnpvocle.so" --timeout 60 "$script" "$work" "" "" no-home
