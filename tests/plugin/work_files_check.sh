#!/usr/bin/env bash
# After work_files.js: every saved file read by a tool of its own format's, against the speech
# the page loaded (work/speech.raw: 16 kHz mono 16-bit).
work=$1 status=$2
[ "$status" = 0 ] || { echo "work_files_check: the page exited with $status" >&2; exit 1; }
out=$work/out speech=$work/speech.raw
n=$(($(stat -c %s "$speech") / 2))
bad=0
fail() {
  echo "work_files_check: $*" >&2
  bad=1
}
# The sample count of a WAV file, and its samples as raw 16-bit.
samples_of() { sox --i -s "$1" 2>/dev/null; }
rms_of() { sox -t raw -r 16000 -e signed-integer -b 16 -c 1 "$1" -n stat 2>&1 |
  sed -n 's/^RMS *amplitude: *//p'; }
# The decoded samples follow the speech: their difference is small beside the speech itself.
close_to_speech() {
  local decoded=$1 what=$2
  head -c $((2 * n)) "$decoded" >"$decoded.head"
  sox -m -v 1 -t raw -r 16000 -e signed-integer -b 16 -c 1 "$speech" \
    -v -1 -t raw -r 16000 -e signed-integer -b 16 -c 1 "$decoded.head" \
    -t raw -e signed-integer -b 16 "$decoded.diff" 2>/dev/null
  local signal noise
  signal=$(rms_of "$speech") noise=$(rms_of "$decoded.diff")
  awk -v s="$signal" -v d="$noise" 'BEGIN { exit !(s > 0 && d < s / 4) }' ||
    fail "$what: difference RMS $noise beside speech RMS $signal"
}

# raw: the samples themselves.
cmp -s "$out/rec.raw" "$speech" || fail "rec.raw differs from the speech"

# wav: PCM 16 kHz mono 16-bit, a 44-byte header, the same samples.
[ "$(stat -c %s "$out/rec.wav")" = $((44 + 2 * n)) ] || fail "rec.wav has the wrong size"
[ "$(sox --i -r "$out/rec.wav")/$(sox --i -c "$out/rec.wav")/$(sox --i -b "$out/rec.wav")" = 16000/1/16 ] ||
  fail "rec.wav is not 16 kHz mono 16-bit: $(sox --i "$out/rec.wav")"
sox "$out/rec.wav" -t raw - 2>/dev/null | cmp -s - "$speech" || fail "rec.wav's samples differ"

# wav_dvi_adpcm: IMA ADPCM in WAV that counts n samples in its fact chunk, decodable, close to
# the speech. The last block is short, and decoders differ on how much of it they give.
adpcm=$out/rec.wav_dvi_adpcm
[ "$(sox --i -e "$adpcm" 2>/dev/null)" = "IMA ADPCM" ] || fail "rec.wav_dvi_adpcm is not IMA ADPCM"
[ "$(od -An -tu4 -j48 -N4 "$adpcm" | tr -d ' ')" = "$n" ] || fail "rec.wav_dvi_adpcm does not count $n samples"
if sox -t wav "$adpcm" -t raw -e signed-integer -b 16 "$out/adpcm.raw" 2>/dev/null; then
  m=$(($(stat -c %s "$out/adpcm.raw") / 2))
  { [ "$m" -gt $((n - 1017)) ] && [ "$m" -lt $((n + 1017)) ]; } || fail "rec.wav_dvi_adpcm holds $m samples for $n"
  close_to_speech "$out/adpcm.raw" rec.wav_dvi_adpcm
else
  fail "sox cannot decode rec.wav_dvi_adpcm"
fi

# spx: Ogg Speex, narrow band, decodable to about the record's length.
probe() { ffprobe -v error -show_entries stream=codec_name,sample_rate,channels -of csv=p=0 "$1"; }
[ "$(probe "$out/rec.spx")" = "speex,8000,1" ] || fail "rec.spx: $(probe "$out/rec.spx" 2>&1)"
if speexdec "$out/rec.spx" "$out/spx.wav" >/dev/null 2>&1; then
  m=$(samples_of "$out/spx.wav")
  { [ "$m" -ge $((n / 2 - 160)) ] && [ "$m" -le $((n / 2 + 320)) ]; } || fail "rec.spx decodes to $m samples at 8 kHz for $n at 16 kHz"
else
  fail "speexdec cannot decode rec.spx"
fi

# opus: Ogg Opus, mono, decodable to the record's length.
opusinfo "$out/rec.opus" >/dev/null 2>&1 || fail "opusinfo rejects rec.opus"
[ "$(probe "$out/rec.opus" | cut -d, -f1,3)" = "opus,1" ] || fail "rec.opus: $(probe "$out/rec.opus" 2>&1)"
if opusdec --quiet --rate 16000 "$out/rec.opus" "$out/opus.wav" >/dev/null 2>&1; then
  m=$(samples_of "$out/opus.wav")
  { [ "$m" -ge $((n - 320)) ] && [ "$m" -le $((n + 320)) ]; } || fail "rec.opus decodes to $m samples for $n"
else
  fail "opusdec cannot decode rec.opus"
fi

# mp3: MPEG 2 layer III at 16 kHz mono, decodable to at least the record's length.
mpg123 -t -v "$out/rec.mp3" 2>&1 | grep -q "MPEG 2.0 L III.* 16000 mono" ||
  fail "rec.mp3: $(mpg123 -t -v "$out/rec.mp3" 2>&1 | grep -m1 MPEG)"
if mpg123 -q -w "$out/mp3.wav" "$out/rec.mp3" 2>/dev/null; then
  m=$(samples_of "$out/mp3.wav")
  { [ "$m" -ge "$n" ] && [ "$m" -le $((n + 4 * 1152)) ]; } || fail "rec.mp3 decodes to $m samples for $n"
else
  fail "mpg123 cannot decode rec.mp3"
fi

# The list save: records 0 and 2 written, nothing where the folders were missing.
cmp -s "$out/list0.raw" "$speech" || fail "list0.raw differs from the speech"
[ "$(samples_of "$out/list2.wav")" = $((22 + 2 * n)) ] || fail "list2.wav does not hold record 2"
[ ! -e "$work/no" ] || fail "the failed list record made a folder"
# A save in an unknown format writes nothing.
[ ! -e "$out/bad.WAV" ] || fail "a save in an unknown format wrote bad.WAV"

[ "$bad" = 0 ] && echo "work_files_check: all files read back"
exit $bad
