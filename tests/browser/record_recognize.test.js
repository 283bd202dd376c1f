// A trusted page at http://127.0.0.1:PORT/ records the virtual microphone until the detector ends
// the recording, reads the record back with get_record, and sends it to tools/assess-server for
// recognition, following the upload's progress: everything through its <object> element.
'use strict';

const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const {test, before, after} = require('node:test');

const {setUp, openPage, testConf, run} = require('./harness');

const LIMIT = {
  timeout: 180000
};

let world;

before(async () => {
  world = await setUp({
    speech: true,
    server: true,
    conf: testConf() + '[audio]\nrecognition_url=@SERVER@/1/assess.wav\n',
  });
});

after(async () => {
  if (world) {
    await world.close();
  }
});

test(
    'a trusted page records, reads the record and gets the assessment', {timeout: 180000},
    async () => {
      const page = await openPage(world, `${world.origin}/`);
      const result =
          await page.evaluate((sentence) => recordAndRecognise(sentence), world.sentence);

      // The detector ended the recording after the sentence.
      assert.deepStrictEqual(result.recorded, [true, '']);
      const samples = Number(result.info.count);
      assert.ok(
          samples > 16000 && samples * 2 <= world.speechBytes + 5 * 32000,
          `a record of ${samples} samples for ${world.speechBytes / 2} samples of speech`);

      // get_record gave the record as a WAV file, which sox reads with the same sample count.
      const wav = path.join(world.work, 'record.wav');
      fs.writeFileSync(wav, Buffer.from(result.wav, 'base64'));
      assert.strictEqual(Number(run('soxi', ['-s', wav]).trim()), samples);
      assert.strictEqual(run('soxi', ['-r', wav]).trim(), '16000');

      // The upload reported its progress up to the whole body, for its own task.
      assert.ok(result.progress.length > 0, 'no progress was reported');
      const last = result.progress[result.progress.length - 1];
      assert.strictEqual(last[0], last[1]);
      for (const [sent, total, task] of result.progress) {
        assert.ok(sent <= total);
        assert.strictEqual(task, result.task);
      }
      for (let k = 1; k < result.progress.length; k++) {
        assert.ok(result.progress[k][0] >= result.progress[k - 1][0], 'progress went back');
      }

      // The assessment server decoded the record and heard the sentence's text as sent.
      const [ok, body, task, summary] = result.answer;
      assert.strictEqual(ok, true, `the upload failed: ${body}`);
      assert.strictEqual(task, result.task);
      assert.match(summary, /^ulnow: \d+, ultotal: \d+, dlnow: \d+, dltotal: \d+, total_time: /);
      const answer = JSON.parse(body);
      assert.strictEqual(answer.sentence, world.sentence);
      assert.strictEqual(answer.samples, samples);
      assert.strictEqual(answer.sample_rate, 16000);
      assert.deepStrictEqual(answer.parts, ['file', 'sentence']);

      assert.match(await page.textContent('#log'), /answer: \{/);
      await page.close();
    });
