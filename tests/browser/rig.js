// What every vocle-host test sets up, with node alone (no browser): the virtual microphone and
// speaker, the library in a folder of its own with its configuration, and small helpers.
'use strict';

const childProcess = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const SOURCE = process.env.VOCLE_SOURCE || path.resolve(__dirname, '..', '..');
const BUILD = process.env.VOCLE_BUILD || path.join(SOURCE, 'build', 'release');

const ALSA_FILES =
    `pcm.vocle_mic { type asym; capture.pcm { type plug; slave { pcm { type file; slave.pcm { type null }; file "/dev/null"
    infile { @func getenv vars [ VOCLE_MIC_FILE ] default "/tmp/vocle-mic.raw" }; format "raw" }; format S16_LE; rate 16000; channels 1 } } }
pcm.vocle_speaker { type asym; playback.pcm { type plug; slave { pcm { type file; slave.pcm { type null }
    file { @func getenv vars [ VOCLE_SPEAKER_FILE ] default "/tmp/vocle-speaker.raw" }; format "raw" }; format S16_LE; rate 16000; channels 1 } } }
pcm.!default { type asym; capture.pcm "vocle_mic"; playback.pcm "vocle_speaker" }
`;

// The default device through a JACK server: the stream callbacks come once per block, as on real
// hardware, so a recording lasts as long as the audio it takes.
const ALSA_JACK = `pcm.!default { type asym
  capture.pcm { type plug; slave.pcm { type jack; capture_ports { 0 system:capture_1 } } }
  playback.pcm { type plug; slave.pcm { type jack; playback_ports { 0 system:playback_1 } } } }
`;

function run(command, args, options = {}) {
  const result = childProcess.spawnSync(command, args, {encoding: 'utf8', ...options});
  if (result.status !== 0) {
    throw new Error(`${command} ${args.join(' ')} failed (${result.status}): ${result.stderr}`);
  }
  return result.stdout;
}

async function waitFor(check, what, timeoutMs = 30000, stepMs = 50) {
  const until = Date.now() + timeoutMs;
  for (;;) {
    const value = await check();
    if (value) {
      return value;
    }
    if (Date.now() > until) {
      throw new Error(`gave up waiting for ${what}`);
    }
    await new Promise((resolve) => setTimeout(resolve, stepMs));
  }
}

// work/lib: a link to the build's libnpvocle.so, with lang.conf and the given vocle.conf beside
// it (the library reads the configuration of the folder it was loaded from).
function makeLibraryFolder(work, conf) {
  const lib = path.join(work, 'lib');
  fs.mkdirSync(lib, {recursive: true});
  fs.symlinkSync(path.join(BUILD, 'lib', 'libnpvocle.so'), path.join(lib, 'libnpvocle.so'));
  fs.copyFileSync(path.join(SOURCE, 'conf', 'lang.conf'), path.join(lib, 'lang.conf'));
  fs.writeFileSync(path.join(lib, 'vocle.conf'), conf);
  return path.join(lib, 'libnpvocle.so');
}

// The configuration the tests share: pages of 127.0.0.1 are trusted (others, localhost too, are
// not), files go where the page says, no log.
function testConf(extra = '') {
  return `[log]
logconfig=false
logdevice=false
[system]
trusted=http://127\\.0\\.0\\.1:[0-9]+/.*
file_permission=all
${extra}`;
}

// The environment of a vocle-host that a test starts by itself: the virtual microphone and
// speaker of work/asound.conf, no JACK server started, HOME and XDG_DATA_HOME inside work.
function hostEnvironment(work) {
  return {
    ...process.env,
    ALSA_CONFIG_PATH: path.join(work, 'asound.conf'),
    VOCLE_MIC_FILE: path.join(work, 'mic.raw'),
    VOCLE_SPEAKER_FILE: path.join(work, 'speaker.raw'),
    JACK_NO_START_SERVER: '1',
    HOME: work,
    XDG_DATA_HOME: path.join(work, 'data'),
  };
}

// Removes a test's work folder at its end, unless KEEP_WORK=1 keeps it (and says where).
function removeWork(work) {
  if (process.env.KEEP_WORK === '1') {
    console.log(`work folder kept: ${work}`);
  } else {
    fs.rmSync(work, {recursive: true, force: true});
  }
}

module.exports = {
  SOURCE,
  BUILD,
  ALSA_FILES,
  ALSA_JACK,
  run,
  waitFor,
  makeLibraryFolder,
  testConf,
  hostEnvironment,
  removeWork
};
