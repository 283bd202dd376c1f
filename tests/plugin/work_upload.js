// Uploads as a page drives them, against the local assessment server: post_record with each
// form of "index" (none, one number, a list with a repeat, -1) as seen by the server's echo of
// the parts; recognize_record to the configured address with its progress; consecutive task
// ids that come back in each result, failures included; the cancel of a running upload; the
// time-out in force when "timeout" is missing or negative.
//
// page-test server: --kit kit/steps.js --kit kit/records.js --conf work.conf --speech --server

var work = args[0];
var echo = args[1] + '/echo';
var sentence = args[2];
var summaryPattern = /^ulnow: \d+, ultotal: \d+, dlnow: \d+, dltotal: \d+, total_time: [0-9.e+-]+$/;

function count(index) { return +plugin.get_record_info(index).count; }
// The length of the WAV DVI-ADPCM image of n samples: blocks of 1017 samples in 512 bytes, a
// shorter last block in 4 bytes and half a byte per sample after the first.
function imageLength(n) {
  var rest = n % 1017;
  return 60 + 512 * Math.floor(n / 1017) + (rest ? Math.floor(rest / 2) + 4 : 0);
}
function dataPart(bytes) {
  return {name: 'data', file_name: 'data', content_type: 'application/octet-stream', bytes: bytes};
}

// Starts an upload and checks its one result: the task id it returned comes back in it, with
// a transfer summary. `check` looks at the result further; `frames` collects the progress.
function upload(c, ids, then) {
  var results = 0;
  var frames = [];
  var id = plugin[c.method](merge(c.options, {
    on_upload_frame: guard(function() {
      frames.push(list(arguments));
      if (c.frame) {
        c.frame(list(arguments), id);
      }
    }),
    callback: guard(function() {
      var result = list(arguments);
      same(++results, 1, c.name + ': results');
      same(result.length, 4, c.name + ': result length');
      same(result[2], id, c.name + ': task id in the result');
      // No summary when the upload failed before any transfer.
      expect(
          c.untransferred ? result[3] === '' : summaryPattern.test(result[3]),
          c.name + ': summary "' + result[3] + '"');
      for (var i = 0; i < frames.length; i++) {
        var f = frames[i];
        expect(
            f.length === 3 && f[2] === id && f[1] > 0 && f[0] <= f[1] && f[1] === frames[0][1] &&
                (i === 0 || f[0] >= frames[i - 1][0]),
            c.name + ': progress ' + JSON.stringify(frames));
      }
      c.check(result, frames);
      then();
    })
  }));
  same(typeof id, 'number', c.name + ': task id');
  ids.push(id);
}
// Starts all the cases at once: their ids follow one another from `first`.
function uploads(cases, first) {
  return function(next) {
    var ids = [], left = cases.length;
    var one = function() {
      if (--left === 0) {
        next();
      }
    };
    for (var i = 0; i < cases.length; i++) {
      console.log('case: ' + cases[i].name);
      upload(cases[i], ids, one);
    }
    for (i = 0; i < ids.length; i++) {
      same(ids[i], first + i, 'task id of ' + cases[i].name);
    }
  };
}
function succeeds(parts) {
  return function(result) {
    same(result[0], true, 'success (' + result[1] + ')');
    same(JSON.stringify(JSON.parse(result[1]).parts), JSON.stringify(parts()), 'parts');
  };
}

var c0, c2, c3;
var posts = [
  {
    name: 'post_record with no index: an empty list',
    method: 'post_record',
    options: {url: echo, format: 'raw'},
    check: succeeds(function() { return [dataPart(4)]; })
  },
  {
    name: 'post_record of index 3 alone',
    method: 'post_record',
    options: {url: echo, format: 'raw', index: 3},
    check: succeeds(function() { return [dataPart(2 * c3)]; })
  },
  {
    name: 'post_record of [0, 2] in one body',
    method: 'post_record',
    options: {url: echo, format: 'raw', index: [0, 2]},
    check: succeeds(function() { return [dataPart(4 + 2 * 4 + 2 * c0 + 2 * c2)]; })
  },
  {
    name: 'post_record of [2, 0, 2]: each record once',
    method: 'post_record',
    options: {url: echo, format: 'raw', index: [2, 0, 2]},
    check: succeeds(function() { return [dataPart(4 + 2 * 4 + 2 * c0 + 2 * c2)]; })
  },
  {
    name: 'post_record of index -1: record 0 alone',
    method: 'post_record',
    options: {url: echo, format: 'raw', index: -1},
    check: succeeds(function() { return [dataPart(2 * c0)]; })
  },
  {
    name: 'post_record as wav',
    method: 'post_record',
    options: {url: echo, format: 'wav', index: 0},
    check: succeeds(function() { return [dataPart(44 + 2 * c0)]; })
  },
  {
    name: 'post_record answered 503',
    method: 'post_record',
    options: {url: echo + '?status=503', format: 'raw', index: [0, 2]},
    check: function(result) {
      var body = JSON.stringify({parts: [dataPart(4 + 2 * 4 + 2 * c0 + 2 * c2)]});
      same(result[0], false, '503: success');
      same(
          result[1].replace(/ /g, ''),
          ('The server answered with HTTP status 503: ' + body).replace(/ /g, ''), '503: text');
    }
  },
  {
    name: 'recognize_record at the configured address',
    method: 'recognize_record',
    options: {sentence: sentence},
    check: function(result, frames) {
      same(result[0], true, 'recognition: success (' + result[1] + ')');
      var answer = JSON.parse(result[1]);
      same(
          JSON.stringify([answer.sentence, answer.samples, answer.sample_rate, answer.parts]),
          JSON.stringify([sentence, c0, 16000, ['file', 'sentence']]), 'recognition answer');
      expect(frames.length > 0, 'recognition: no progress');
    }
  },
  {
    name: 'recognize_record of index 2 to another address',
    method: 'recognize_record',
    options: {url: echo, sentence: sentence, index: 2},
    check: function(result) {
      same(result[0], true, 'recognition to the echo: success (' + result[1] + ')');
      var parts = JSON.parse(result[1]).parts;
      same(
          JSON.stringify([parts[0], parts[1].name, parts[1].bytes]), JSON.stringify([
            {
              name: 'file',
              file_name: 'file',
              content_type: 'application/wav; codec="11"',
              bytes: imageLength(c2)
            },
            'sentence', sentence.length
          ]),
          'recognition parts');
    }
  },
  {
    name: 'post_record in an unknown format',
    method: 'post_record',
    options: {url: echo, format: 'WAV', index: 0},
    untransferred: true,
    check: function(result) {
      same(result[0], false, 'unknown format: success');
      console.log('unknown format: ' + result[1]);
    }
  }
];

var cancelled = {
  name: 'a cancelled upload',
  method: 'post_record',
  options: {url: echo + '?delay_ms=30000', format: 'raw', index: 0},
  // Cancelled at its first progress, when it is surely uploading; a second cancel is refused.
  frame: function(frame, id) {
    if (!this.asked) {
      this.asked = true;
      same(plugin.cancel_upload(id), true, 'cancel of a running upload');
      same(plugin.cancel_upload(id), false, 'second cancel of a running upload');
    }
  },
  check: function(result) {
    same(result[0], false, 'cancelled: success');
    same(
        result[1],
        'The upload failed: Operation was aborted by an application callback, ' + result[3],
        'cancelled: text');
  }
};

// With the studio's time-out at 1 s, an answer 3 s late times out unless the page's own
// "timeout" allows more.
function timedOut(result) {
  same(result[0], false, 'a late answer: success');
  same(result[1], 'The upload timed out: Timeout was reached, ' + result[3], 'a late answer: text');
}
var late = echo + '?delay_ms=3000';
var timeouts = [
  {
    name: 'timeout -5: the studio\'s',
    method: 'post_record',
    options: {url: late, format: 'raw', index: 0, timeout: -5},
    check: timedOut
  },
  {
    name: 'no timeout: the studio\'s',
    method: 'post_record',
    options: {url: late, format: 'raw', index: 0},
    check: timedOut
  },
  {
    name: 'timeout 10',
    method: 'post_record',
    options: {url: late, format: 'raw', index: 0, timeout: 10},
    check: function(result) { same(result[0], true, 'timeout 10: success (' + result[1] + ')'); }
  }
];

guard(sequence)([
  expectResult(
      'load_record', {index: 0, path: work + '/speech.raw'}, [true, work + '/speech.raw'],
      'load into 0'),
  expectResult(
      'load_record', {index: 2, path: work + '/mic.raw'}, [true, work + '/mic.raw'], 'load into 2'),
  expectResult(
      'load_record', {index: 3, path: work + '/speech.raw'}, [true, work + '/speech.raw'],
      'load into 3'),
  expectResult(
      'load_record', {index: 3, path: work + '/speech.raw', append: true},
      [true, work + '/speech.raw'], 'append to 3'),
  function(next) {
    c0 = count(0);
    c2 = count(2);
    c3 = count(3);
    expect(c0 > 0 && c2 > c0 && c3 === 2 * c0, 'record sizes ' + [c0, c2, c3]);
    next();
  },
  uploads(posts, 0),
  function(next) {
    console.log('case: cancel_upload of what is not uploading');
    same(plugin.cancel_upload(0), false, 'cancel of an ended upload');
    same(plugin.cancel_upload(4242), false, 'cancel of an unknown task');
    same(plugin.cancel_upload(-1), true, 'cancel of every uploading task, with none');
    next();
  },
  uploads([cancelled], posts.length),
  function(next) {
    plugin.set_upload_timeout(1);
    next();
  },
  uploads(timeouts, posts.length + 1)
]);
