// Recording as a page drives it: the detector ends each utterance and the page's callback gets
// [true, statistics]; the "volumn" callback hears every block that was stored, with its level;
// the record holds exactly what the microphone gave, or the detected voice when clipped; a
// running recording is stopped, and stopping an idle record is refused with the translated text.
//
// The configuration (work.conf) sets audio.vad_gap 1.5, audio.vad_max 10 and
// audio.vad_statistic true, so a recording with no detector option shows that the settings
// apply, and one with an option shows that the option wins.
//
// page-test speech: --kit kit/steps.js --kit kit/records.js --conf work.conf --speech

var work = args[0];
var rate = 16000;
var frames = 1024;
var alreadyStopped = 'Nothing is recording or playing on this record.';

// The detector's clock: the start of block k, summed block by block as the detector sums it.
function timeOf(k) {
  var t = 0;
  for (var i = 0; i < k; i++) {
    t += frames / rate;
  }
  return t;
}
// The number of blocks after which the elapsed time since block `from` first exceeds `seconds`.
function blocksBeyond(from, seconds) {
  var m = from + 1;
  while (timeOf(m) - timeOf(from) <= seconds) {
    m++;
  }
  return m;
}
function blockAt(seconds, what) {
  var k = Math.round(seconds * rate / frames);
  expect(Math.abs(k * frames / rate - seconds) < 1e-6, what + ' ' + seconds + ' is no block start');
  return k;
}

// Statistics: the voice-start marker "_t|", then pairs of gap "|t_" and resumption "t|"
// markers, ending with the gap marker when the gap ended the utterance.
var number = '\\d+(?:\\.\\d+)?';
var endedByGap =
    new RegExp('^_' + number + '\\|(\\|' + number + '_' + number + '\\|)*\\|' + number + '_$');
var voiceStarted = new RegExp('^_' + number + '\\|');
function markers(statistics) {
  var numbers = statistics.match(/\d+(\.\d+)?/g);
  return {
    begin: blockAt(parseFloat(numbers[0]), 'voice start'),
    gap: blockAt(parseFloat(numbers[numbers.length - 1]), 'gap start')
  };
}

var mic;  // what the microphone gives, read back through a load of its input file

// The record against the microphone's input from sample `from` on; past its end the
// microphone repeats its silent tail.
function sameSamples(seen, from, what) {
  for (var i = 0; i < seen.length; i++) {
    var expected = from + i < mic.length ? mic[from + i] : 0;
    if (seen[i] !== expected) {
      same(seen[i], expected, what + ' sample ' + i);
    }
  }
}

// Each case records into its own buffer with the page's options; `gap` is the gap in force,
// `max` the longest utterance in force.
var cases = [
  {name: 'no detector options: the settings', index: 0, options: {}, statistic: true, gap: 1.5}, {
    name: 'vad_gap 0.5 over the setting',
    index: 1,
    options: {vad_gap: 0.5},
    statistic: true,
    gap: 0.5
  },
  {name: 'vad_statistic false', index: 2, options: {vad_statistic: false}, statistic: false},
  {name: 'vad_clip', index: 3, options: {vad_clip: true}, statistic: true, gap: 1.5, clip: true},
  {name: 'vad_max 3 ends it', index: 4, options: {vad_max: 3.0}, statistic: true, max: 3.0}
];

function recordCase(c) {
  return function(next) {
    console.log('case: ' + c.name);
    var volumes = [];
    var results = 0;
    plugin.start_record(merge(c.options, {
      index: c.index,
      volumn: guard(function() {
        same(arguments.length, 1, c.name + ': volumn arguments');
        volumes.push(arguments[0]);
      }),
      callback: guard(function() {
        var result = list(arguments);
        same(++results, 1, c.name + ': results');
        same(result.length, 2, c.name + ': result length');
        same(result[0], true, c.name + ': success');
        var statistics = result[1];
        same(typeof statistics, 'string', c.name + ': statistics type');
        // The record is final and the buffer idle before the page hears of the end.
        var info = plugin.get_record_info(c.index);
        same(info.status, '0', c.name + ': status at the report');
        var samples = recordOf(c.index);
        same(+info.count, samples.length, c.name + ': count');
        var heard = volumes.length;

        if (!c.statistic) {
          same(statistics, '', c.name + ': statistics');
        } else if (c.max) {
          expect(voiceStarted.test(statistics), c.name + ': statistics ' + statistics);
        } else {
          expect(endedByGap.test(statistics), c.name + ': statistics ' + statistics);
        }
        if (c.gap) {
          // The gap in force, counted from the block in which the pause began.
          same(heard, blocksBeyond(markers(statistics).gap, c.gap), c.name + ': blocks heard');
        }
        if (c.max) {
          same(heard, blocksBeyond(0, c.max), c.name + ': blocks heard');
        }

        if (c.clip) {
          var m = markers(statistics);
          var first = Math.floor(rate * timeOf(m.begin));
          var last = Math.floor(rate * timeOf(m.gap));
          same(samples.length, last - first, c.name + ': clipped count');
          sameSamples(samples, first, c.name + ': clipped record');
          next();
          return;
        }
        // Every stored block was heard once, with its level, and nothing else was.
        same(heard * frames, samples.length, c.name + ': blocks heard for the record');
        for (var b = 0; b < heard; b++) {
          if (volumes[b] !== level(samples, b * frames, frames)) {
            same(volumes[b], level(samples, b * frames, frames), c.name + ': level of block ' + b);
          }
        }
        sameSamples(samples, 0, c.name + ': record');
        next();
      })
    }));
  };
}

// The microphone's input, as samples to compare with, from a buffer of its own.
var steps = [
  expectResult(
      'load_record', {index: 9, path: work + '/mic.raw'}, [true, work + '/mic.raw'],
      'load of the microphone input'),
  function(next) {
    mic = recordOf(9);
    expect(mic.length > 3 * rate, 'the microphone input is ' + mic.length + ' samples');
    next();
  }
];
for (var i = 0; i < cases.length; i++) {
  steps.push(recordCase(cases[i]));
}

// A recording that nothing but a stop ends, stopped once it runs. Its own callback still
// reports success, and the record keeps what it heard up to the stop.
steps.push(function(next) {
  console.log('case: stop of a running recording');
  var index = 5;
  var recorded = null, stopped = null;
  var both = guard(function() {
    if (!recorded || !stopped) {
      return;
    }
    same(JSON.stringify(stopped), '[true]', 'the stop\'s result');
    same(recorded.length, 2, 'the stopped recording\'s result length');
    same(recorded[0], true, 'the stopped recording\'s success');
    var info = plugin.get_record_info(index);
    same(info.status, '0', 'status after the stop');
    var samples = recordOf(index);
    expect(
        samples.length > 0 && samples.length % frames === 0 && samples.length < 600 * rate,
        'a stopped record of ' + samples.length + ' samples');
    sameSamples(samples, 0, 'stopped record');
    console.log('stopped after ' + samples.length + ' samples');
    next();
  });
  plugin.start_record({
    index: index,
    vad_gap: 600,
    vad_wait: 600,
    vad_max: 600,
    callback: guard(function() {
      expect(recorded === null, 'the stopped recording reported twice');
      recorded = list(arguments);
      both();
    })
  });
  var poll = guard(function() {
    if (plugin.get_record_info(index).status !== '1') {
      expect(recorded === null, 'the recording ended before it was stopped');
      setTimeout(poll, 2);
      return;
    }
    plugin.stop({
      index: index,
      callback: guard(function() {
        expect(stopped === null, 'the stop reported twice');
        stopped = list(arguments);
        both();
      })
    });
  });
  poll();
});

// Stopping what is idle: the record just stopped, buffer 0 when no index is given, and a
// buffer beyond the table.
var idleStops = [
  {name: 'the stopped record again', options: {index: 5}},
  {name: 'no index: buffer 0', options: {}},
  {name: 'a buffer beyond the table', options: {index: 8}}
];
function idleStop(c) {
  return function(next) {
    console.log('case: stop of ' + c.name);
    plugin.stop(merge(c.options, {
      callback: guard(function() {
        same(
            JSON.stringify(list(arguments)), JSON.stringify([false, alreadyStopped]),
            'stop of ' + c.name);
        next();
      })
    }));
  };
}
for (var j = 0; j < idleStops.length; j++) {
  steps.push(idleStop(idleStops[j]));
}

guard(sequence)(steps);
