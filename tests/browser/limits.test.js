// The route's limits as a page meets them: messages from the page over the browser's size limit
// of one message (64 MiB) fail alone, each with a word to the page, and the connection goes on;
// answers travel in pieces and may be as long as a page's string can be (a 60-minute record's
// text arrives whole, a longer answer fails alone); and one browser profile runs at most 16
// vocle-host processes, whatever the pages and frames that ask, and a page beyond them waits in
// line for a slot.
'use strict';

const assert = require('node:assert');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const {test, before, after} = require('node:test');

const {setUp, openPage, testConf, waitFor, run} = require('./harness');

const LIMIT = {
  timeout: 300000
};
const MAX_HOSTS = 16;
const SIZE_LIMIT = /64 ?MiB/;
const ANSWER_LIMIT = /500 MiB/;
const WAITING =
    /^vocle: waiting for a free vocle-host slot: this browser runs at most 16 vocle-host processes/;
const MB = 1e6;

let world;
let hourRecord;
let oversizeRecord;

// Raw 16-bit samples of a tone, seconds long (written a minute at a time).
function writeTone(file, seconds) {
  const minute = Buffer.alloc(60 * 16000 * 2);
  for (let i = 0; i < 60 * 16000; i++) {
    minute.writeInt16LE(Math.round(5000 * Math.sin(i / 5)) + (i % 7), i * 2);
  }
  const fd = fs.openSync(file, 'w');
  for (let left = seconds; left > 0; left -= 60) {
    fs.writeSync(fd, minute, 0, Math.min(left, 60) * 16000 * 2);
  }
  fs.closeSync(fd);
}

before(async () => {
  // A long answer time-out: a page's answer that never reached the host would show as a wait
  // of minutes, not as a failure within seconds.
  world = await setUp({conf: testConf(), hostArgs: ['--answer-timeout', '120']});
  // 60 minutes of samples: as Base64 text ("raw") 153.6 M characters, which a page takes whole.
  hourRecord = path.join(world.work, 'files', 'hour.raw');
  writeTone(hourRecord, 60 * 60);
  // 376 MiB of samples (3 hours 25 minutes): as Base64 text 525.7 M characters, more than the
  // 500 MiB an answer may take.
  oversizeRecord = path.join(world.work, 'files', 'oversize.raw');
  fs.writeFileSync(oversizeRecord, Buffer.alloc(376 * 1024 * 1024, 1));
});

after(async () => {
  if (world) {
    await world.close();
  }
});

// The processes that serve pages: each vocle-host the browser started waits for the one it split
// off, which serves.
function servingHosts() {
  const processes = world.hosts();
  return processes.filter((p) => processes.some((q) => q.pid === p.ppid));
}

// The most memory a process has held since it started or since resetPeak().
function peakMemory(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  return Number(/^VmHWM:\s+(\d+) kB/m.exec(status)[1]) * 1024;
}

function resetPeak(pid) { fs.writeFileSync(`/proc/${pid}/clear_refs`, '5'); }

// Loads a raw file as record 0 of the page's element.
function loadInPage(page, file) {
  return page.evaluate(async (file) => {
    const vocle = await vocleReady(document.getElementById('vocle'));
    const loaded = await new Promise((resolve) => {
      vocle.load_record({path: file, format: 'raw', callback: (...list) => resolve(list)});
    });
    if (!loaded[0]) {
      throw new Error('the load failed: ' + loaded[1]);
    }
  }, file);
}

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
    'a 60-minute record\'s text arrives whole, as an answer and as a callback\'s delivery', LIMIT,
    async () => {
      const page = await openPage(world, `${world.origin}/plain.html`);
      await loadInPage(page, hourRecord);
      const [host] = servingHosts();
      const expected =
          crypto.createHash('sha256').update(fs.readFileSync(hourRecord)).digest('hex');
      // [what, how the text comes, how many times the host sends it]: each time, the page
      // hashes the samples the text gives. The host holds at most 3 times what it sends.
      const cases = [
        ['the answer', 'answer', 1],
        ['the callback\'s delivery', 'callback', 2],
      ];
      for (const [what, way, texts] of cases) {
        resetPeak(host.pid);
        const seen = await page.evaluate(async (way) => {
          const vocle = document.getElementById('vocle');
          const hash = async (text) => {
            const binary = atob(text);
            const bytes = new Uint8Array(binary.length);
            for (let k = 0; k < binary.length; k++) {
              bytes[k] = binary.charCodeAt(k);
            }
            const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', bytes));
            return {
              length: text.length,
              hash: [...digest].map((b) => b.toString(16).padStart(2, '0')).join('')
            };
          };
          const started = performance.now();
          let text;
          if (way === 'answer') {
            text = await vocle.get_record({format: 'raw'});
          } else {
            // The call gives the text too; the callback's own copy is the one checked here.
            let deliver;
            const delivery = new Promise((resolve) => {
              deliver = resolve;
            });
            const answer =
                await vocle.get_record({format: 'raw', callback: (...list) => deliver(list)});
            const list = await delivery;
            if (list.length !== 1 || typeof answer !== 'string' || answer.length !== list[0].length) {
              throw new Error(`the callback got ${list.length} values beside the answer`);
            }
            text = list[0];
          }
          const seconds = (performance.now() - started) / 1000;
          return {...await hash(text), seconds};
        }, way);
        const peak = peakMemory(host.pid);
        const textBytes = 153.6 * MB;
        console.log(
            `${what}: ${seen.length} characters in ${seen.seconds.toFixed(1)} s; the host's peak ` +
            `${(peak / MB).toFixed(0)} MB (${(peak / textBytes).toFixed(2)}x the text)`);
        assert.strictEqual(seen.length, 153600000, what);
        assert.strictEqual(seen.hash, expected, what);
        assert.ok(peak < 3 * texts * textBytes, `${what}: the host's peak was ${peak / MB} MB`);
      }
      const after = await page.evaluate(() => document.getElementById('vocle').get_sample_rate());
      assert.strictEqual(after, 16000);
      await page.close();
    });

test(
    'an answer over the size limit rejects its call, an undeliverable callback is an error event',
    LIMIT, async () => {
      const page = await openPage(world, `${world.origin}/plain.html`);
      await loadInPage(page, oversizeRecord);
      const seen = await page.evaluate(async () => {
        const settle = vocleSettle;
        const vocle = document.getElementById('vocle');
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
      });
      assert.strictEqual(seen.raw.isError, true);
      assert.match(seen.raw.rejected, ANSWER_LIMIT);
      assert.deepStrictEqual(seen.afterRaw, {resolved: 16000});
      assert.match(seen.withCallback.rejected, ANSWER_LIMIT);
      assert.match(seen.event, ANSWER_LIMIT);
      assert.strictEqual(seen.called, false);
      assert.ok('resolved' in seen.last, JSON.stringify(seen.last));
      assert.ok(page.lines.some((line) => line === `error: ${seen.event}`), page.lines.join('\n'));
      await page.close();
    });

// The hosts the browser runs, by process id: each is the process it started and the one that
// split off; the process the browser started is the one whose parent is not a host.
function launchedHosts() {
  const processes = world.hosts();
  return processes.filter((p) => !processes.some((q) => q.pid === p.ppid)).map((p) => p.pid);
}

function hostCount() { return launchedHosts().length; }

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

// Once the frame's element has its members (now or later): the time of its load event (ms since
// the epoch, 0 when it had them already), its members, and every error event it had.
function loaded(frame) {
  return frame.evaluate(async () => {
    const element = document.getElementById('vocle');
    const at = 'version' in element ? 0 : await new Promise((resolve) => {
      element.addEventListener(
          'load', () => resolve(performance.timeOrigin + performance.now()), {once: true});
    });
    return {
      at,
      keys: Object.keys(element).length,
      errors: window.vocleErrors.map((e) => e.message)
    };
  });
}

// What a frame's element has now: its members and error events.
function present(frame) {
  return frame.evaluate(() => ({
    keys: Object.keys(document.getElementById('vocle')).length,
    errors: window.vocleErrors.map((e) => e.message)
  }));
}

// A page of count frames, each with one element; resolves once every element has loaded or
// failed, with the page, its frames and their outcomes.
async function openFrames(origin, count) {
  const page = await openPage(world, `${origin}/frames.html?n=${count}`);
  const framesOf = () => page.frames().filter((f) => f.url().includes('plain.html'));
  await waitFor(() => framesOf().length === count, 'the frames');
  const frames = framesOf();
  return {page, frames, outcomes: await Promise.all(frames.map(frameOutcome))};
}

// Closes every page of earlier tests and waits for their hosts to end; then samples the most
// hosts running at any moment, until the sampler is stopped.
async function freshBudget() {
  for (const open of world.context.pages()) {
    await open.close();
  }
  await waitFor(() => hostCount() === 0, 'the earlier hosts to end', 90000);
  const sampler = {most: 0};
  sampler.timer = setInterval(() => {
    sampler.most = Math.max(sampler.most, hostCount());
  }, 20);
  sampler.timer.unref();
  return sampler;
}

// A page that waits in line: its element has its one error event at once, and no members.
async function openWaiting() {
  const page = await openPage(world, `${world.origin}/plain.html`);
  const frame = page.mainFrame();
  const outcome = await frameOutcome(frame);
  assert.strictEqual(outcome.ready, false, JSON.stringify(outcome));
  assert.match(outcome.error, WAITING);
  assert.strictEqual(outcome.keys, 0);
  assert.ok(page.lines.some((line) => line === `error: ${outcome.error}`), page.lines.join('\n'));
  return page;
}

function recordInPage(page) {
  return page.evaluate(() => new Promise((resolve) => {
    document.getElementById('vocle').start_record(
        {vad_wait: 0.5, vad_gap: 0.5, vad_max: 0.5, callback: (...list) => resolve(list)});
  }));
}

test(
    'at most 16 hosts run at once; the pages beyond wait in line and get theirs as slots free',
    LIMIT, async () => {
      const sampler = await freshBudget();
      // An untrusted site with one frame more than the budget, each frame holding one element.
      const holder = await openFrames(world.otherOrigin, MAX_HOSTS + 1);
      const ready = holder.outcomes.filter((o) => o.ready);
      assert.strictEqual(ready.length, MAX_HOSTS, JSON.stringify(holder.outcomes));
      // The untrusted page still has the version from its hosts.
      for (const o of ready) {
        assert.deepStrictEqual(o, {ready: true, version: 'string', keys: 2});
      }
      const frameInLine = holder.frames[holder.outcomes.findIndex((o) => !o.ready)];
      assert.match(holder.outcomes.find((o) => !o.ready).error, WAITING);
      assert.strictEqual(hostCount(), MAX_HOSTS);

      // Trusted pages in other tabs wait behind it; one of them goes while it waits.
      const first = await openWaiting();
      const goes = await openWaiting();
      const second = await openWaiting();
      await goes.close();

      // One slot frees: the first in line (the frame) gets its host, and nobody else.
      const readyFrames = holder.frames.filter((f, k) => holder.outcomes[k].ready);
      const removeFrame = (frame) => holder.page.evaluate(
          (k) => document.getElementById(`frame-${k}`).remove(),
          new URL(frame.url()).searchParams.get('frame'));
      await removeFrame(readyFrames[0]);
      const frameLoaded = await loaded(frameInLine);
      assert.strictEqual(frameLoaded.keys, 2);
      assert.strictEqual(frameLoaded.errors.length, 1, frameLoaded.errors);
      const firstNow = await present(first.mainFrame());
      assert.strictEqual(firstNow.keys, 0);
      assert.strictEqual(firstNow.errors.length, 1, firstNow.errors);

      // The next slot goes to the first trusted page, with all of its members and a working
      // recorder; the second still waits.
      await removeFrame(readyFrames[1]);
      const firstLoaded = await loaded(first.mainFrame());
      assert.ok(firstLoaded.keys > 2, JSON.stringify(firstLoaded));
      assert.strictEqual(firstLoaded.errors.length, 1, firstLoaded.errors);
      assert.match(firstLoaded.errors[0], WAITING);
      assert.deepStrictEqual(await recordInPage(first), [true, '']);
      assert.strictEqual((await present(second.mainFrame())).keys, 0);

      // The holder's tab closes: the second page gets its host, its members and records, within
      // 2 s.
      const closedAt = Date.now();
      await holder.page.close();
      const secondLoaded = await loaded(second.mainFrame());
      const recorded = await recordInPage(second);
      const waited = secondLoaded.at - closedAt;
      const recordedAfter = Date.now() - closedAt;
      console.log(
          `members ${waited.toFixed(0)} ms and a recording ${recordedAfter} ms after the ` +
          'holder\'s tab closed');
      assert.ok(secondLoaded.keys > 2, JSON.stringify(secondLoaded));
      assert.strictEqual(secondLoaded.errors.length, 1, secondLoaded.errors);
      assert.deepStrictEqual(recorded, [true, '']);
      assert.ok(waited < 2000, `the members came ${waited} ms after the holder's tab closed`);
      assert.ok(recordedAfter < 2000, `the recording ended ${recordedAfter} ms after`);

      // The page that went while it waited took no slot: only the two trusted pages' hosts run.
      await waitFor(() => hostCount() === 2, 'the holder\'s hosts to end', 60000);
      clearInterval(sampler.timer);
      assert.ok(sampler.most <= MAX_HOSTS, `${sampler.most} hosts ran at once`);
      await first.close();
      await second.close();
      await waitFor(() => hostCount() === 0, 'every host to end', 60000);
    });

test('a host that lingers after its page has gone keeps its slot until it ends', LIMIT, async () => {
  const sampler = await freshBudget();
  const holder = await openFrames(world.origin, MAX_HOSTS);
  assert.ok(holder.outcomes.every((o) => o.ready), JSON.stringify(holder.outcomes));
  // One frame saves 10 s of samples into a pipe that the test reads only later: its host cannot
  // end before the save has, however long that takes.
  const samples = Buffer.alloc(10 * 16000 * 2);
  for (let i = 0; i < samples.length / 2; i++) {
    samples.writeInt16LE((i * 31) % 16000 - 8000, i * 2);
  }
  const source = path.join(world.work, 'files', 'ten.raw');
  fs.writeFileSync(source, samples);
  const pipe = path.join(world.work, 'files', 'save.pipe');
  run('mkfifo', [pipe]);
  const reader = fs.openSync(pipe, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
  const saved = [];
  // Reads what the pipe holds now; null once the writer has closed it.
  const readPipe = () => {
    const chunk = Buffer.alloc(65536);
    try {
      const got = fs.readSync(reader, chunk);
      if (got === 0) {
        return null;
      }
      saved.push(chunk.subarray(0, got));
      return got;
    } catch (err) {
      if (err.code === 'EAGAIN') {
        return 0;
      }
      throw err;
    }
  };
  const saver = holder.frames.find((f) => new URL(f.url()).searchParams.get('frame') === '0');
  await loadInPage(saver, source);
  await saver.evaluate((pipe) => {
    document.getElementById('vocle').save_record({path: pipe, format: 'raw'});
  }, pipe);
  await waitFor(() => readPipe() > 0, 'the save to start');

  // The saving frame goes; its host lives on with the save, and holds its slot (an idle host
  // ends within milliseconds of its page).
  const before = launchedHosts();
  await holder.page.evaluate(() => document.getElementById('frame-0').remove());
  const waiting = await openWaiting();
  const watchUntil = Date.now() + 3000;
  while (Date.now() < watchUntil) {
    assert.strictEqual((await present(waiting.mainFrame())).keys, 0, 'the waiting page has a host');
    assert.deepStrictEqual(launchedHosts().sort(), [...before].sort());
    await new Promise((resolve) => setTimeout(resolve, 100));
  }

  // The save ends whole; then the host does, and the waiting page gets its host.
  let got;
  while ((got = readPipe()) !== null) {
    if (got === 0) {
      await new Promise((resolve) => setTimeout(resolve, 10));
    }
  }
  fs.closeSync(reader);
  assert.ok(Buffer.concat(saved).equals(samples), `${Buffer.concat(saved).length} bytes saved`);
  const waitingLoaded = await loaded(waiting.mainFrame());
  assert.ok(waitingLoaded.keys > 2, JSON.stringify(waitingLoaded));
  assert.deepStrictEqual(await recordInPage(waiting), [true, '']);
  // The saving frame's host has ended, and the waiting page's has taken its slot.
  const now = launchedHosts();
  assert.strictEqual(now.filter((pid) => before.includes(pid)).length, MAX_HOSTS - 1);
  assert.strictEqual(now.length, MAX_HOSTS);
  clearInterval(sampler.timer);
  assert.ok(sampler.most <= MAX_HOSTS, `${sampler.most} hosts ran at once`);
  await waiting.close();
  await holder.page.close();
  await waitFor(() => hostCount() === 0, 'every host to end', 60000);
});
