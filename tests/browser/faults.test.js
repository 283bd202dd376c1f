// Faults the page must hear of, never wait on: a host that is killed, one that cannot start, a
// plug-in library that does not load. And a page that closes while files are being saved: the
// host finishes them before it ends, although the browser kills the process it started two
// seconds after the page has gone.
'use strict';

const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const {test, before, after} = require('node:test');

const {setUp, openPage, testConf, waitFor, alive, run} = require('./harness');

const LIMIT = {
  timeout: 180000
};

// What the browser reports for a host that has gone.
const HOST_GONE =
    '(Native host has exited|Error when communicating with the native messaging host)\\.';

let world;
let manifestFile;
let manifest;

before(async () => {
  world = await setUp({conf: testConf()});
  manifestFile = path.join(world.work, 'profile', 'NativeMessagingHosts', 'com.tarvix.vocle.json');
  manifest = fs.readFileSync(manifestFile, 'utf8');
});

after(async () => {
  if (world) {
    await world.close();
  }
});

// The host process of the page (the one holding the browser's pipes), and the process the browser
// started, which waits for it.
function hostPair() {
  const processes = world.hosts();
  const host = processes.find((p) => processes.some((q) => q.pid === p.ppid)) || processes[0];
  return {host, all: processes};
}

test(
    'a killed host rejects the waiting call and every later one, with an error event', LIMIT,
    async () => {
      const page = await openPage(world, `${world.origin}/plain.html`);
      await page.evaluate(() => vocleReady(document.getElementById('vocle')));
      const {host, all} = await waitFor(() => {
        const pair = hostPair();
        return pair.all.length === 2 && pair;
      }, 'the host processes');

      // A call is under way when the host dies: it cannot have been answered.
      process.kill(host.pid, 'SIGSTOP');
      await page.evaluate(() => {
        window.waiting = document.getElementById('vocle').get_version().then(
            (value) => ({resolved: value}), (err) => ({rejected: err.message}));
      });
      process.kill(host.pid, 'SIGKILL');

      const seen = await page.evaluate(async () => {
        const vocle = document.getElementById('vocle');
        const out = {waiting: await window.waiting};
        try {
          await vocle.get_sample_rate();
          out.later = 'resolved';
        } catch (err) {
          out.later = err.message;
        }
        vocle.sample_rate = 8000;
        out.errors = window.vocleErrors.map((e) => e.message);
        return out;
      });
      // The browser says "exited" when it finds the host's output closed, and "Error when
      // communicating" when its write to the host fails first.
      const reason = seen.waiting.rejected;
      assert.match(reason, new RegExp(`^vocle-host stopped: ${HOST_GONE}$`));
      assert.strictEqual(seen.later, reason);
      assert.deepStrictEqual(seen.errors, [reason, reason]);
      assert.ok(page.lines.some((line) => line === `error: ${reason}`), page.lines.join('\n'));
      await waitFor(() => all.every((p) => !alive(p.pid)), 'the waiting process to end');
      await page.close();
    });

test(
    'a host that cannot start, or a library that does not load, is reported', {timeout: 180000},
    async () => {
      const cases = [
        {
          manifest: manifest.replace(
              /"path": "[^"]*"/, `"path": "${path.join(world.work, 'no-such-host')}"`),
          message: /^vocle-host could not start: Specified native messaging host not found\.$/,
        },
        {
          // The browser starts the program, which exits before it says anything.
          wrapper: '#!/bin/sh\nexit 3\n',
          message: new RegExp(`^vocle-host could not start: ${HOST_GONE}$`),
        },
        {
          wrapper: fs.readFileSync(path.join(world.work, 'vocle-host.sh'), 'utf8')
                       .replace(
                           /'--plugin' '[^']*'/,
                           `'--plugin' '${path.join(world.work, 'lib', 'vocle.conf')}'`),
          message:
              /^vocle: the plug-in could not start: the plug-in .*vocle\.conf could not be loaded: /,
        },
      ];
      const wrapperFile = path.join(world.work, 'vocle-host.sh');
      const wrapper = fs.readFileSync(wrapperFile, 'utf8');
      try {
        for (const c of cases) {
          fs.writeFileSync(manifestFile, c.manifest || manifest);
          fs.writeFileSync(wrapperFile, c.wrapper || wrapper);
          const page = await openPage(world, `${world.origin}/plain.html`);
          const seen = await page.evaluate(async () => {
            const vocle = document.getElementById('vocle');
            try {
              await vocleReady(vocle);
              return {ready: true};
            } catch (err) {
              return {error: err.message, members: Object.keys(vocle)};
            }
          });
          assert.match(seen.error, c.message);
          assert.deepStrictEqual(seen.members, []);
          await page.close();
        }
      } finally {
        fs.writeFileSync(manifestFile, manifest);
        fs.writeFileSync(wrapperFile, wrapper);
      }
    });

test(
    'files being saved when the page closes are written out in full', {timeout: 180000},
    async () => {
      const page = await openPage(world, `${world.origin}/plain.html`);
      const files =
          [...Array(8).keys()].map((k) => path.join(world.work, 'files', `take-${k}.mp3`));
      // Ten minutes of audio (the virtual microphone runs far faster than real time), saved to
      // several MP3 files one after another: more work than the two seconds the browser gives a
      // host.
      const count = await page.evaluate(async (paths) => {
        const vocle = await vocleReady(document.getElementById('vocle'));
        const recorded = await new Promise((resolve) => {
          vocle.start_record(
              {vad_wait: 600, vad_gap: 600, vad_max: 600, callback: (...list) => resolve(list)});
        });
        if (!recorded[0]) {
          throw new Error('the recording failed: ' + recorded[1]);
        }
        const info = await vocle.get_record_info(0);
        await vocle.save_records({records: paths.map((p) => ({index: 0, format: 'mp3', path: p}))});
        return Number(info.count);
      }, files);
      const processes = world.hosts();
      assert.ok(processes.length > 0, 'no host process');
      await page.close();

      await waitFor(() => processes.every((p) => !alive(p.pid)), 'the host to end', 120000);
      for (const file of files) {
        assert.ok(fs.existsSync(file), `${file} was not written`);
        // mpg123 decodes the whole file; its sample count is the record's, give or take the
        // encoder's padding.
        const decoded = path.join(world.work, 'files', 'decoded.wav');
        run('mpg123', ['-q', '-w', decoded, file]);
        const samples = Number(run('soxi', ['-s', decoded]).trim());
        assert.ok(Math.abs(samples - count) < 4096, `${file}: ${samples} samples of ${count}`);
      }
      const log = fs.readFileSync(path.join(world.work, 'vocle-host.log'), 'utf8');
      assert.doesNotMatch(log, /did not end within/);
    });
