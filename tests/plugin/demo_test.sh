#!/usr/bin/env bash
# Runs the README's demo exactly as `./run demo` does (tools/demo.sh over a build) and checks what
# a newcomer would look at: it ends with 0, every step printed, and the saved files decode with
# independent tools.
#   demo_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1 source=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/vocle-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() { echo "demo test: $*" >&2; echo "--- demo output ---" >&2; cat "$work/out" >&2; exit 1; }

bash "$source/tools/demo.sh" "$build" --work "$work/demo" >"$work/out" 2>&1
status=$?
[ "$status" = 0 ] || fail "the demo exited with $status"

for step in "1. recording" "2. detector statistics" "3. saved wav" "3. saved mp3" "4. playing back" \
  "5. assessing at http://127.0.0.1:" "server answer:" '"sentence": "the quick brown fox jumps over the lazy dog"'; do
  grep -qF -- "$step" "$work/out" || fail "missing from the output: $step"
done

records="$work/demo/records"
# The record's sample count, as get_record_info printed it.
count=$(sed -n 's/^   count: //p' "$work/out")
[ -n "$count" ] && [ "$count" -gt 16000 ] || fail "no plausible sample count in the output: '$count'"

# sox reads the WAV header: 16 kHz, mono, 16-bit, exactly the record's samples.
[ "$(sox --i -r "$records/demo.wav")" = 16000 ] || fail "demo.wav is not 16 kHz"
[ "$(sox --i -c "$records/demo.wav")" = 1 ] || fail "demo.wav is not mono"
[ "$(sox --i -s "$records/demo.wav")" = "$count" ] || fail "demo.wav does not hold $count samples"
# mpg123 decodes the MP3 whole.
mpg123 -t -v "$records/demo.mp3" >"$work/mpg123" 2>&1 || fail "mpg123 cannot decode demo.mp3: $(cat "$work/mpg123")"
grep -q "16000 mono" "$work/mpg123" || fail "demo.mp3 is not 16 kHz mono: $(cat "$work/mpg123")"
# What was played reached the virtual speaker.
[ -s "$work/demo/speaker.raw" ] || fail "nothing reached the virtual speaker"
exit 0
