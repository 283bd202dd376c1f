// A page that goes while the plug-in works: a reload during a recording, a tab closed during an
// upload. Audio runs in real time here (a private JACK server), so the recording is still under
// way when the page goes. The host ends its instance and exits: no crash, no process left.
'use strict';

const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const {test, before, after} = require('node:test');

const {setUp, openPage, testConf, waitFor, alive} = require('./harness');

const LIMIT = {
  timeout: 180000
};

let world;

before(async () => {
  world = await setUp({jack: true, server: true, conf: testConf()});
});

after(async () => {
  if (world) {
    await world.close();
  }
});

function hostLog() { return fs.readFileSync(path.join(world.work, 'vocle-host.log'), 'utf8'); }

test(
    'a reload during a recording ends the old instance and host; the new page records', LIMIT,
    async () => {
      const page = await openPage(world, `${world.origin}/plain.html`);
      const volumes = await page.evaluate(async () => {
        const vocle = await vocleReady(document.getElementById('vocle'));
        const heard = [];
        await new Promise((resolve) => {
          vocle.start_record({
            vad_wait: 600,
            vad_gap: 600,
            vad_max: 600,
            volumn: (level) => {
              heard.push(level);
              if (heard.length === 5) {
                resolve();
              }
            },
          });
        });
        return heard;
      });
      assert.strictEqual(volumes.length, 5);
      const before = world.hosts();
      assert.ok(before.length > 0, 'no host process');

      await page.reload();
      await waitFor(() => before.every((p) => !alive(p.pid)), 'the old host to end', 60000);

      const recorded = await page.evaluate(async () => {
        const vocle = await vocleReady(document.getElementById('vocle'));
        return new Promise((resolve) => {
          vocle.start_record(
              {vad_wait: 0.5, vad_gap: 0.5, vad_max: 0.5, callback: (...list) => resolve(list)});
        });
      });
      assert.deepStrictEqual(recorded, [true, '']);
      assert.ok(world.hosts().every((p) => !before.some((q) => q.pid === p.pid)));
      assert.doesNotMatch(hostLog(), /Assertion|terminate called|Segmentation|did not end within/);
      await page.close();
    });

test('a tab closed during an upload ends its host before the server answers', LIMIT, async () => {
  const page = await openPage(world, `${world.origin}/plain.html`);
  await page.evaluate(async (url) => {
    const vocle = await vocleReady(document.getElementById('vocle'));
    const recorded = await new Promise((resolve) => {
      vocle.start_record(
          {vad_wait: 0.5, vad_gap: 0.5, vad_max: 0.5, callback: (...list) => resolve(list)});
    });
    if (!recorded[0]) {
      throw new Error('the recording failed: ' + recorded[1]);
    }
    // The server takes the whole body, then waits a minute before it answers.
    await new Promise((resolve) => {
      vocle.recognize_record({
        url: url + '/1/assess.wav?delay_ms=60000',
        sentence: 'hello',
        on_upload_frame: (sent, total) => {
          if (sent === total) {
            resolve();
          }
        },
      });
    });
  }, world.serverUrl);
  const before = world.hosts();
  assert.ok(before.length > 0, 'no host process');
  await page.close();
  await waitFor(() => before.every((p) => !alive(p.pid)), 'the host to end', 60000);
  const server = fs.readFileSync(path.join(world.work, 'assess-server.log'), 'utf8');
  assert.doesNotMatch(server, /POST \/1\/assess\.wav\?delay_ms=60000: 200/);
  assert.doesNotMatch(hostLog(), /Assertion|terminate called|Segmentation|did not end within/);
});
