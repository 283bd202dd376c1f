// The browser route at size and for cheap calls, through Debian's Chromium (headless) with the
// vocle extension and vocle-host, beside the route's floor measured in the same run and profile:
// a bare extension of the same shape (page world -> isolated relay -> service worker) with a
// bare echo host (echo_host.c) behind it, which sends the same number of bytes in the same
// pieces and does no work.
//
// Prints, each beside its target:
//   - the size of each answer as vocle-host writes it (its JSON text, all pieces together);
//   - get_record "wav" of a 60-second, a 5-minute and a 60-minute record (loaded with
//     load_record): the median of 5 calls (3 for the 60-minute one), the floor's median for an
//     answer of the same size, and their ratio; and, for where the time goes, the same call
//     straight to vocle-host through a pipe (the host's own share: the library, the encoding,
//     the pieces), and for the 60-minute one the most memory the host held for it;
//   - the median round trip of get_sample_rate beside the echo host's tiny round trip, and a
//     WebSocket echo's to 127.0.0.1 for reference.
// Real and floor runs take turns, so both see the same load of the machine.
//
// Needs the release build (VOCLE_BUILD, default build/release), the echo host built beside the
// benchmarks, Chromium and tests/browser's npm packages. KEEP_WORK=1 keeps the work folder.
'use strict';

const childProcess = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');

const SOURCE = process.env.VOCLE_SOURCE || path.resolve(__dirname, '..', '..');
process.env.VOCLE_SOURCE = SOURCE;
const BUILD = process.env.VOCLE_BUILD || path.join(SOURCE, 'build', 'release');
process.env.VOCLE_BUILD = BUILD;

const {setUp, openPage, testConf} = require(path.join(SOURCE, 'tests', 'browser', 'harness'));

const FLOOR_EXTENSION = path.join(__dirname, 'floor');
const FLOOR_HOST = 'com.tarvix.vocle_floor';
const ECHO_HOST = process.env.VOCLE_ECHO_HOST || path.join(BUILD, 'bench', 'echo-host');
const RATE = 16000;
const RECORDS = [
  {name: '60 s', seconds: 60, targetMs: 300, runs: 5},
  {name: '5 min', seconds: 300, targetMs: 1500, runs: 5},
  {name: '60 min', seconds: 3600, targetMs: 18000, runs: 3, memory: true},
];
// The most the host may hold while it answers with a record's text, against the text's size.
const MEMORY_RATIO = 3;
const TINY_ROUNDS = 5;
const TINY_CALLS = 100;  // per round and way
const FLOOR_RATIO = 1.5;

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = sorted.length >> 1;
  return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

// A record's samples as raw 16-bit little-endian: a tone with some noise, so that nothing along
// the way gets an easy ride on runs of equal bytes.
function writeRecord(file, seconds) {
  const samples = Buffer.alloc(seconds * RATE * 2);
  let noise = 12345;
  for (let i = 0; i < seconds * RATE; i++) {
    noise = (noise * 1103515245 + 12345) & 0x7fffffff;
    samples.writeInt16LE(Math.round(6000 * Math.sin(i / 9)) + (noise % 2001) - 1000, i * 2);
  }
  fs.writeFileSync(file, samples);
}

// ---- the sizes of vocle-host's answers, read off its output with no browser in between ----

function talkToHost(world, steps) {
  const child = childProcess.spawn(world.hostCommand, ['chrome-extension://bench/'], {
    env: world.env,
    stdio: ['pipe', 'pipe', 'ignore'],
  });
  // The output as it comes, in chunks: a frame is cut out once all of it is there.
  const chunks = [];
  let have = 0;
  let text = [];
  let bytes = 0;
  let waiting = null;
  const take = (size) => {
    const whole = chunks.length === 1 ? chunks[0] : Buffer.concat(chunks);
    chunks.length = 0;
    if (whole.length > size) {
      chunks.push(whole.subarray(size));
    }
    have -= size;
    return whole.subarray(0, size);
  };
  let frame = -1;  // the size of the frame being read, once its length is in
  child.stdout.on('data', (chunk) => {
    chunks.push(chunk);
    have += chunk.length;
    for (;;) {
      if (frame < 0 && have >= 4) {
        frame = take(4).readUInt32LE(0);
      }
      if (frame < 0 || have < frame) {
        return;
      }
      let message = JSON.parse(take(frame).toString('utf8'));
      bytes += frame;
      frame = -1;
      if (message.t === 'part') {
        text.push(message.d);
        if (!message.end) {
          continue;
        }
        message = JSON.parse(text.join(''));
        text = [];
      }
      if (waiting && waiting.match(message)) {
        const done = waiting;
        waiting = null;
        done.resolve({message, bytes});
      }
      bytes = 0;
    }
  });
  const send = (message) => {
    const body = Buffer.from(JSON.stringify(message));
    const head = Buffer.alloc(4);
    head.writeUInt32LE(body.length);
    child.stdin.write(Buffer.concat([head, body]));
  };
  const ask = (message, match) => new Promise((resolve) => {
    waiting = {match, resolve};
    send(message);
  });
  // The serving process: the one vocle-host splits off (after the wrapper's exec).
  const server = () => {
    const children = fs.readFileSync(`/proc/${child.pid}/task/${child.pid}/children`, 'utf8');
    return children.trim().split(' ')[0] || child.pid;
  };
  const resetPeak = () => fs.writeFileSync(`/proc/${server()}/clear_refs`, '5');
  const peak = () => Number(
      /^VmHWM:\s+(\d+) kB/m.exec(fs.readFileSync(`/proc/${server()}/status`, 'utf8'))[1]) * 1024;
  const finished = new Promise((resolve) => child.on('exit', resolve));
  return (async () => {
    try {
      return await steps({send, ask, peak, resetPeak});
    } finally {
      child.stdin.end();
      await finished;
    }
  })();
}

async function answerSizes(world, files) {
  return talkToHost(world, async ({send, ask, peak, resetPeak}) => {
    send({t: 'hello', url: `${world.origin}/plain.html`});
    await ask({t: 'create', i: 1, type: 'application/x-tarvix-vocle'}, (m) => m.t === 'created');
    let q = 1;
    const ret = (m) => m.t === 'ret';
    const call = (name, args) => ask({t: 'call', q: q++, i: 1, m: name, a: args}, ret);
    const sizes = {get_sample_rate: (await call('get_sample_rate', [])).bytes};
    for (const record of RECORDS) {
      const loaded = await ask(
          {
            t: 'call',
            q: q++,
            i: 1,
            m: 'load_record',
            a: [{$: 'o', id: 1, s: [['path', files[record.name]], ['format', 'raw']]}]
          },
          ret);
      if (!loaded.message.ok) {
        throw new Error(`load_record failed: ${loaded.message.e}`);
      }
      // The load runs on a worker: wait until the record holds every sample.
      for (;;) {
        const info = await call('get_record_info', [0]);
        const members = new Map(info.message.v.v);
        if (Number(members.get('count')) === record.seconds * RATE) {
          break;
        }
        await new Promise((resolve) => setTimeout(resolve, 20));
      }
      // A warm-up, then the median of three.
      const times = [];
      let answer;
      resetPeak();
      for (let run = 0; run < 4; run++) {
        const started = process.hrtime.bigint();
        answer = await call('get_record', [{$: 'o', id: 2, s: [['format', 'wav']]}]);
        times.push(Number(process.hrtime.bigint() - started) / 1e6);
      }
      sizes[record.name] = {bytes: answer.bytes, ms: median(times.slice(1)), peak: peak()};
    }
    return sizes;
  });
}

// ---- a WebSocket echo on 127.0.0.1, for reference ----

function startWebSocketEcho() {
  const server = http.createServer((req, res) => res.end());
  server.sockets = new Set();
  server.on('upgrade', (req, socket) => {
    server.sockets.add(socket);
    socket.on('close', () => server.sockets.delete(socket));
    const accept = crypto.createHash('sha1')
                       .update(req.headers['sec-websocket-key'] +
                               '258EAFA5-E914-47DA-95CA-C5AB0DC85B11')
                       .digest('base64');
    socket.write(
        'HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n' +
        `Sec-WebSocket-Accept: ${accept}\r\n\r\n`);
    socket.setNoDelay(true);
    let pending = Buffer.alloc(0);
    socket.on('data', (chunk) => {
      pending = Buffer.concat([pending, chunk]);
      // Short masked frames from the browser, sent back unmasked.
      while (pending.length >= 6) {
        const opcode = pending[0] & 0x0f;
        const size = pending[1] & 0x7f;
        if (size > 125 || pending.length < 6 + size) {
          if (size > 125) {
            socket.destroy();
          }
          return;
        }
        const mask = pending.subarray(2, 6);
        const payload = Buffer.from(pending.subarray(6, 6 + size));
        for (let k = 0; k < size; k++) {
          payload[k] ^= mask[k & 3];
        }
        pending = pending.subarray(6 + size);
        if (opcode === 8) {
          socket.end();
          return;
        }
        socket.write(Buffer.concat([Buffer.from([0x80 | opcode, size]), payload]));
      }
    });
    socket.on('error', () => {});
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// ---- in the page ----

async function preparePage(page, files, socketUrl) {
  await page.evaluate(async ({socketUrl}) => {
    const vocle = await vocleReady(document.getElementById('vocle'));
    const socket = new WebSocket(socketUrl);
    await new Promise((resolve, reject) => {
      socket.onopen = resolve;
      socket.onerror = () => reject(new Error('the WebSocket echo did not open'));
    });
    let echoed = null;
    socket.onmessage = () => echoed();
    window.bench = {
      vocle,
      socketEcho: () => new Promise((resolve) => {
        echoed = resolve;
        socket.send('x');
      }),
    };
    await vocle.get_version();
    await floorCall(0);
  }, {socketUrl});
}

async function loadRecord(page, file, samples) {
  await page.evaluate(async ({file, samples}) => {
    const vocle = window.bench.vocle;
    const loaded = await new Promise((resolve) => {
      vocle.load_record({path: file, format: 'raw', callback: (...list) => resolve(list)});
    });
    if (!loaded[0]) {
      throw new Error('load_record failed: ' + loaded[1]);
    }
    const info = await vocle.get_record_info(0);
    if (Number(info.count) !== samples) {
      throw new Error(`the record holds ${info.count} samples, not ${samples}`);
    }
  }, {file, samples});
}

// Milliseconds of one get_record "wav", and of one floor answer of the given size.
function timeRecord(page) {
  return page.evaluate(async () => {
    const started = performance.now();
    const text = await window.bench.vocle.get_record({format: 'wav'});
    const ms = performance.now() - started;
    if (typeof text !== 'string' || !text.startsWith('UklGR')) {
      throw new Error('get_record did not give a WAV file');
    }
    return ms;
  });
}

function timeFloor(page, bytes) {
  return page.evaluate(async (bytes) => {
    const started = performance.now();
    const answer = await floorCall(bytes);
    const ms = performance.now() - started;
    if (answer.v.length < bytes - 64) {
      throw new Error('the echo host sent less than asked');
    }
    return ms;
  }, bytes);
}

// Round trips of one way, in milliseconds each.
function timeTiny(page, way, count) {
  return page.evaluate(async ({way, count}) => {
    const once = {
      vocle: () => window.bench.vocle.get_sample_rate(),
      floor: () => floorCall(0),
      socket: () => window.bench.socketEcho(),
    }[way];
    const times = [];
    for (let k = 0; k < count; k++) {
      const started = performance.now();
      await once();
      times.push(performance.now() - started);
    }
    return times;
  }, {way, count});
}

function verdict(value, target) { return value <= target ? 'met' : 'MISSED'; }

async function main() {
  if (!fs.existsSync(ECHO_HOST)) {
    throw new Error(`${ECHO_HOST} is missing: build the release tree first`);
  }
  const world = await setUp({
    conf: testConf(),
    extensions: [FLOOR_EXTENSION],
    nativeHosts: [{name: FLOOR_HOST, path: ECHO_HOST, extension: FLOOR_EXTENSION}],
  });
  let socketServer = null;
  try {
    const files = {};
    for (const record of RECORDS) {
      files[record.name] = path.join(world.work, 'files', `record-${record.seconds}.raw`);
      writeRecord(files[record.name], record.seconds);
    }
    const sizes = await answerSizes(world, files);

    socketServer = await startWebSocketEcho();
    const page = await openPage(world, `${world.origin}/plain.html`);
    await preparePage(page, files, `ws://127.0.0.1:${socketServer.address().port}/`);

    console.log('browser route: Chromium headless, the vocle extension and vocle-host');
    console.log(
        `answer sizes (JSON text vocle-host writes): get_sample_rate ${sizes.get_sample_rate} B, ` +
        RECORDS.map((r) => `get_record "wav" ${r.name} ${sizes[r.name].bytes} B`).join(', '));

    for (const record of RECORDS) {
      await loadRecord(page, files[record.name], record.seconds * RATE);
      const bytes = sizes[record.name].bytes;
      await timeRecord(page);  // warm-up
      await timeFloor(page, bytes);
      const real = [];
      const floor = [];
      for (let run = 0; run < record.runs; run++) {
        real.push(await timeRecord(page));
        floor.push(await timeFloor(page, bytes));
      }
      const ms = median(real);
      const floorMs = median(floor);
      const ratio = ms / floorMs;
      console.log(
          `get_record "wav" of a ${record.name} record (${(bytes / 1e6).toFixed(2)} MB): ` +
          `median ${ms.toFixed(0)} ms (target: at most ${record.targetMs} ms, ` +
          `${verdict(ms, record.targetMs)}); floor ${floorMs.toFixed(0)} ms, ratio ` +
          `${ratio.toFixed(2)}x (target: at most ${FLOOR_RATIO}x, ` +
          `${verdict(ratio, FLOOR_RATIO)}); straight from vocle-host through a pipe ${
              sizes[record.name].ms.toFixed(0)} ms`);
      if (record.memory) {
        const memory = sizes[record.name].peak / bytes;
        console.log(
            `  the host's peak meanwhile ${(sizes[record.name].peak / 1e6).toFixed(0)} MB, ` +
            `${memory.toFixed(2)}x the answer (target: at most ${MEMORY_RATIO}x, ` +
            `${verdict(memory, MEMORY_RATIO)})`);
      }
      console.log(`  runs: vocle ${real.map((v) => v.toFixed(0)).join(' ')} ms; floor ${
          floor.map((v) => v.toFixed(0)).join(' ')} ms`);
    }

    const tiny = {vocle: [], floor: [], socket: []};
    for (const way of Object.keys(tiny)) {
      await timeTiny(page, way, 20);  // warm-up
    }
    for (let round = 0; round < TINY_ROUNDS; round++) {
      for (const way of Object.keys(tiny)) {
        tiny[way].push(...await timeTiny(page, way, TINY_CALLS));
      }
    }
    const rtt = median(tiny.vocle);
    const floorRtt = median(tiny.floor);
    const socketRtt = median(tiny.socket);
    console.log(
        `get_sample_rate round trip: median ${rtt.toFixed(2)} ms; echo host ${
            floorRtt.toFixed(2)} ms, ratio ${(rtt / floorRtt).toFixed(2)}x (target: at most ` +
        `${FLOOR_RATIO}x, ${verdict(rtt / floorRtt, FLOOR_RATIO)}); WebSocket echo ` +
        `${socketRtt.toFixed(2)} ms (vocle ${(rtt / socketRtt).toFixed(1)}x, echo host ${
            (floorRtt / socketRtt).toFixed(1)}x)`);
    await page.close();
  } finally {
    if (socketServer) {
      for (const socket of socketServer.sockets) {
        socket.destroy();
      }
      socketServer.close();
    }
    await world.close();
  }
}

main().catch((err) => {
  console.error(`bench_browser: ${err.stack || err}`);
  process.exit(1);
});
