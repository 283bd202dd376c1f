// Test kit: plug-in calls as steps, and records as samples. Needs kit/steps.js.
//
// The runner puts this after the page's script (run_page_test.sh --kit kit/records.js), so it
// only declares functions.

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
