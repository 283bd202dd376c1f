// Files as a page handles them, with the page's own paths (system.file_permission=all): a record
// saved in every format, read back with get_record and loaded again, with and without append;
// a list save with a failing record and an empty list; a load of a missing file; unknown formats
// refused. work_files_check.sh decodes the saved files with independent tools.
//
// page-test speech: --kit kit/steps.js --kit kit/records.js --conf work.conf --speech --check work_files_check.sh

var work = args[0];
var out = work + '/out/';
var formats = ['raw', 'wav', 'wav_dvi_adpcm', 'spx', 'opus', 'mp3'];
var loadFailed = 'The record could not be loaded.';
var saveFailed = 'The record could not be saved.';

function sameBytes(seen, expected, what) {
  same(seen.length, expected.length, what + ' length');
  for (var i = 0; i < seen.length; i++) {
    if (seen[i] !== expected[i]) {
      same(seen[i], expected[i], what + ' byte ' + i);
    }
  }
}
function text(bytes, at, length) {
  return String.fromCharCode.apply(null, bytes.slice(at, at + length));
}
function number(bytes, at, length) {
  var v = 0;
  for (var i = length - 1; i >= 0; i--) {
    v = v * 256 + bytes[at + i];
  }
  return v;
}
function rawOf(index) { return plugin.get_record({index: index, format: 'raw'}); }

var raw, wav, n;  // buffer 0 as raw and WAV text, and its sample count
var steps = [expectResult(
    'load_record', {index: 0, path: work + '/speech.raw'}, [true, work + '/speech.raw'],
    'load of the speech')];
for (var f = 0; f < formats.length; f++) {
  steps.push(expectResult(
      'save_record', {index: 0, format: formats[f], path: out + 'rec.' + formats[f]},
      [true, out + 'rec.' + formats[f]], 'save as ' + formats[f]));
}
steps.push(function(next) {
  console.log('case: get_record raw and wav');
  raw = rawOf(0);
  n = +plugin.get_record_info(0).count;
  same(bytesOf(raw).length, 2 * n, 'raw bytes');
  var delivered = null;
  wav = plugin.get_record({
    index: 0,
    format: 'wav',
    callback: guard(function() {
      delivered = list(arguments);
      same(delivered.length, 1, 'get_record result length');
      same(delivered[0], wav, 'get_record\'s delivered text');
      // The WAV image: the PCM header for n samples, then the raw bytes.
      var b = bytesOf(wav);
      var header = [
        text(b, 0, 4), number(b, 4, 4), text(b, 8, 8), number(b, 16, 4), number(b, 20, 2),
        number(b, 22, 2), number(b, 24, 4), number(b, 28, 4), number(b, 32, 2), number(b, 34, 2),
        text(b, 36, 4), number(b, 40, 4)
      ];
      same(
          JSON.stringify(header),
          JSON.stringify(
              ['RIFF', 36 + 2 * n, 'WAVEfmt ', 16, 1, 1, 16000, 32000, 2, 16, 'data', 2 * n]),
          'WAV header');
      sameBytes(b.slice(44), bytesOf(raw), 'WAV data');
      next();
    })
  });
  same(typeof wav, 'string', 'get_record\'s returned value');
});
// What was saved loads back byte for byte: a raw file as the same samples, a WAV file as its
// header and data taken as samples (what get_record gave as WAV).
steps.push(expectResult(
    'load_record', {index: 1, path: out + 'rec.raw'}, [true, out + 'rec.raw'],
    'load of the raw file'));
steps.push(function(next) {
  same(rawOf(1), raw, 'the raw file loaded');
  next();
});
steps.push(expectResult(
    'load_record', {index: 2, format: 'wav', path: out + 'rec.wav'}, [true, out + 'rec.wav'],
    'load of the wav file'));
steps.push(function(next) {
  same(rawOf(2), wav, 'the wav file loaded');
  same(plugin.get_record_info(2).count, String(22 + n), 'count of the wav file loaded');
  next();
});
steps.push(expectResult(
    'load_record', {index: 2, path: out + 'rec.raw', append: true}, [true, out + 'rec.raw'],
    'load with append'));
steps.push(function(next) {
  sameBytes(bytesOf(rawOf(2)), bytesOf(wav).concat(bytesOf(raw)), 'the record after append');
  next();
});
// A failed load leaves the record as it was.
steps.push(expectResult(
    'load_record', {index: 0, path: work + '/missing.raw'}, [false, loadFailed],
    'load of a missing file'));
steps.push(function(next) {
  same(rawOf(0), raw, 'the record after a failed load');
  next();
});

// A list save reports each record in the list's order; one that fails (two missing folder
// levels) fails the list, and the others are saved all the same.
steps.push(function(next) {
  console.log('case: save_records with a failing record');
  var records = [
    {index: 0, path: out + 'list0.raw', format: 'raw', success: true, detail: out + 'list0.raw'},
    {index: 1, path: work + '/no/such/x.raw', format: 'raw', success: false, detail: saveFailed},
    {index: 2, path: out + 'list2.wav', format: 'wav', success: true, detail: out + 'list2.wav'}
  ];
  plugin.save_records({
    records: records,
    callback: guard(function() {
      var result = list(arguments);
      same(result.length, 2, 'save_records result length');
      same(result[0], false, 'save_records overall');
      same(result[1].length, records.length, 'save_records entries');
      for (var i = 0; i < records.length; i++) {
        var e = result[1][i], r = records[i];
        same(
            JSON.stringify([e.index, e.success, e.detail]),
            JSON.stringify([r.index, r.success, r.detail]), 'entry ' + i);
      }
      next();
    })
  });
});
steps.push(expectResult('save_records', {records: []}, [true, []], 'save_records of no record'));

// Unknown formats: get_record fails in the call with the encoder's message, and delivers
// nothing; a save with one reports its failure once and writes nothing.
steps.push(function(next) {
  console.log('case: unknown formats');
  var bad = [{format: 'WAV'}, {format: 'wav '}, {format: 'ogg'}, {format: ''}, {}];
  for (var i = 0; i < bad.length; i++) {
    var message = null;
    try {
      plugin.get_record(merge(bad[i], {
        index: 0,
        callback: guard(function() {
          throw new Failure('a failed get_record delivered ' + JSON.stringify(list(arguments)));
        })
      }));
    } catch (e) {
      message = e.message;
    }
    same(
        message, 'wrong encoding type ' + (bad[i].format || ''),
        'get_record with ' + JSON.stringify(bad[i]) + ' failed with');
  }
  next();
});
steps.push(function(next) {
  var results = 0;
  plugin.save_record({
    index: 0,
    format: 'WAV',
    path: out + 'bad.WAV',
    callback: guard(function() {
      var result = list(arguments);
      same(++results, 1, 'results of a save in an unknown format');
      same(result.length, 2, 'save in an unknown format: result length');
      same(result[0], false, 'save in an unknown format');
      same(typeof result[1], 'string', 'save in an unknown format: text');
      next();
    })
  });
});

guard(sequence)(steps);
