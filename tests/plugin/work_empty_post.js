// An empty record posted as "raw": an empty part "data", in a body that goes with its length
// (work_empty_post_check.sh reads how the server saw it framed), not in chunks, which many
// servers refuse.
//
// page-test server: --kit kit/steps.js --conf work.conf --server --check work_empty_post_check.sh

var url = args[1] + '/empty';

sequence([function(next) {
  same(+plugin.get_record_info(5).count, 0, 'samples of record 5');
  plugin.post_record({
    url: url,
    format: 'raw',
    index: 5,
    callback: guard(function(ok, answer) {
      same(ok, true, 'success (' + answer + ')');
      same(
          JSON.stringify(JSON.parse(answer).parts), JSON.stringify([
            {name: 'data', file_name: 'data', content_type: 'application/octet-stream', bytes: 0}
          ]),
          'parts');
      next();
    })
  });
}]);
