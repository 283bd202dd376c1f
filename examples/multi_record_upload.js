// Several records in one upload: record two answers into buffers 0 and 1, then post both in one
// multi-record body. The server receives one form part "data" that packs the encoded records in
// ascending buffer order: the record count, then every record's length, then the records' bytes
// one after the other (counts and lengths 32-bit little-endian; with "wav" each record is a whole
// WAV file).
//
//   vocle-page --url http://127.0.0.1/two.html examples/multi_record_upload.js SERVER_BASE_URL
//
// SERVER_BASE_URL is for example http://127.0.0.1:8765 (tools/assess-server answers a POST to any
// path other than /1/assess.wav with the name, size and type of every part it got).

var server = args[0] || 'http://127.0.0.1:8765';

function fail(what, reason) {
  console.error(what + ' failed: ' + reason);
  done(1);
}

// Records one buffer until the detector hears the end of the answer, then calls next().
function record(index, next) {
  plugin.start_record({
    index: index,
    vad_wait: 5,
    vad_max: 10,
    callback: function (ok, reason) {
      if (!ok) {
        return fail('recording buffer ' + index, reason);
      }
      var info = plugin.get_record_info(index);
      console.log('buffer ' + index + ': ' + info.time + ' s');
      next();
    }
  });
}

function upload() {
  // "index" as a list sends those buffers in one body; a single number sends one record.
  var task = plugin.post_record({
    index: [0, 1],
    format: 'wav',
    url: server + '/answers',
    timeout: 30,
    on_upload_frame: function (sent, total, id) {
      console.log('task ' + id + ': ' + sent + '/' + total + ' bytes');
    },
    callback: function (ok, answer, id) {
      if (!ok) {
        return fail('upload ' + id, answer);
      }
      console.log('server: ' + answer);
      done(0);
    }
  });
  console.log('uploading as task ' + task + ' (plugin.cancel_upload(' + task + ') would stop it)');
}

plugin.buffer_count = 2;
record(0, function () {
  record(1, upload);
});
