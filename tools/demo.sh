#!/usr/bin/env bash
# The demo behind `./run demo`: records a sentence, shows what the detector saw, saves the record
# as WAV and MP3, plays it back and has it assessed by a local assessment server.
#
#   tools/demo.sh BUILD_DIR [--live] [--url URL] [--work DIR]
#
# Without --live the sentence comes from a virtual microphone that espeak-ng speaks into, and the
# playback goes to a virtual speaker (ALSA file devices), so no sound card is needed. With --live
# the machine's default devices are used and you say the sentence yourself.
# A local tools/assess-server runs for the length of the demo, unless --url names another
# recognition address. Everything the demo makes goes into BUILD_DIR/demo (or --work DIR): the
# plug-in's folder with its configuration, records/ with the saved files, the server's log.
set -euo pipefail

build=$1
shift
live=0 url= work=
while [ $# -gt 0 ]; do
  case "$1" in
    --live) live=1; shift ;;
    --url) url=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    *) echo "demo: unknown option $1 (use --live, --url URL, --work DIR)" >&2; exit 2 ;;
  esac
done

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$build" && pwd)
sentence="the quick brown fox jumps over the lazy dog"
[ -n "$work" ] || work="$build/demo"
server_pid=

stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
  fi
}
trap stop_server EXIT
trap 'stop_server; exit 130' INT
trap 'stop_server; exit 143' TERM

rm -rf "$work"
mkdir -p "$work/lib" "$work/records"

if [ -z "$url" ]; then
  "$build/bin/assess-server" --port 0 >"$work/server.out" 2>"$work/server.log" &
  server_pid=$!
  line=
  for _ in $(seq 1 100); do
    line=$(head -n 1 "$work/server.out" 2>/dev/null || true)
    case "$line" in listening\ on\ *) break ;; esac
    sleep 0.05
  done
  case "$line" in
    listening\ on\ *) url="http://${line#listening on }/1/assess.wav" ;;
    *) echo "demo: the assessment server did not start:" >&2; cat "$work/server.log" >&2; exit 1 ;;
  esac
  echo "assessment server: $url (log: $work/server.log)"
fi

# The plug-in reads the configuration of the folder it is loaded from: a folder of the demo's own
# that lets the page name where its records go.
ln -s "$build/lib/libnpvocle.so" "$work/lib/libnpvocle.so"
cp "$source_dir/conf/lang.conf" "$work/lib/lang.conf"
cat >"$work/lib/vocle.conf" <<CONF
[system]
trusted=http://127\.0\.0\.1/.*
file_permission=all
CONF

if [ "$live" = 1 ]; then
  echo "say this when the level meter moves: \"$sentence\""
  timeout=60
else
  # A virtual microphone that speaks the sentence (then a second of silence, which also ends the
  # utterance) and a virtual speaker that writes what is played into a file.
  espeak-ng -w "$work/speech.wav" "$sentence" >/dev/null 2>&1
  sox -D "$work/speech.wav" -t raw -r 16000 -e signed-integer -b 16 -c 1 -L "$work/mic.raw" pad 0.5 2 \
    >/dev/null 2>&1
  cat >"$work/asound.conf" <<ALSA
pcm.!default { type asym
  capture.pcm { type plug; slave { pcm { type file; slave.pcm { type null }; file "/dev/null"
    infile "$work/mic.raw"; format "raw" }; format S16_LE; rate 16000; channels 1 } }
  playback.pcm { type plug; slave { pcm { type file; slave.pcm { type null }
    file "$work/speaker.raw"; format "raw" }; format S16_LE; rate 16000; channels 1 } } }
ALSA
  export ALSA_CONFIG_PATH="$work/asound.conf"
  export JACK_NO_START_SERVER=1
  echo "virtual microphone: espeak-ng says \"$sentence\"; virtual speaker: $work/speaker.raw"
  timeout=30
fi

tty_arg=
[ -t 1 ] && tty_arg=tty
# PortAudio looks for a JACK server as it starts; there is none, and JACK says so at length.
quiet_jack() { grep -v -e '^Cannot connect to server' -e '^jack server is not running' -e '^JackShm' >&2 || true; }
status=0
"$build/bin/vocle-page" --url http://127.0.0.1/demo.html --plugin "$work/lib/libnpvocle.so" \
  --timeout "$timeout" "$source_dir/examples/demo.js" "$work/records" "$url" "$sentence" $tty_arg \
  2> >(quiet_jack) || status=$?
exit "$status"
