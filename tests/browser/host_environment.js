// vocle-host in the worlds a service or a sandbox gives it, without a browser: this script plays
// the extension's part over the native-messaging framing. With neither HOME nor XDG_DATA_HOME
// the plug-in starts with the shipped settings; with no home folder at all it starts too, and
// what needs "@{appdata}" fails in its own callback; a plug-in that cannot start says why; a
// save past the file-size limit fails in its callback and the host lives on.
'use strict';

const assert = require('node:assert');
const childProcess = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const {test, before, after} = require('node:test');

const {SOURCE, BUILD, ALSA_FILES, hostEnvironment, makeLibraryFolder, removeWork, testConf} =
    require('./rig');

const MIME = 'application/x-tarvix-vocle';
const LIMIT = {
  timeout: 120000
};
const NO_HOME = 'Could not find path';

let work;

before(() => {
  work = fs.mkdtempSync(path.join(os.tmpdir(), 'vocle-host-environment-'));
  fs.writeFileSync(path.join(work, 'asound.conf'), ALSA_FILES);
  fs.writeFileSync(path.join(work, 'broken.conf'), ALSA_FILES + 'pcm.broken { type\n');
  fs.writeFileSync(path.join(work, 'mic.raw'), Buffer.alloc(32000));
});

after(() => removeWork(work));

// A folder of its own under work holding the library with the given configuration.
function library(name, conf) {
  const folder = path.join(work, name);
  fs.mkdirSync(folder);
  return makeLibraryFolder(folder, conf);
}

const shippedConf = () => fs.readFileSync(path.join(SOURCE, 'conf', 'vocle.conf'), 'utf8');

// The command that runs a program as a user the user database does not know, so that it has no
// home folder at all: in a user namespace of its own, or as root through setpriv. null where
// neither is possible.
function asUnknownUser() {
  let uid = 47000;
  while (uid < 48000 && childProcess.spawnSync('getent', ['passwd', String(uid)]).status === 0) {
    uid++;
  }
  if (uid === 48000) {
    return null;
  }
  const unshare = ['unshare', '--user', `--map-user=${uid}`, '--'];
  if (childProcess.spawnSync(unshare[0], [...unshare.slice(1), 'true']).status === 0) {
    return unshare;
  }
  if (process.getuid() !== 0) {
    return null;
  }
  childProcess.spawnSync('chmod', ['-R', 'a+rwX', work]);
  return ['setpriv', `--reuid=${uid}`, `--regid=${uid}`, '--clear-groups', '--'];
}

// One vocle-host as the browser starts it, run through `launch` (a command that runs the rest),
// with the environment changed by `env` (undefined values are removed).
class Host {
  constructor(plugin, {launch = [], env = {}} = {}) {
    const environment = {...hostEnvironment(work), ...env};
    for (const name of Object.keys(environment)) {
      if (environment[name] === undefined) {
        delete environment[name];
      }
    }
    const command = [
      ...launch, path.join(BUILD, 'bin', 'vocle-host'), '--plugin', plugin,
      'chrome-extension://test/'
    ];
    this.child = childProcess.spawn(
        command[0], command.slice(1), {stdio: ['pipe', 'pipe', 'pipe'], env: environment});
    this.messages = [];
    this.stderr = '';
    this.look = () => {};
    this.exit = new Promise((resolve) => this.child.on('exit', (code, signal) => {
      this.ended = {code, signal};
      resolve(this.ended);
      this.look();
    }));
    let buffer = Buffer.alloc(0);
    this.child.stdout.on('data', (chunk) => {
      buffer = Buffer.concat([buffer, chunk]);
      while (buffer.length >= 4 && buffer.length >= 4 + buffer.readUInt32LE(0)) {
        const length = buffer.readUInt32LE(0);
        this.messages.push(JSON.parse(buffer.subarray(4, 4 + length).toString('utf8')));
        buffer = buffer.subarray(4 + length);
      }
      this.look();
    });
    this.child.stderr.on('data', (chunk) => {
      this.stderr += chunk;
    });
    this.child.stdin.on('error', () => {});
    this.q = 1;
  }

  send(message) {
    const body = Buffer.from(JSON.stringify(message), 'utf8');
    const header = Buffer.alloc(4);
    header.writeUInt32LE(body.length);
    this.child.stdin.write(Buffer.concat([header, body]));
  }

  // The next message that matches, taken out of the queue.
  next(match, what) {
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.look = () => {};
        reject(new Error(`no ${what} came; had ${JSON.stringify(this.messages)}\n${this.stderr}`));
      }, 60000);
      this.look = () => {
        const index = this.messages.findIndex(match);
        if (index >= 0 || this.ended) {
          clearTimeout(timer);
          this.look = () => {};
          if (index >= 0) {
            resolve(this.messages.splice(index, 1)[0]);
          } else {
            reject(new Error(`the host ended (${JSON.stringify(this.ended)}) before ${what}`));
          }
        }
      };
      this.look();
    });
  }

  // Greets the host and makes instance 1; the answer to the making.
  async create() {
    this.send({t: 'hello', url: 'http://127.0.0.1:8000/page.html'});
    await this.next((m) => m.t === 'ready', 'ready');
    this.send({t: 'create', i: 1, type: MIME});
    return this.next((m) => m.t === 'created', 'created');
  }

  call(method, args) {
    const q = this.q++;
    this.send({t: 'call', q, i: 1, m: method, a: args});
    return this.next((m) => m.t === 'ret' && m.q === q, `the answer to ${method}`);
  }

  // Calls the method with the options and a callback; the list the callback gets.
  async withCallback(method, options) {
    const id = 1000 + this.q;
    const ret = await this.call(
        method, [{$: 'o', id: id + 1, s: [...options, ['callback', {$: 'f', id}]]}]);
    assert.strictEqual(ret.ok, true, `${method}: ${ret.e}`);
    const op = await this.next((m) => m.t === 'op' && m.o === id, `the callback of ${method}`);
    this.send({t: 'answer', q: op.q, ok: true, v: {$: 'u'}});
    return op.a;
  }

  close() {
    this.child.stdin.end();
    return this.exit;
  }
}

test(
    'without HOME and XDG_DATA_HOME the plug-in starts with the shipped settings', LIMIT,
    async () => {
      const host = new Host(
          library('shipped', shippedConf()), {env: {HOME: undefined, XDG_DATA_HOME: undefined}});
      const created = await host.create();
      assert.strictEqual(created.ok, true, created.e);
      // "@{appdata}" lies under the home folder that the user database gives the user.
      const logFile = await host.call('get_log_file', []);
      assert.strictEqual(logFile.ok, true, logFile.e);
      const home = os.userInfo().homedir.replace(/\/$/, '');
      assert.match(
          logFile.v, new RegExp(`^${home}/\\.local/share/Tarvix/vocle-[0-9a-f-]{36}\\.log$`));
      assert.deepStrictEqual(await host.close(), {code: 0, signal: null});
    });

test(
    'with no home folder at all the plug-in starts; what needs @{appdata} fails in its callback',
    LIMIT, async (t) => {
      const launch = asUnknownUser();
      if (!launch) {
        t.skip('cannot run as a user unknown to the user database here');
        return;
      }
      const host = new Host(
          library('no-home', shippedConf()),
          {launch, env: {HOME: undefined, XDG_DATA_HOME: undefined}});
      const created = await host.create();
      assert.strictEqual(created.ok, true, created.e);
      // The shipped settings save to the default name, "@{appdata}/test.raw".
      assert.deepStrictEqual(
          await host.withCallback('save_record', [['format', 'raw']]), [false, NO_HOME]);
      const logFile = await host.call('get_log_file', []);
      assert.deepStrictEqual([logFile.ok, logFile.e], [false, NO_HOME]);
      assert.strictEqual((await host.call('get_version', [])).ok, true);
      assert.deepStrictEqual(await host.close(), {code: 0, signal: null});
    });

test('a plug-in that cannot start says why', LIMIT, async () => {
  const host = new Host(
      library('broken', testConf()), {env: {ALSA_CONFIG_PATH: path.join(work, 'broken.conf')}});
  const created = await host.create();
  const reason = 'the plug-in failed to initialise: Unanticipated host error';
  assert.strictEqual(created.ok, false);
  assert.ok(created.e.endsWith(reason), created.e);
  assert.deepStrictEqual(await host.close(), {code: 0, signal: null});
  assert.ok(host.stderr.includes(reason), host.stderr);
});

test(
    'a save past the file-size limit fails in its callback; the host lives on', LIMIT, async () => {
      const out = path.join(work, 'limited');
      fs.mkdirSync(out);
      const big = path.join(work, 'big.raw');
      const small = path.join(work, 'mic.raw');
      fs.writeFileSync(big, Buffer.alloc(160000, 7));
      fs.writeFileSync(path.join(out, 'kept.raw'), 'the old take');
      const host = new Host(
          library('limited-lib', testConf()), {launch: ['prlimit', `--fsize=${128 * 1024}`, '--']});
      assert.strictEqual((await host.create()).ok, true);
      const load = (index, file) =>
          host.withCallback('load_record', [['index', index], ['path', file]]);
      const save = (index, name) => host.withCallback(
          'save_record', [['index', index], ['format', 'raw'], ['path', path.join(out, name)]]);
      assert.deepStrictEqual(await load(0, big), [true, big]);
      assert.deepStrictEqual(await load(1, small), [true, small]);
      const failed = [false, 'The record could not be saved.'];
      assert.deepStrictEqual(await save(0, 'big.raw'), failed);
      assert.deepStrictEqual(await save(0, 'kept.raw'), failed);
      assert.deepStrictEqual(await save(1, 'after.raw'), [true, path.join(out, 'after.raw')]);
      assert.deepStrictEqual(fs.readdirSync(out).sort(), ['after.raw', 'kept.raw']);
      assert.strictEqual(fs.readFileSync(path.join(out, 'kept.raw'), 'utf8'), 'the old take');
      assert.deepStrictEqual(await host.close(), {code: 0, signal: null});
    });
