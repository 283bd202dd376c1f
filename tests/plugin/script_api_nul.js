// Page text with a NUL where the system takes a C string: a path of the file methods, an upload's
// "url" (also the recognition address) or "cookie". The system would read such a text only up to
// the NUL and act on another file or address, so each is refused with the failure the page
// already knows from that method, and nothing is removed, written, read or sent. A text form part
// keeps its NUL. api/check_nul.sh then looks at the folder and at what the server received.
//
// page-test default: --kit kit/steps.js --kit kit/records.js --conf api/nul.conf --server --check api/check_nul.sh

var work = args[0];
var server = args[1];
var dir = work + '/files';
var nul = '\u0000';

var invalid = 'Invalid argument';
var notSaved = 'The record could not be saved.';
var notLoaded = 'The record could not be loaded.';
var badAddress = 'The upload failed: URL using bad/illegal format or missing URL, ';
var badCookie = 'The upload failed: A libcurl function was given a bad argument, ';
var untransferred = 'ulnow: 0, ultotal: 0, dlnow: 0, dltotal: 0, total_time: 0';

function count(index) {
  return +plugin.get_record_info(index).count;
}

// A file method that answers at once: its result, and the list its callback gets.
function answers(method, options, result, expected, what) {
  return function(next) {
    console.log('case: ' + what);
    var calls = 0;
    var returned = plugin[method](merge(options, {
      callback: guard(function() {
        same(++calls, 1, what + ': results');
        same(JSON.stringify(list(arguments)), JSON.stringify(expected), what);
        next();
      })
    }));
    same(returned, result, what + ': returned');
  };
}

// An upload: its one result is the transfer failure with the given text, under its task id.
function refusedUpload(method, options, text, what) {
  return function(next) {
    console.log('case: ' + what);
    var frames = 0, calls = 0;
    var id = plugin[method](merge(options, {
      on_upload_frame: guard(function() {
        frames++;
      }),
      callback: guard(function() {
        var result = list(arguments);
        same(++calls, 1, what + ': results');
        same(JSON.stringify(result), JSON.stringify([false, text + untransferred, id, untransferred]),
             what);
        same(frames, 0, what + ': progress reports');
        next();
      })
    }));
  };
}

// The fixture: dir/keep (a WAV of the empty record 0: 44 bytes, 22 samples when loaded) and the
// empty folder dir/empty. A path cut at its NUL would name one of them.
var steps = [
  expectResult('save_record', {format: 'wav', path: dir + '/keep'}, [true, dir + '/keep'],
               'fixture: keep'),
  expectResult('save_record', {format: 'wav', path: dir + '/empty/gone.wav'},
               [true, dir + '/empty/gone.wav'], 'fixture: a file in the folder empty'),
  answers('filesystem_remove', {path: dir + '/empty/gone.wav'}, true, [true],
          'fixture: the folder empty emptied'),

  answers('filesystem_remove', {path: dir + '/keep' + nul + 'junk'}, false, [false, invalid],
          'filesystem_remove of keep, a NUL, junk'),
  answers('filesystem_remove', {path: dir + '/empty' + nul}, false, [false, invalid],
          'filesystem_remove of the folder empty and a NUL'),
  answers('filesystem_remove', {path: nul}, false, [false, invalid], 'filesystem_remove of a NUL'),
  answers('filesystem_exists', {path: dir + '/keep' + nul + 'junk'}, false, [false, invalid],
          'filesystem_exists of keep, a NUL, junk'),
  answers('filesystem_exists', {path: '@{appdata}' + nul}, false, [false, invalid],
          'filesystem_exists of a placeholder and a NUL'),

  expectResult('save_record', {format: 'wav', path: dir + '/saved.wav' + nul + '.txt'},
               [false, notSaved], 'save_record to saved.wav, a NUL, .txt'),
  // A raw save of the empty record would leave keep empty.
  expectResult('save_record', {format: 'raw', path: dir + '/keep' + nul + '.raw'},
               [false, notSaved], 'save_record over keep, a NUL, .raw'),
  expectResult('save_record', {format: 'wav', path: dir + '/made' + nul + '/a.wav'},
               [false, notSaved], 'save_record into the folder made and a NUL'),
  function(next) {
    console.log('case: save_records with a NUL in the second path');
    plugin.save_records({
      records: [
        {format: 'wav', path: dir + '/first.wav'},
        {format: 'wav', path: dir + '/second.wav' + nul},
        {format: 'wav', path: dir + '/third.wav'}
      ],
      callback: guard(function(all, entries) {
        same(all, false, 'the list\'s overall result');
        same(JSON.stringify(entries.map(function(e) {
               return [e.index, e.success, e.detail];
             })),
             JSON.stringify([
               [0, true, dir + '/first.wav'], [0, false, notSaved], [0, true, dir + '/third.wav']
             ]),
             'the list\'s entries');
        next();
      })
    });
  },
  expectResult('load_record', {index: 3, path: dir + '/keep' + nul + 'junk'},
               [false, notLoaded], 'load_record of keep, a NUL, junk'),
  function(next) {
    same(count(3), 0, 'samples of record 3 after the refused load');
    next();
  },

  refusedUpload('post_record', {url: server + '/nul-path' + nul + '/cut', format: 'raw'},
                badAddress, 'post_record to an address with a NUL'),
  refusedUpload('post_record', {url: server + '/nul-end' + nul, format: 'raw', index: 0},
                badAddress, 'post_record of one record to an address that ends in a NUL'),
  refusedUpload('post_record', {url: server + '/nul-cookie', cookie: 'a=1' + nul + '; b=2',
                                format: 'raw'},
                badCookie, 'post_record with a NUL in the cookie'),
  refusedUpload('recognize_record',
                {url: server + '/1/assess.wav' + nul + 'x', sentence: 'the sentence'}, badAddress,
                'recognize_record to an address with a NUL'),
  refusedUpload('recognize_record',
                {url: server + '/nul-cookie', cookie: nul, sentence: 'the sentence'}, badCookie,
                'recognize_record with a NUL for a cookie'),
  function(next) {
    plugin.set_recognition_url(server + '/1/assess.wav' + nul + '/cut');
    next();
  },
  refusedUpload('recognize_record', {sentence: 'the sentence'}, badAddress,
                'recognize_record to a recognition address with a NUL'),

  // What was kept: keep is whole, nothing was made beside it, and a sound upload still goes.
  answers('filesystem_exists', {path: dir + '/empty'}, true, [true], 'the folder empty is there'),
  answers('filesystem_exists', {path: dir + '/saved.wav'}, false,
          [false, 'No such file or directory'], 'no saved.wav'),
  answers('filesystem_exists', {path: dir + '/made'}, false, [false, 'No such file or directory'],
          'no folder made'),
  expectResult('load_record', {index: 3, path: dir + '/keep'}, [true, dir + '/keep'],
               'load_record of keep'),
  function(next) {
    same(count(3), 22, 'samples of keep');
    next();
  },
  function(next) {
    console.log('case: a text part keeps its NUL');
    plugin.recognize_record({
      url: server + '/echo-sentence',
      cookie: 'a=1',
      sentence: 'before' + nul + 'after',
      callback: guard(function(ok, answer) {
        same(ok, true, 'the upload with a NUL in its sentence (' + answer + ')');
        var parts = JSON.parse(answer).parts;
        same(parts[1].name + ' ' + parts[1].bytes, 'sentence 12', 'the sentence part');
        next();
      })
    });
  }
];

guard(sequence)(steps);
