// The route's limits as a page meets them: messages over the browser's size limit of one message
// (64 MiB) fail alone, each with a word to the page, and the connection goes on; and one browser
// profile runs at most 16 vocle-host processes, whatever the pages and frames that ask.
'use strict';

const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const {test, before, after} = require('node:test');

const {setUp, openPage, testConf, waitFor} = require('./harness');

const LIMIT = {
  timeout: 300000
};
const MAX_HOSTS = 16;
const SIZE_LIMIT = /64 ?MiB/;

let world;
let longRecord;

before(async () => {
  // A long answer time-out: a page's answer that never reached the host would show as a wait
  // of minutes, not as a failure within seconds.
  world = await setUp({conf: testConf(), hostArgs: ['--answer-timeout', '120']});
  // 30 minutes of samples: as Base64 text ("raw") 76.8 M characters, over the limit.
  longRecord = path.join(world.work, 'files', 'long.raw');
  const block = Buffer.alloc(16000 * 2);
  for (let i = 0; i < 16000; i++) {
    block.writeInt16LE(Math.round(5000 * Math.sin(i / 5)), i * 2);
  }
  fs.writeFileSync(longRecord, Buffer.concat(Array(30 * 60).fill(block)));
});

after(async () => {
  if (world) {
    await world.close();
  }
});

test('a page message over the size limit fails alone; the next call works', LIMIT, async () => {
  const page = await openPage(world, `${world.origin}/plain.html`);
  const seen = await page.evaluate(async () => {
    const settle = vocleSettle;
    const vocle = await vocleReady(document.getElementById('vocle'));
    const huge = 'x'.repeat(70e6);
    const out = {};
    out.log = await settle(vocle.log('info', huge));
    out.afterLog = await settle(vocle.get_sample_rate());
    // A property write too large to send is an error event, as a refused write is.
    vocle.recognition_url = huge;
    out.afterWrite = await settle(vocle.get_recognition_url());
    // An object whose member the plug-in reads from the page (a getter is never copied): the
    // page's answer is too large to send, and the host hears of it at once instead of waiting
    // for an answer that never comes.
    const started = performance.now();
    out.option = await settle(vocle.get_record({
      get format() {
        return huge;
      }
    }));
    out.optionSeconds = (performance.now() - started) / 1000;
    out.last = await settle(vocle.get_version());
    out.errors = window.vocleErrors.map((e) => e.message);
    return out;
  });
  assert.strictEqual(seen.log.isError, true);
  assert.match(seen.log.rejected, /^vocle: the call of log could not be sent to vocle-host: /);
  assert.match(seen.log.rejected, SIZE_LIMIT);
  assert.deepStrictEqual(seen.afterLog, {resolved: 16000});
  assert.strictEqual(seen.errors.length, 1, seen.errors);
  assert.match(seen.errors[0], /^vocle: the write of recognition_url could not be sent/);
  assert.match(seen.errors[0], SIZE_LIMIT);
  assert.notStrictEqual(seen.afterWrite.resolved, '70000000 characters');
  assert.ok('resolved' in seen.afterWrite, JSON.stringify(seen.afterWrite));
  assert.ok(seen.optionSeconds < 60, `the option read took ${seen.optionSeconds} s`);
  assert.ok('resolved' in seen.last, JSON.stringify(seen.last));
  assert.ok(
      page.lines.some((line) => /^error: vocle: the write of recognition_url/.test(line)),
      page.lines.join('\n'));
  await page.close();
});

test(
    'an answer over the size limit rejects its call, an undeliverable callback is an error event',
    LIMIT, async () => {
      const page = await openPage(world, `${world.origin}/plain.html`);
      const seen = await page.evaluate(async (file) => {
        const settle = vocleSettle;
        const vocle = await vocleReady(document.getElementById('vocle'));
        const loaded = await new Promise((resolve) => {
          vocle.load_record({path: file, format: 'raw', callback: (...list) => resolve(list)});
        });
        if (!loaded[0]) {
          throw new Error('the load failed: ' + loaded[1]);
        }
        const out = {};
        out.raw = await settle(vocle.get_record({format: 'raw'}));
        out.afterRaw = await settle(vocle.get_sample_rate());
        // The same text for a callback: the answer is refused, and so is the delivery.
        let called = false;
        const errorEvent = new Promise((resolve) => {
          vocle.addEventListener('error', (event) => resolve(event.message), {once: true});
        });
        out.withCallback = await settle(vocle.get_record({
          format: 'raw',
          callback: () => {
            called = true;
          }
        }));
        out.event = await Promise.race(
            [errorEvent, new Promise((resolve) => setTimeout(() => resolve('none'), 60000))]);
        out.called = called;
        out.last = await settle(vocle.get_version());
        return out;
      }, longRecord);
      assert.strictEqual(seen.raw.isError, true);
      assert.match(seen.raw.rejected, SIZE_LIMIT);
      assert.deepStrictEqual(seen.afterRaw, {resolved: 16000});
      assert.match(seen.withCallback.rejected, SIZE_LIMIT);
      assert.match(seen.event, SIZE_LIMIT);
      assert.strictEqual(seen.called, false);
      assert.ok('resolved' in seen.last, JSON.stringify(seen.last));
      assert.ok(page.lines.some((line) => line === `error: ${seen.event}`), page.lines.join('\n'));
      await page.close();
    });

// The hosts the browser runs: each is the process it started and the one that split off; the
// process the browser started is the one whose parent is not a host.
function hostCount() {
  const processes = world.hosts();
  return processes.filter((p) => !processes.some((q) => q.pid === p.ppid)).length;
}

// Each frame's element, once it has loaded or failed: {ready, version, error}.
function frameOutcome(frame) {
  return frame.evaluate(async () => {
    const element = document.getElementById('vocle');
    try {
      await vocleReady(element);
      return {ready: true, version: typeof element.version, keys: Object.keys(element).length};
    } catch (err) {
      return {ready: false, error: err.message, keys: Object.keys(element).length};
    }
  });
}

test(
    'at most 16 hosts run at once; the pages beyond get error events until a slot frees', LIMIT,
    async () => {
      // No page of an earlier test holds a slot.
      for (const open of world.context.pages()) {
        await open.close();
      }
      await waitFor(() => hostCount() === 0, 'the earlier hosts to end', 60000);
      // The most hosts seen at any moment, sampled while they start.
      let most = 0;
      const sampler = setInterval(() => {
        most = Math.max(most, hostCount());
      }, 20);
      sampler.unref();
      // An untrusted page with more frames than the budget, each frame holding one element.
      const page = await openPage(world, `${world.otherOrigin}/frames.html?n=${MAX_HOSTS + 4}`);
      await waitFor(
          () => page.frames().filter((f) => f.url().includes('plain.html')).length ===
              MAX_HOSTS + 4,
          'the frames');
      const frames = page.frames().filter((f) => f.url().includes('plain.html'));
      const outcomes = await Promise.all(frames.map(frameOutcome));
      const ready = outcomes.filter((o) => o.ready);
      const refused = outcomes.filter((o) => !o.ready);
      assert.strictEqual(ready.length, MAX_HOSTS, JSON.stringify(outcomes));
      // The untrusted page still has the version from its hosts.
      for (const o of ready) {
        assert.deepStrictEqual(o, {ready: true, version: 'string', keys: 2});
      }
      for (const o of refused) {
        assert.match(o.error, /^vocle-host was not started: .*16 vocle-host processes/);
        assert.strictEqual(o.keys, 0);
      }
      clearInterval(sampler);
      assert.strictEqual(hostCount(), MAX_HOSTS);
      assert.ok(most <= MAX_HOSTS, `${most} hosts ran at once`);

      // Another page meets the same budget.
      const other = await openPage(world, `${world.origin}/plain.html`);
      const otherOutcome = await frameOutcome(other.mainFrame());
      assert.strictEqual(otherOutcome.ready, false, JSON.stringify(otherOutcome));
      assert.ok(other.lines.some((line) => line === `error: ${otherOutcome.error}`));
      await other.close();

      // One frame goes: its host ends, and a page that comes after it gets a host.
      const before = world.hosts();
      const frameIndex = outcomes.findIndex((o) => o.ready);
      await page.evaluate((k) => document.getElementById(`frame-${k}`).remove(), frameIndex);
      await waitFor(() => hostCount() === MAX_HOSTS - 1, 'the removed frame\'s host to end');
      const later = await openPage(world, `${world.origin}/plain.html`);
      const laterOutcome = await frameOutcome(later.mainFrame());
      assert.strictEqual(laterOutcome.ready, true, JSON.stringify(laterOutcome));
      assert.strictEqual(hostCount(), MAX_HOSTS);
      assert.ok(world.hosts().some((p) => !before.some((q) => q.pid === p.pid)));
      await later.close();
      await page.close();
      await waitFor(() => hostCount() === 0, 'every host to end', 60000);
    });
