#!/usr/bin/env bash
# After work_playback.js: the speaker received the speech record's whole blocks, sample for
# sample, after the silence the device puts first.
work=$1 status=$2
[ "$status" = 0 ] || { echo "work_playback_check: the page exited with $status" >&2; exit 1; }

# Offset of the first byte that is not zero, or the file's size when all of it is silence.
first_sound() {
  local at
  at=$(cmp "$1" /dev/zero 2>/dev/null | sed -n 's/.* differ: byte \([0-9]*\),.*/\1/p')
  if [ -n "$at" ]; then echo $((at - 1)); else stat -c %s "$1"; fi
}

speech="$work/speech.raw" speaker="$work/speaker.raw"
samples=$(($(stat -c %s "$speech") / 2))
played=$((samples / 1024 * 1024 * 2))
from_speech=$(first_sound "$speech")
from_speaker=$(first_sound "$speaker")
offset=$((from_speaker - from_speech))
if [ "$from_speech" -ge "$played" ] || [ "$offset" -lt 0 ] || [ $((offset % 2)) != 0 ]; then
  echo "work_playback_check: no speech on the speaker (sound at byte $from_speaker of" \
    "$(stat -c %s "$speaker"), in the record at byte $from_speech)" >&2
  exit 1
fi
if ! cmp -n "$played" -i "$offset:0" "$speaker" "$speech"; then
  echo "work_playback_check: the speaker's samples from byte $offset differ from the record" >&2
  exit 1
fi
echo "work_playback_check: $((played / 2)) samples played from byte $offset of the speaker"
