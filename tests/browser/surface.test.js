// The plug-in's script surface as a page sees it through the extension: members and their order,
// Promises of return values, errors, property reads and writes, elements that come and go, and
// values too large for one message of the browser's.
'use strict';

const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const {test, before, after} = require('node:test');

const {setUp, openPage, testConf, waitFor} = require('./harness');

// What a trusted page gets, in the order the plug-in registers it.
const TRUSTED_MEMBERS = [
  'version',
  'version_detail',
  'set_jskey_funchost',
  'get_jskey_funchost',
  'get_record_info',
  'get_record',
  'log',
  'start_record',
  'playback',
  'stop',
  'save_record',
  'save_records',
  'load_record',
  'post_record',
  'recognize_record',
  'cancel_upload',
  'desktop_path',
  'filesystem_remove',
  'filesystem_exists',
  'log_level',
  'log_file',
  'lang',
  'devices',
  'buffer_count',
  'max_buffer_count',
  'sample_rate',
  'frames_per_buffer',
  'upload_timeout',
  'recognition_url',
  'get_version',
  'get_version_detail',
  'get_log_level',
  'get_log_file',
  'get_lang',
  'get_devices',
  'get_buffer_count',
  'set_buffer_count',
  'get_max_buffer_count',
  'get_sample_rate',
  'set_sample_rate',
  'get_frames_per_buffer',
  'set_frames_per_buffer',
  'get_upload_timeout',
  'set_upload_timeout',
  'get_recognition_url',
  'set_recognition_url',
  'diagnose',
];

const LIMIT = {
  timeout: 180000
};

let world;

before(async () => {
  world = await setUp({conf: testConf()});
});

after(async () => {
  if (world) {
    await world.close();
  }
});

test('an untrusted origin sees only the version, whatever it sends', LIMIT, async () => {
  const page = await openPage(world, `${world.otherOrigin}/plain.html`);
  const seen = await page.evaluate(async () => {
    const vocle = await vocleReady(document.getElementById('vocle'));
    return {
      keys: Object.keys(vocle),
      version: vocle.version,
      detail: vocle.version_detail,
      start: typeof vocle.start_record
    };
  });
  assert.deepStrictEqual(seen.keys, ['version', 'version_detail']);
  assert.match(seen.version, /^\d+\.\d+\.\d+\.\d+$/);
  assert.strictEqual(typeof seen.detail, 'string');
  assert.strictEqual(seen.start, 'undefined');

  // A page that speaks the protocol itself, claiming a trusted address, still gets the surface
  // of the address the browser reports for it.
  const forged = await page.evaluate(async (trusted) => {
    const pair = new MessageChannel();
    window.postMessage({vocle: 'connect'}, '*', [pair.port2]);
    const created = new Promise((resolve) => {
      pair.port1.onmessage = (event) => {
        if (event.data.t === 'created') {
          resolve(event.data);
        }
      };
    });
    pair.port1.postMessage({t: 'hello', url: trusted});
    pair.port1.postMessage({t: 'create', i: 1000, type: 'application/x-tarvix-vocle'});
    return (await created).members.map((member) => member[0]);
  }, `${world.origin}/plain.html`);
  assert.deepStrictEqual(forged, ['version', 'version_detail']);
  await page.close();
});

test(
    'a trusted page gets the registered members in order, as Promises and properties', LIMIT,
    async () => {
      const page = await openPage(world, `${world.origin}/plain.html`);
      const seen = await page.evaluate(async () => {
        const vocle = await vocleReady(document.getElementById('vocle'));
        const out = {keys: Object.keys(vocle)};
        const pending = vocle.get_sample_rate();
        out.isPromise = pending instanceof Promise;
        out.rate = await pending;
        out.setResult = await vocle.set_sample_rate(8000);
        out.rateAfterSet = vocle.sample_rate;  // refreshed by the answer
        vocle.frames_per_buffer = 512;
        out.framesBeforeAnswer = vocle.frames_per_buffer;
        out.framesAnswer = await vocle.get_frames_per_buffer();
        out.framesAfter = vocle.frames_per_buffer;
        out.devices = vocle.devices.map((device) => device.name);
        out.devicesFresh = vocle.devices !== vocle.devices;
        out.info = await vocle.get_record_info(0);
        vocle.diagnose = 'noted';
        await vocle.get_version();
        out.diagnose = vocle.diagnose;
        return out;
      });
      assert.deepStrictEqual(seen.keys, TRUSTED_MEMBERS);
      assert.strictEqual(seen.isPromise, true);
      assert.strictEqual(seen.rate, 16000);
      assert.strictEqual(seen.setResult, undefined);
      assert.strictEqual(seen.rateAfterSet, 8000);
      assert.strictEqual(seen.framesBeforeAnswer, 1024);
      assert.strictEqual(seen.framesAnswer, 512);
      assert.strictEqual(seen.framesAfter, 512);
      assert.ok(
          seen.devices.includes('vocle_mic') && seen.devices.includes('vocle_speaker'),
          seen.devices);
      assert.strictEqual(seen.devicesFresh, true);
      assert.strictEqual(seen.info.count, '0');
      assert.strictEqual(typeof seen.info.status, 'string');
      assert.strictEqual(seen.diagnose, 'noted');
      await page.close();
    });

test(
    'callbacks get the result lists spread out; failures reject with the plug-in\'s text', LIMIT,
    async () => {
      const page = await openPage(world, `${world.origin}/plain.html`);
      const missing = path.join(world.work, 'files', 'missing.wav');
      const seen = await page.evaluate(async (missingPath) => {
        const vocle = await vocleReady(document.getElementById('vocle'));
        const out = {};
        let versionArgs;
        const version = await vocle.get_version((...args) => {
          versionArgs = args;
        });
        const existsArgs = await new Promise((resolve) => {
          vocle.filesystem_exists({path: missingPath, callback: (...args) => resolve(args)})
              .then((value) => {
                out.existsReturned = value;
              });
        });
        out.version = version;
        out.versionArgs = versionArgs;
        out.existsArgs = existsArgs;
        // Lone surrogates, in an option object's key and value, reach the plug-in as text.
        out.loneSurrogates =
            await vocle.filesystem_exists({path: missingPath, ['\ud800']: '\udc00'});
        try {
          await vocle.set_buffer_count(1000);
        } catch (err) {
          out.rejected = {isError: err instanceof Error, message: err.message};
        }
        out.countAfter = vocle.buffer_count;
        return out;
      }, missing);
      assert.deepStrictEqual(seen.versionArgs, [seen.version]);
      assert.strictEqual(seen.existsReturned, false);
      assert.strictEqual(seen.loneSurrogates, false);
      assert.strictEqual(seen.existsArgs.length, 2);
      assert.strictEqual(seen.existsArgs[0], false);
      assert.match(seen.existsArgs[1], /No such file or directory/);
      assert.deepStrictEqual(
          seen.rejected, {isError: true, message: 'reach max_buffer_count limit'});
      assert.strictEqual(seen.countAfter, 1);
      await page.close();
    });

test(
    'a refused property write shows on the console and as an error event', {timeout: 180000},
    async () => {
      const page = await openPage(world, `${world.origin}/plain.html`);
      const seen = await page.evaluate(async () => {
        const vocle = await vocleReady(document.getElementById('vocle'));
        const events = [];
        vocle.addEventListener('error', (event) => events.push(event.message));
        vocle.buffer_count = 1000;
        vocle.version = 'mine';
        vocle.sample_rate = 'fast';
        await vocle.get_version();
        return {events, count: vocle.buffer_count, version: vocle.version, rate: vocle.sample_rate};
      });
      assert.strictEqual(seen.events.length, 3, seen.events);
      assert.strictEqual(seen.events[0], 'reach max_buffer_count limit');
      assert.match(seen.events[1], /read-only/);
      assert.strictEqual(seen.count, 1);
      assert.notStrictEqual(seen.version, 'mine');
      assert.strictEqual(seen.rate, 16000);
      const console =
          page.lines.filter((line) => line.startsWith('error: vocle: the plug-in refused'));
      assert.strictEqual(console.length, 3, page.lines.join('\n'));
      assert.match(console[0], /buffer_count: reach max_buffer_count limit$/);
      await page.close();
    });

test(
    'elements added later get their own instance; removed ones lose it', {timeout: 180000},
    async () => {
      const page = await openPage(world, `${world.origin}/empty.html`);
      const seen = await page.evaluate(async () => {
        const make = (id) => {
          const element = document.createElement('object');
          element.id = id;
          element.type = 'application/x-tarvix-vocle';
          document.body.appendChild(element);
          return vocleReady(element);
        };
        const first = await make('first');
        const second = await make('second');
        await first.set_sample_rate(11025);
        const out = {first: await first.get_sample_rate(), second: await second.get_sample_rate()};
        const stale = first.get_version;
        first.remove();
        await second.get_version();  // after the removal has reached the host
        out.membersLeft = Object.keys(first).length;
        try {
          await stale();
          out.stale = 'resolved';
        } catch (err) {
          out.stale = err.message;
        }
        document.body.appendChild(first);
        await vocleReady(first);
        out.rateAgain = await first.get_sample_rate();
        return out;
      });
      assert.deepStrictEqual(seen, {
        first: 11025,
        second: 16000,
        membersLeft: 0,
        stale: 'the plug-in element has left the page',
        rateAgain: 16000
      });
      await page.close();
    });

test('values larger than one browser message arrive whole', LIMIT, async () => {
  // 40 s of samples: its Base64 text is well over the 1 MiB a host may send in one message.
  const raw = Buffer.alloc(40 * 16000 * 2);
  for (let i = 0; i < raw.length / 2; i++) {
    raw.writeInt16LE(Math.round(8000 * Math.sin(i / 7) + (i % 13)), i * 2);
  }
  const file = path.join(world.work, 'files', 'long.raw');
  fs.writeFileSync(file, raw);
  const page = await openPage(world, `${world.origin}/plain.html`);
  const text = await page.evaluate(async (rawPath) => {
    const vocle = await vocleReady(document.getElementById('vocle'));
    const loaded = await new Promise((resolve) => {
      vocle.load_record({path: rawPath, format: 'raw', callback: (...list) => resolve(list)});
    });
    if (!loaded[0]) {
      throw new Error('load failed: ' + loaded[1]);
    }
    return vocle.get_record({format: 'raw'});
  }, file);
  assert.ok(text.length > 1024 * 1024);
  assert.strictEqual(text, raw.toString('base64'));
  await waitFor(() => world.hosts().length > 0, 'the host');
  await page.close();
});
