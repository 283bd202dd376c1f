#!/usr/bin/env bash
# Runs one page script under vocle-page the way a page meets the plug-in, in a world of its own:
#
#   run_page_test.sh --build DIR --source DIR --script FILE.js [options] [-- ARG ...]
#
# The work folder holds everything the run touches:
#   lib/          a symlink to the build's libnpvocle.so, with vocle.conf and lang.conf beside it
#   data/         XDG_DATA_HOME, so "@{appdata}" is data/Tarvix
#   desktop/      XDG_DESKTOP_DIR ("@{desktop}")
#   home/         HOME
#   asound.conf   the virtual microphone and speaker (ALSA file plugins)
#   mic.raw       what the microphone delivers: one second of silence, or the speech fixture
#   speaker.raw   what the speaker was given by the last playback
#   speech.raw    the speech fixture, when asked for (16 kHz mono S16_LE, 1 s silence each side)
#   page.out, page.err   the page's standard output and error (printed after the run)
#
# Options:
#   --conf FILE        vocle.conf for the run (default: the shipped one). "@WORK@" in it stands for
#                      the work folder, "@SERVER@" for the assess-server's base URL.
#   --url URL          the page's location (default http://127.0.0.1/<script name>.html)
#   --speech           the microphone speaks the fixture sentence, then 1 s of silence
#   --server           start tools/assess-server on a free port for the run
#   --check FILE.sh    run after the page, as: FILE.sh WORK_DIR PAGE_EXIT_CODE; its status is the
#                      test's (default: the page's exit status must be 0)
#   --expect N         the page's exit status that counts as success (default 0)
#   --timeout S        vocle-page's --timeout (default 60)
#   --copy             copy the library instead of linking it
#   --plain-args       give the page only the ARGs after "--" (for example pages, which know
#                      nothing of this runner); "@WORK@" and "@SERVER@" in them are replaced
#   --kit FILE.js      a test kit (path relative to this folder, e.g. kit/steps.js; may be given
#                      more than once): the page runs the script with the kits after it
#   --no-home          vocle-page runs with neither HOME nor XDG_DATA_HOME, as a service may
#   --unknown-user     vocle-page runs as a user that the user database does not know, so that it
#                      has no home folder at all (in a user namespace of its own, or, where none
#                      can be made, as root through setpriv); the test is skipped (77) where
#                      neither is possible
#   --file-limit BYTES vocle-page runs under that file-size limit (RLIMIT_FSIZE)
#   --broken-audio     the ALSA configuration does not parse, so the audio system cannot start
#
# With --kit the page script is work/<script name>.js: the script unchanged, then each kit after a
# comment line naming it. The kits come last so that the script's own line numbers stay as they
# are in error reports; this works because a kit only declares functions (hoisted) and variables
# without initial values (a kit's top-level statements would run after the script's). Lines past
# the script's end belong to the kits: a failed run prints where each kit starts. The page's
# default URL is still made from the original script's name.
#
# The page script gets: args[0] the work folder, args[1] the server's base URL ("" without
# --server), args[2] the fixture sentence, then the ARGs after "--".
set -uo pipefail

build= source= script= conf= url= speech=0 server=0 check= expect=0 timeout=60 copy=0 plain=0
no_home=0 unknown_user=0 file_limit= broken_audio=0 extra=() kits=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --source) source=$2; shift 2 ;;
    --script) script=$2; shift 2 ;;
    --conf) conf=$2; shift 2 ;;
    --url) url=$2; shift 2 ;;
    --speech) speech=1; shift ;;
    --server) server=1; shift ;;
    --check) check=$2; shift 2 ;;
    --expect) expect=$2; shift 2 ;;
    --timeout) timeout=$2; shift 2 ;;
    --copy) copy=1; shift ;;
    --plain-args) plain=1; shift ;;
    --kit) kits+=("$2"); shift 2 ;;
    --no-home) no_home=1; shift ;;
    --unknown-user) unknown_user=1; shift ;;
    --file-limit) file_limit=$2; shift 2 ;;
    --broken-audio) broken_audio=1; shift ;;
    --) shift; extra=("$@"); break ;;
    *) echo "run_page_test: unknown option $1" >&2; exit 2 ;;
  esac
done
[ -n "$build" ] && [ -n "$source" ] && [ -n "$script" ] || { echo "run_page_test: --build, --source and --script are needed" >&2; exit 2; }

sentence="hello world this is a test"
name=$(basename "$script" .js)
[ -n "$url" ] || url="http://127.0.0.1/$name.html"

work=$(mktemp -d "${TMPDIR:-/tmp}/vocle-page-$name.XXXXXX")
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  if [ "${KEEP_WORK:-0}" = 1 ]; then echo "work folder kept: $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

mkdir -p "$work/lib" "$work/data" "$work/desktop" "$work/home"
if [ "$copy" = 1 ]; then
  cp "$build/lib/libnpvocle.so" "$work/lib/"
else
  ln -s "$build/lib/libnpvocle.so" "$work/lib/libnpvocle.so"
fi
cp "$source/conf/lang.conf" "$work/lib/lang.conf"

base_url=
if [ "$server" = 1 ]; then
  "$build/bin/assess-server" --port 0 >"$work/server.out" 2>"$work/server.err" &
  server_pid=$!
  for _ in $(seq 1 100); do
    line=$(head -n 1 "$work/server.out" 2>/dev/null)
    case "$line" in listening\ on\ *) break ;; esac
    sleep 0.05
  done
  case "$line" in
    listening\ on\ *) base_url="http://${line#listening on }" ;;
    *) echo "run_page_test: assess-server did not start" >&2; cat "$work/server.err" >&2; exit 1 ;;
  esac
fi

if [ -n "$conf" ]; then
  sed -e "s#@WORK@#$work#g" -e "s#@SERVER@#$base_url#g" "$conf" >"$work/lib/vocle.conf"
else
  cp "$source/conf/vocle.conf" "$work/lib/vocle.conf"
fi

cat >"$work/asound.conf" <<ALSA
pcm.vocle_mic { type asym; capture.pcm { type plug; slave { pcm { type file; slave.pcm { type null }; file "/dev/null"
    infile { @func getenv vars [ VOCLE_MIC_FILE ] default "/tmp/vocle-mic.raw" }; format "raw" }; format S16_LE; rate 16000; channels 1 } } }
pcm.vocle_speaker { type asym; playback.pcm { type plug; slave { pcm { type file; slave.pcm { type null }
    file { @func getenv vars [ VOCLE_SPEAKER_FILE ] default "/tmp/vocle-speaker.raw" }; format "raw" }; format S16_LE; rate 16000; channels 1 } } }
pcm.!default { type asym; capture.pcm "vocle_mic"; playback.pcm "vocle_speaker" }
ALSA
[ "$broken_audio" = 1 ] && echo 'pcm.broken { type' >>"$work/asound.conf"

head -c 32000 /dev/zero >"$work/mic.raw"
: >"$work/speaker.raw"
if [ "$speech" = 1 ]; then
  espeak-ng -w "$work/speech.wav" "$sentence" >/dev/null 2>&1 &&
    sox -D "$work/speech.wav" -t raw -r 16000 -e signed-integer -b 16 -c 1 -L "$work/speech.raw" pad 1 1 \
      >/dev/null 2>&1 || { echo "run_page_test: the speech fixture could not be made" >&2; exit 1; }
  cat "$work/speech.raw" >"$work/mic.raw"
  head -c 32000 /dev/zero >>"$work/mic.raw"
fi

export ALSA_CONFIG_PATH="$work/asound.conf"
export VOCLE_MIC_FILE="$work/mic.raw"
export VOCLE_SPEAKER_FILE="$work/speaker.raw"
export JACK_NO_START_SERVER=1
export HOME="$work/home"
export XDG_DATA_HOME="$work/data"
export XDG_DESKTOP_DIR="$work/desktop"

# The script with its kits after it (see the header), in a file named like the script.
page_script=$script kit_map=
if [ ${#kits[@]} -gt 0 ]; then
  kit_dir=$(dirname "$0")
  page_script="$work/$name.js"
  cat "$script" >"$page_script" || exit 1
  # A script without a final newline must not run into the kit's comment line.
  [ -z "$(tail -c 1 "$script")" ] || echo >>"$page_script"
  kit_map="page script $page_script: lines 1-$(wc -l <"$page_script") are $script"
  for k in "${kits[@]}"; do
    [ -f "$kit_dir/$k" ] || { echo "run_page_test: no kit $kit_dir/$k" >&2; exit 2; }
    echo "// ---- test kit $k ----" >>"$page_script"
    kit_map="$kit_map; line $(($(wc -l <"$page_script") + 1)) is line 1 of $k"
    cat "$kit_dir/$k" >>"$page_script"
    [ -z "$(tail -c 1 "$kit_dir/$k")" ] || echo >>"$page_script"
  done
fi

# What vocle-page runs under: the environment, the user, the file-size limit.
launch=()
[ "$no_home" = 1 ] && launch+=(env -u HOME -u XDG_DATA_HOME)
if [ "$unknown_user" = 1 ]; then
  uid=
  for u in $(seq 47000 47999); do
    getent passwd "$u" >/dev/null || { uid=$u; break; }
  done
  [ -n "$uid" ] || { echo "run_page_test: every uid from 47000 to 47999 is known" >&2; exit 1; }
  if unshare --user --map-user="$uid" true 2>/dev/null; then
    launch+=(unshare --user --map-user="$uid" --)
  elif [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
    chmod -R a+rwX "$work"
    launch+=(setpriv --reuid="$uid" --regid="$uid" --clear-groups --)
  else
    echo "run_page_test: skipped: cannot run as a user unknown to the user database here" >&2
    exit 77
  fi
fi
[ -n "$file_limit" ] && launch+=(prlimit --fsize="$file_limit" --)

page_args=("$work" "$base_url" "$sentence")
[ "$plain" = 1 ] && page_args=()
for a in "${extra[@]}"; do
  a=${a//@WORK@/$work}
  page_args+=("${a//@SERVER@/$base_url}")
done
"${launch[@]}" "$build/bin/vocle-page" --url "$url" --plugin "$work/lib/libnpvocle.so" --timeout "$timeout" \
  "$page_script" "${page_args[@]}" \
  >"$work/page.out" 2>"$work/page.err"
status=$?
cat "$work/page.out"
cat "$work/page.err" >&2

if [ -n "$check" ]; then
  bash "$check" "$work" "$status"
  result=$?
elif [ "$status" != "$expect" ]; then
  echo "run_page_test: the page exited with $status, expected $expect" >&2
  result=1
else
  result=0
fi
[ "$result" = 0 ] || [ -z "$kit_map" ] || echo "run_page_test: $kit_map" >&2
exit $result
