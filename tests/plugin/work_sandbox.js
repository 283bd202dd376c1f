// Files under the shipped configuration (system.file_permission=sandbox): whatever path the page
// gives, a record is saved and loaded at its default name under the application-data folder,
// and the page is told that name. work_sandbox_check.sh reads the files the page was told of.
//
// page-test shipped: --kit kit/steps.js --kit kit/records.js --speech --check work_sandbox_check.sh

var work = args[0];
var appdata = work + '/data/Tarvix/';

function rawOf(index) { return plugin.get_record({index: index, format: 'raw'}); }

guard(sequence)([
  // The shipped detector settings: no statistics.
  expectResult('start_record', {}, [true, ''], 'a recording of the speech'),
  function(next) {
    console.log('recorded ' + plugin.get_record_info(0).count + ' samples');
    next();
  },
  expectResult(
      'save_record', {format: 'wav', path: work + '/elsewhere.wav'}, [true, appdata + 'test.wav'],
      'save at a page path'),
  // A record of a list is named with its index before the format.
  function(next) {
    console.log('case: save_records');
    plugin.save_records({
      records: [{index: 0, format: 'raw', path: work + '/x.raw'}, {index: 0, format: 'mp3'}],
      callback: guard(function() {
        var result = list(arguments);
        same(result.length, 2, 'save_records result length');
        same(result[0], true, 'save_records overall');
        var details = [];
        for (var i = 0; i < result[1].length; i++) {
          details.push([result[1][i].index, result[1][i].success, result[1][i].detail]);
        }
        same(
            JSON.stringify(details),
            JSON.stringify([[0, true, appdata + 'test.0raw'], [0, true, appdata + 'test.0mp3']]),
            'save_records entries');
        next();
      })
    });
  },
  expectResult(
      'load_record', {index: 1, format: 'wav', path: '/nonexistent/any.wav'},
      [true, appdata + 'test.wav'], 'load from a page path'),
  function(next) {
    same(rawOf(1), plugin.get_record({index: 0, format: 'wav'}), 'the default WAV file loaded');
    next();
  },
  expectResult(
      'load_record', {index: 1, format: 'spx', path: work + '/elsewhere.wav'},
      [false, 'The record could not be loaded.'], 'load of a default name not saved'),
  function(next) {
    same(rawOf(1), plugin.get_record({index: 0, format: 'wav'}), 'the record after a failed load');
    next();
  }
]);
