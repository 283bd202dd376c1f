// The world of one browser test: a work folder with the library and its vocle.conf, the virtual
// microphone and speaker, a Chromium profile with the vocle extension loaded and vocle-host
// registered, a page server on 127.0.0.1 and, when asked for, tools/assess-server and a private
// JACK server for real-time audio.
//
// The build and source folders come from VOCLE_BUILD and VOCLE_SOURCE (ctest sets them).
// KEEP_WORK=1 keeps the work folder.
'use strict';

const assert = require('node:assert');
const childProcess = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');

let chromium;
try {
  ({chromium} = require('playwright-core'));
} catch (err) {
  throw new Error('playwright-core is missing: run "npm ci" in tests/browser (./run test does)');
}

const {SOURCE, BUILD, ALSA_FILES, ALSA_JACK, run, waitFor, makeLibraryFolder, testConf} =
    require('./rig');

const EXTENSION = path.join(SOURCE, 'browser', 'extension');
const PAGES = path.join(__dirname, 'pages');
const HOST_NAME = 'com.tarvix.vocle';
const SENTENCE = 'hello world this is a test';
const CHROMIUM = process.env.VOCLE_CHROMIUM || '/usr/bin/chromium';

// An extension's id (by default vocle's), from the public key in its manifest.
function extensionId(folder = EXTENSION) {
  const manifest = JSON.parse(fs.readFileSync(path.join(folder, 'manifest.json'), 'utf8'));
  const digest =
      crypto.createHash('sha256').update(Buffer.from(manifest.key, 'base64')).digest('hex');
  return [...digest.slice(0, 32)].map((c) => String.fromCharCode(97 + parseInt(c, 16))).join('');
}

// A child process that prints "listening on HOST:PORT" first.
async function startListener(command, args, logFile) {
  const child =
      childProcess.spawn(command, args, {stdio: ['ignore', 'pipe', fs.openSync(logFile, 'a')]});
  let out = '';
  const line = await new Promise((resolve, reject) => {
    child.stdout.on('data', (chunk) => {
      out += chunk;
      const first = out.split('\n');
      if (first.length > 1) {
        resolve(first[0]);
      }
    });
    child.on('exit', (code) => reject(new Error(`${command} exited with ${code}`)));
    child.on('error', reject);
  });
  child.stdout.resume();
  const match = /^listening on (\S+)$/.exec(line.trim());
  assert.ok(match, `${command} said "${line}"`);
  return {child, address: match[1]};
}

function stopChild(child) {
  if (child && child.exitCode === null && child.signalCode === null) {
    const gone = new Promise((resolve) => child.once('exit', resolve));
    child.kill('SIGTERM');
    return gone;
  }
  return Promise.resolve();
}

// Serves the test pages. GET /PATH serves pages/FILE for the path's last part, whatever the
// folders before it, so one page can be reached at several addresses.
async function startPageServer() {
  const types = {'.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8'};
  const server = http.createServer((req, res) => {
    const name = path.basename(new URL(req.url, 'http://x').pathname) || 'index.html';
    const file = path.join(PAGES, name);
    fs.readFile(file, (err, body) => {
      if (err) {
        res.writeHead(404, {'content-type': 'text/plain'});
        res.end('not found');
        return;
      }
      res.writeHead(200, {
        'content-type': types[path.extname(name)] || 'application/octet-stream',
        'cache-control': 'no-store'
      });
      res.end(body);
    });
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return server;
}

// The processes serving the work folder's library: vocle-host as the browser started it, and the
// host process it split off.
function hostProcesses(work) {
  const marker = path.join(work, 'lib', 'libnpvocle.so');
  const found = [];
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) {
      continue;
    }
    let cmdline;
    let stat;
    try {
      cmdline = fs.readFileSync(`/proc/${entry}/cmdline`, 'utf8').split('\0');
      stat = fs.readFileSync(`/proc/${entry}/stat`, 'utf8');
    } catch (err) {
      continue;
    }
    const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
    if (fields[0] !== 'Z' && cmdline.includes(marker)) {
      found.push({pid: Number(entry), ppid: Number(fields[1])});
    }
  }
  return found;
}

function alive(pid) {
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(')') + 2)[0] !== 'Z';
  } catch (err) {
    return false;
  }
}

// options:
//   conf        vocle.conf text; @WORK@ is the work folder, @SERVER@ the assess-server's URL
//   speech      the microphone speaks the fixture sentence (else it hears silence)
//   speechRepeat  how many times the sentence is said (1)
//   server      start tools/assess-server
//   jack        route the default device through a private JACK server (real-time pacing)
//   hostArgs    more arguments for vocle-host
//   host        'ok' (default), or 'missing': the manifest names a program that does not exist
//   extensions  more unpacked extensions to load, by folder
//   nativeHosts more native hosts to register: [{name, path, extension}], each allowed to the
//               extension of that folder
async function setUp(options = {}) {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'vocle-browser-'));
  const world = {work, children: [], pageServer: null, context: null, closed: false};
  try {
    for (const dir of ['data', 'desktop', 'home', 'profile/NativeMessagingHosts', 'files']) {
      fs.mkdirSync(path.join(work, dir), {recursive: true});
    }
    const hostProgram = path.join(BUILD, 'bin', 'vocle-host');
    for (const needed of [path.join(BUILD, 'lib', 'libnpvocle.so'), hostProgram, CHROMIUM]) {
      assert.ok(fs.existsSync(needed), `${needed} is missing`);
    }

    world.serverUrl = '';
    if (options.server) {
      const assess = await startListener(
          path.join(BUILD, 'bin', 'assess-server'), ['--port', '0'],
          path.join(work, 'assess-server.log'));
      world.children.push(assess.child);
      world.serverUrl = `http://${assess.address}`;
    }
    const conf = options.conf !== undefined ?
        options.conf :
        fs.readFileSync(path.join(SOURCE, 'conf', 'vocle.conf'), 'utf8');
    const library = makeLibraryFolder(
        work, conf.replace(/@WORK@/g, work).replace(/@SERVER@/g, world.serverUrl));

    const env = {
      ...process.env,
      HOME: path.join(work, 'home'),
      XDG_DATA_HOME: path.join(work, 'data'),
      XDG_DESKTOP_DIR: path.join(work, 'desktop'),
      XDG_CONFIG_HOME: path.join(work, 'home', '.config'),
      XDG_CACHE_HOME: path.join(work, 'home', '.cache'),
      VOCLE_MIC_FILE: path.join(work, 'mic.raw'),
      VOCLE_SPEAKER_FILE: path.join(work, 'speaker.raw'),
      JACK_NO_START_SERVER: '1',
      ALSA_CONFIG_PATH: path.join(work, 'asound.conf'),
    };
    if (options.jack) {
      const name = `vocle-browser-${process.pid}`;
      const jack = childProcess.spawn(
          'jackd', ['-n', name, '--no-realtime', '-d', 'dummy', '-r', '16000', '-p', '1024'], {
            stdio: [
              'ignore', fs.openSync(path.join(work, 'jackd.log'), 'a'),
              fs.openSync(path.join(work, 'jackd.log'), 'a')
            ],
            env: {...env, JACK_NO_START_SERVER: '1'}
          });
      world.children.push(jack);
      run('jack_wait', ['-s', name, '-w', '-t', '10'], {env});
      env.JACK_DEFAULT_SERVER = name;
      fs.writeFileSync(env.ALSA_CONFIG_PATH, ALSA_JACK);
    } else {
      fs.writeFileSync(env.ALSA_CONFIG_PATH, ALSA_FILES);
    }

    const silence = Buffer.alloc(32000);
    let mic = silence;
    if (options.speech) {
      const wav = path.join(work, 'speech.wav');
      const raw = path.join(work, 'speech.raw');
      run('espeak-ng', ['-w', wav, SENTENCE]);
      run('sox', [
        '-D', wav, '-t', 'raw', '-r', '16000', '-e', 'signed-integer', '-b', '16', '-c', '1', '-L',
        raw, 'pad', '1', '1'
      ]);
      const speech = fs.readFileSync(raw);
      world.speechBytes = speech.length;
      mic = Buffer.concat([...Array(options.speechRepeat || 1).fill(speech), silence]);
    }
    fs.writeFileSync(env.VOCLE_MIC_FILE, mic);
    fs.writeFileSync(env.VOCLE_SPEAKER_FILE, '');

    // vocle-host as the browser meets it: a program named by an absolute path in the manifest,
    // here a wrapper that points it at the work folder's library.
    const wrapper = path.join(work, 'vocle-host.sh');
    const args = ['--plugin', library, ...(options.hostArgs || [])];
    const quoted = (text) => `'${text.replace(/'/g, `'\\''`)}'`;
    const hostLog = quoted(path.join(work, 'vocle-host.log'));
    fs.writeFileSync(
        wrapper,
        `#!/bin/sh\nexec ${[hostProgram, ...args].map(quoted).join(' ')} "$@" 2>>${hostLog}\n`,
        {mode: 0o755});
    const manifest = {
      name: HOST_NAME,
      description: 'vocle-host for the browser tests',
      path: options.host === 'missing' ? path.join(work, 'no-such-host') : wrapper,
      type: 'stdio',
      allowed_origins: [`chrome-extension://${extensionId()}/`],
    };
    const register = (entry) => fs.writeFileSync(
        path.join(work, 'profile', 'NativeMessagingHosts', `${entry.name}.json`),
        JSON.stringify(entry, null, 2));
    register(manifest);
    for (const other of options.nativeHosts || []) {
      register({
        name: other.name,
        description: 'a native host of the browser tests',
        path: other.path,
        type: 'stdio',
        allowed_origins: [`chrome-extension://${extensionId(other.extension)}/`],
      });
    }

    world.pageServer = await startPageServer();
    world.origin = `http://127.0.0.1:${world.pageServer.address().port}`;
    world.otherOrigin = `http://localhost:${world.pageServer.address().port}`;

    const extensions = [EXTENSION, ...(options.extensions || [])].join(',');
    world.context = await chromium.launchPersistentContext(path.join(work, 'profile'), {
      executablePath: CHROMIUM,
      headless: true,
      env,
      args: [
        '--headless=new',
        `--disable-extensions-except=${extensions}`,
        `--load-extension=${extensions}`,
        '--no-sandbox',
        '--disable-gpu',
        '--disable-quic',
        '--no-first-run',
        '--disable-background-networking',
        '--disable-component-update',
        '--disable-sync',
      ],
    });
    world.env = env;
    world.hostCommand = wrapper;  // vocle-host as the browser starts it
    world.sentence = SENTENCE;
    world.hosts = () => hostProcesses(work);
    world.close = () => tearDown(world);
    return world;
  } catch (err) {
    await tearDown(world);
    throw err;
  }
}

async function tearDown(world) {
  if (world.closed) {
    return;
  }
  world.closed = true;
  if (world.context) {
    await world.context.close().catch(() => {});
  }
  // Every host of this world ends once its page has: wait for that before anything else goes.
  await waitFor(() => hostProcesses(world.work).length === 0, 'the hosts to end', 90000)
      .catch((err) => {
        for (const p of hostProcesses(world.work)) {
          process.kill(p.pid, 'SIGKILL');
        }
        throw err;
      })
      .finally(async () => {
        if (world.pageServer) {
          world.pageServer.closeAllConnections();
          await new Promise((resolve) => world.pageServer.close(resolve));
        }
        for (const child of world.children.reverse()) {
          await stopChild(child);
        }
        if (process.env.KEEP_WORK === '1') {
          console.log(`work folder kept: ${world.work}`);
        } else {
          fs.rmSync(world.work, {recursive: true, force: true});
        }
      });
}

// A page at url, with its console collected in page.lines ("type: text").
async function openPage(world, url) {
  const page = await world.context.newPage();
  page.lines = [];
  page.on('console', (message) => page.lines.push(`${message.type()}: ${message.text()}`));
  page.on('pageerror', (err) => page.lines.push(`pageerror: ${err.message}`));
  await page.goto(url);
  return page;
}

module.exports = {
  setUp,
  openPage,
  waitFor,
  alive,
  testConf,
  extensionId,
  run,
  SENTENCE
};
