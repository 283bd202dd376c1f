// Saves under a file-size limit of 128 KiB (run_page_test.sh --file-limit): a save past it fails
// as any failed write does, with the translated text, and leaves the old file and no temporary
// one beside it (work_save_limit_check.sh looks); the page goes on, and saves within the limit
// still succeed.
//
// page-test file_limit: --kit kit/steps.js --kit kit/records.js --conf work.conf --file-limit 131072 --check work_save_limit_check.sh

var work = args[0];
var out = work + '/out/';
var mic = work + '/mic.raw';  // 32000 bytes
var saveFailed = 'The record could not be saved.';

function load(index, append, what) {
  return expectResult('load_record', {index: index, path: mic, append: append}, [true, mic], what);
}
function save(index, format, name, expected, what) {
  return expectResult(
      'save_record', {index: index, format: format, path: out + name},
      [expected, expected ? out + name : saveFailed], what);
}

var steps = [
  load(1, false, 'a record within the limit'),
  save(1, 'raw', 'kept.raw', true, 'a save within the limit'),
  load(0, false, 'a record past the limit, 1 of 5')
];
for (var i = 2; i <= 5; i++) {
  steps.push(load(0, true, 'a record past the limit, ' + i + ' of 5'));
}
steps.push(
    save(0, 'raw', 'big.raw', false, 'a new file past the limit'),
    save(0, 'wav', 'kept.raw', false, 'a file replaced past the limit'),
    expectResult(
        'save_records', {
          records: [
            {index: 0, format: 'raw', path: out + 'list0.raw'},
            {index: 1, format: 'raw', path: out + 'list1.raw'}
          ]
        },
        [
          false,
          [
            {detail: saveFailed, index: 0, success: false},
            {detail: out + 'list1.raw', index: 1, success: true}
          ]
        ],
        'a list with a record past the limit'),
    save(1, 'raw', 'after.raw', true, 'a save after those that failed'));
sequence(steps);
