// Playback as a page drives it: a record loaded from a file plays to the speaker, the "volumn"
// callback hears each played block with its level, and the page gets [true] at the end; an
// empty record ends at once with [true] and no level. work_playback_check.sh then finds the
// played samples in what the virtual speaker received.
//
// page-test speech: --conf work.conf --speech --check work_playback_check.sh

var work = args[0];
var frames = 1024;

// ---- page test kit ----
var failed = false;
function Failure(message) { this.message = message; }
function report(e) {
  if (failed) {
    return;
  }
  failed = true;
  console.error('FAIL: ' + (e instanceof Failure ? e.message : 'unexpected error: ' + e));
  done(1);
}
function expect(condition, message) {
  if (!condition) {
    throw new Failure(message);
  }
}
function same(seen, expected, what) {
  expect(
      seen === expected,
      what + ': expected ' + JSON.stringify(expected) + ', seen ' + JSON.stringify(seen));
}
// Every function that the plug-in or a timer calls goes through this, so a failed expectation
// ends the page with its message, and nothing runs after the first failure.
function guard(f) {
  return function() {
    if (failed) {
      return undefined;
    }
    try {
      return f.apply(this, arguments);
    } catch (e) {
      report(e);
      return undefined;
    }
  };
}
function list(argumentsObject) { return Array.prototype.slice.call(argumentsObject); }
// Runs the steps one after another; each gets the function that starts the next.
function sequence(steps) {
  var at = 0;
  var next = guard(function() {
    if (at < steps.length) {
      steps[at++](next);
    } else {
      console.log('all passed');
      done(0);
    }
  });
  next();
}
function merge(a, b) {
  var out = {}, k;
  for (k in a) {
    out[k] = a[k];
  }
  for (k in b) {
    out[k] = b[k];
  }
  return out;
}
// A step: the method with the options and a callback that must be called once, with exactly
// `expected`.
function expectResult(method, options, expected, what) {
  return function(next) {
    console.log('case: ' + what);
    var results = 0;
    plugin[method](merge(options, {
      callback: guard(function() {
        same(++results, 1, what + ': results');
        same(JSON.stringify(list(arguments)), JSON.stringify(expected), what);
        next();
      })
    }));
  };
}
// Base64 text as a list of bytes, with the page engine's own decoder.
function bytesOf(base64) {
  return Array.prototype.slice.call(new Uint8Array(Duktape.dec('base64', base64)));
}
// A record's samples, as get_record gives them in "raw".
function recordOf(index) {
  var bytes = bytesOf(plugin.get_record({index: index, format: 'raw'}));
  expect(bytes.length % 2 === 0, 'a raw record of ' + bytes.length + ' bytes');
  var samples = [];
  for (var i = 0; i < bytes.length; i += 2) {
    var s = bytes[i] | (bytes[i + 1] << 8);
    samples.push(s >= 32768 ? s - 65536 : s);
  }
  return samples;
}
// The level the page hears for a block: its loudest magnitude scaled to 0..100.
function level(samples, from, count) {
  var peak = 0;
  for (var i = from; i < from + count; i++) {
    var m = samples[i] === -32768 ? 32767 : Math.abs(samples[i]);
    if (m > peak) {
      peak = m;
    }
  }
  return Math.floor(peak * 100 / 32767);
}
// ---- end of kit ----

function play(index, what, then) {
  var volumes = [];
  var results = 0;
  plugin.playback({
    index: index,
    volumn: guard(function() {
      same(arguments.length, 1, what + ': volumn arguments');
      volumes.push(arguments[0]);
    }),
    callback: guard(function() {
      same(++results, 1, what + ': results');
      same(JSON.stringify(list(arguments)), '[true]', what + ': result');
      same(plugin.get_record_info(index).status, '0', what + ': status at the report');
      then(volumes);
    })
  });
}

guard(sequence)([
  function(next) {
    console.log('case: an empty record');
    play(4, 'empty record', function(volumes) {
      same(volumes.length, 0, 'levels of an empty record');
      next();
    });
  },
  expectResult(
      'load_record', {index: 0, path: work + '/speech.raw'}, [true, work + '/speech.raw'],
      'load of the speech'),
  function(next) {
    console.log('case: the speech');
    var samples = recordOf(0);
    play(0, 'speech', function(volumes) {
      // Whole blocks only: a last, shorter piece is not played.
      same(volumes.length, Math.floor(samples.length / frames), 'blocks played');
      for (var b = 0; b < volumes.length; b++) {
        if (volumes[b] !== level(samples, b * frames, frames)) {
          same(volumes[b], level(samples, b * frames, frames), 'level of block ' + b);
        }
      }
      same(plugin.get_record_info(0).count, String(samples.length), 'samples after playback');
      next();
    });
  }
]);
