// Keyed callback hosts through the extension: the host object stays in the page and vocle-host
// reaches it by messages; a synchronous read of the simple host waits for the page's answer, at
// most the answer time-out, and then fails the call cleanly.
'use strict';

const assert = require('node:assert');
const {test, before, after} = require('node:test');

const {setUp, openPage, testConf} = require('./harness');

const LIMIT = {
  timeout: 180000
};

let world;

before(async () => {
  // A short answer time-out, so that a page that answers late is seen quickly.
  world = await setUp({conf: testConf(), hostArgs: ['--answer-timeout', '2']});
});

after(async () => {
  if (world) {
    await world.close();
  }
});

test(
    'a keyed host gets the key and the result list; get_jskey_funchost gives it back', LIMIT,
    async () => {
      const page = await openPage(world, `${world.origin}/plain.html`);
      const seen = await page.evaluate(async () => {
        const vocle = await vocleReady(document.getElementById('vocle'));
        const calls = [];
        let released;
        const allReleased = new Promise((resolve) => {
          released = resolve;
        });
        const host = {
          call_function() {},
          apply_function(key, result) {
            calls.push(['apply', key, result, Array.isArray(result)]);
          },
          release_function(key) {
            calls.push(['release', key]);
            if (key === '5') {
              released();
            }
          },
        };
        const out = {};
        out.noHostYet = await vocle.get_jskey_funchost();
        await vocle.set_jskey_funchost(host);
        out.same = (await vocle.get_jskey_funchost()) === host;
        out.version = await vocle.get_version('cb17');
        await vocle.get_sample_rate(5);
        await allReleased;
        out.calls = calls;
        return out;
      });
      assert.strictEqual(seen.noHostYet, null);
      assert.strictEqual(seen.same, true);
      assert.deepStrictEqual(seen.calls, [
        ['apply', 'cb17', [seen.version], true],
        ['release', 'cb17'],
        ['apply', '5', [16000], true],
        ['release', '5'],
      ]);
      await page.close();
    });

test('a simple host keeps the functions it read at its first use', LIMIT, async () => {
  const page = await openPage(world, `${world.origin}/plain.html`);
  const seen = await page.evaluate(async () => {
    const vocle = await vocleReady(document.getElementById('vocle'));
    const heard = [];
    let twice;
    const both = new Promise((resolve) => {
      twice = resolve;
    });
    const hear = (who) => (key, result) => {
      heard.push([who, key, result]);
      if (heard.length === 2) {
        twice();
      }
    };
    const host = {call_function() {}, apply_function: hear('first'), release_function() {}};
    await vocle.set_jskey_funchost(host, true);
    await vocle.get_sample_rate('a');
    host.apply_function = hear('replaced');
    await vocle.get_sample_rate('b');
    await both;
    return heard;
  });
  assert.deepStrictEqual(seen, [['first', 'a', [16000]], ['first', 'b', [16000]]]);
  await page.close();
});

test(
    'a page that answers a synchronous read too late fails that call, and only that', LIMIT,
    async () => {
      const page = await openPage(world, `${world.origin}/plain.html`);
      const seen = await page.evaluate(async () => {
        const vocle = await vocleReady(document.getElementById('vocle'));
        const heard = [];
        let heardOne = () => {};
        let slow = true;
        const host = {
          call_function() {},
          release_function() {},
        };
        // The first read of the apply function keeps the page busy past the host's time-out.
        Object.defineProperty(host, 'apply_function', {
          enumerable: true,
          get() {
            if (slow) {
              slow = false;
              const until = Date.now() + 4000;
              while (Date.now() < until) {
              }
            }
            return (key, result) => {
              heard.push([key, result]);
              heardOne();
            };
          },
        });
        await vocle.set_jskey_funchost(host, true);
        const out = {};
        try {
          await vocle.get_version('late');
          out.first = 'resolved';
        } catch (err) {
          out.first = err.message;
        }
        const delivered = new Promise((resolve) => {
          heardOne = resolve;
        });
        out.second = await vocle.get_sample_rate('on time');
        await delivered;
        out.heard = heard;
        return out;
      });
      assert.strictEqual(seen.first, 'the page did not answer within 2 s');
      assert.strictEqual(seen.second, 16000);
      assert.deepStrictEqual(seen.heard, [['on time', [16000]]]);
      await page.close();
    });

test('a page function that throws fails only its own delivery', LIMIT, async () => {
  const page = await openPage(world, `${world.origin}/plain.html`);
  const seen = await page.evaluate(async () => {
    const vocle = await vocleReady(document.getElementById('vocle'));
    const version = await vocle.get_version(() => {
      throw new Error('page bug');
    });
    const args = await new Promise((resolve) => vocle.get_sample_rate((...list) => resolve(list)));
    return {version, args};
  });
  assert.match(seen.version, /^\d/);
  assert.deepStrictEqual(seen.args, [16000]);
  await page.close();
});

// Each key goes to a stop of an idle record, whose worker answers at once: the worker's delivery
// races the release made when the call lets go of the key, and the release must come last.
test('a key is released only after its result, for simple and plain hosts', LIMIT, async () => {
  const page = await openPage(world, `${world.origin}/plain.html`);
  const seen = await page.evaluate(async () => {
    const vocle = await vocleReady(document.getElementById('vocle'));
    const keys = 300;
    const out = {};
    for (const simple of [true, false]) {
      const results = new Set();
      const early = [];
      let released = 0;
      let allReleased;
      const finished = new Promise((resolve) => {
        allReleased = resolve;
      });
      const host = {
        call_function() {},
        apply_function(key) {
          results.add(key);
        },
        release_function(key) {
          if (!results.has(key)) {
            early.push(key);
          }
          if (++released === keys) {
            allReleased();
          }
        },
      };
      await vocle.set_jskey_funchost(host, simple);
      const calls = [];
      for (let i = 0; i < keys; i++) {
        calls.push(vocle.stop({index: 0, callback: `k${i}`}));
      }
      await Promise.all(calls);
      await finished;
      out[simple ? 'simple' : 'plain'] = {early, results: results.size};
    }
    return out;
  });
  for (const kind of ['simple', 'plain']) {
    assert.deepStrictEqual(seen[kind], {early: [], results: 300}, kind);
  }
  await page.close();
});
