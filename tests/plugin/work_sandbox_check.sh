#!/usr/bin/env bash
# After work_sandbox.js: the files are at the default names, hold the recording, and nothing was
# written at the page's paths.
work=$1 status=$2
[ "$status" = 0 ] || { echo "work_sandbox_check: the page exited with $status" >&2; exit 1; }
dir=$work/data/Tarvix
bad=0
fail() {
  echo "work_sandbox_check: $*" >&2
  bad=1
}
n=$(sed -n 's/^recorded \([0-9]*\) samples$/\1/p' "$work/page.out")
[ -n "$n" ] && [ "$n" -gt 0 ] || { echo "work_sandbox_check: no recording in page.out" >&2; exit 1; }
# Capture is exact from the microphone's first sample.
[ "$(stat -c %s "$dir/test.0raw")" = $((2 * n)) ] || fail "test.0raw does not hold $n samples"
cmp -s -n $((2 * n)) "$dir/test.0raw" "$work/mic.raw" || fail "test.0raw differs from the microphone"
[ "$(sox --i -s "$dir/test.wav" 2>/dev/null)" = "$n" ] || fail "test.wav does not hold $n samples"
sox "$dir/test.wav" -t raw - 2>/dev/null | cmp -s - "$dir/test.0raw" || fail "test.wav's samples differ"
mpg123 -t -v "$dir/test.0mp3" 2>&1 | grep -q "MPEG 2.0 L III.* 16000 mono" || fail "test.0mp3 is no MP3"
for f in elsewhere.wav x.raw; do
  [ ! -e "$work/$f" ] || fail "$f was written at the page's path"
done
[ "$bad" = 0 ] && echo "work_sandbox_check: default files in place"
exit $bad
