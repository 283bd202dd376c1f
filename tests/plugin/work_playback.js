// Playback as a page drives it: a record loaded from a file plays to the speaker, the "volumn"
// callback hears each played block with its level, and the page gets [true] at the end; an
// empty record ends at once with [true] and no level. work_playback_check.sh then finds the
// played samples in what the virtual speaker received.
//
// page-test speech: --kit kit/steps.js --kit kit/records.js --conf work.conf --speech --check work_playback_check.sh

var work = args[0];
var frames = 1024;

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
