// A save killed part-way: the first run saves a small record as out/take.raw;
// work_save_killed_check.sh then runs the page again with "kill" and a large recording, and
// kills vocle-page with SIGKILL while it writes out/take.raw over the old file. The file stays
// whole, old or new, and nothing else is left in the folder.
//
// page-test killed: --kit kit/steps.js --kit kit/records.js --conf work.conf --check work_save_killed_check.sh

var work = args[0];
var take = work + '/out/take.raw';
var source = args[3] === 'kill' ? work + '/big.raw' : work + '/mic.raw';

sequence([
  expectResult('load_record', {index: 0, path: source}, [true, source], 'load of ' + source),
  expectResult('save_record', {index: 0, format: 'raw', path: take}, [true, take], 'save')
]);
