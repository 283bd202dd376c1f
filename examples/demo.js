// The whole job of a vocle page, step by step: record until the speaker stops, show what the
// detector saw, save the record as WAV and MP3, play it back, and have the speech assessed.
//
// Run it with vocle-page (./run demo does all of this for you):
//
//   vocle-page --url http://127.0.0.1/demo.html examples/demo.js FOLDER URL "SENTENCE" [tty]
//
//   FOLDER    where the record files go (the configuration must allow page paths:
//             system.file_permission=all)
//   URL       the assessment server's recognition address
//   SENTENCE  what the speaker was asked to say
//   tty       redraw the level meter in place (give it when standard output is a terminal)
//
// In a browser the same calls work on the <object type="application/x-tarvix-vocle"> element.
// Every call returns at once; each step's outcome arrives later through its "callback", whose
// first argument says whether the step worked.

var folder = args[0];
var recognitionUrl = args[1];
var sentence = args[2];
var redraw = args[3] === 'tty';

// Ends the page with a one-line reason when a step reports failure.
function fail(step, reason) {
  console.error('demo: ' + step + ' failed: ' + reason);
  done(1);
}

// A level meter from the "volumn" callback: one call per block of samples, 0 to 100.
var meterDrawn = false;
function drawLevel(percent) {
  var width = 40;
  var filled = Math.round(percent * width / 100);
  var bar = new Array(filled + 1).join('#') + new Array(width - filled + 1).join('.');
  var line = 'level [' + bar + '] ' + (percent < 10 ? '  ' : percent < 100 ? ' ' : '') + percent + '%';
  // Move up over the previous meter line and clear it, so the meter stays on one line.
  console.log((redraw && meterDrawn ? '\x1b[1A\x1b[2K' : '') + line);
  meterDrawn = true;
}

// 1. Record buffer 0 until the detector hears the end of the utterance.
function record() {
  console.log('1. recording: say "' + sentence + '"');
  plugin.start_record({
    index: 0,
    vad_statistic: true,  // ask the detector for its statistics
    vad_wait: 5,          // seconds to wait for speech to begin
    vad_gap: 0.8,         // seconds of silence that end the utterance
    vad_max: 10,          // the longest utterance in seconds
    volumn: drawLevel,
    callback: function (ok, statistics) {
      if (!ok) {
        return fail('recording', statistics);
      }
      report(statistics);
    }
  });
}

// 2. What the detector saw, and what the record holds.
function report(statistics) {
  console.log('2. detector statistics: ' + statistics);
  var info = plugin.get_record_info(0);
  var keys = Object.keys(info);
  for (var i = 0; i < keys.length; i++) {
    console.log('   ' + keys[i] + ': ' + info[keys[i]]);
  }
  save('wav', function () {
    save('mp3', playback);
  });
}

// 3. Save the record in a format; the callback gets the path that was written.
function save(format, next) {
  plugin.save_record({
    index: 0,
    format: format,
    path: folder + '/demo.' + format,
    callback: function (ok, pathOrReason) {
      if (!ok) {
        return fail('saving ' + format, pathOrReason);
      }
      console.log('3. saved ' + format + ': ' + pathOrReason);
      next();
    }
  });
}

// 4. Play the record back on the output device.
function playback() {
  console.log('4. playing back');
  plugin.playback({
    index: 0,
    callback: function (ok, reason) {
      if (!ok) {
        return fail('playback', reason);
      }
      recognize();
    }
  });
}

// 5. Upload the record with the sentence; the server's answer is JSON text.
function recognize() {
  console.log('5. assessing at ' + recognitionUrl);
  plugin.recognize_record({
    index: 0,
    sentence: sentence,
    url: recognitionUrl,
    on_upload_frame: function (sent, total) {
      console.log('   uploaded ' + sent + ' of ' + total + ' bytes');
    },
    callback: function (ok, answer, taskId) {
      if (!ok) {
        return fail('assessment (task ' + taskId + ')', answer);
      }
      var pretty;
      try {
        pretty = JSON.stringify(JSON.parse(answer), null, 2);
      } catch (e) {
        return fail('assessment', 'the answer is not JSON: ' + answer);
      }
      console.log('   server answer:');
      console.log(pretty);
      // 6. Every step worked.
      done(0);
    }
  });
}

console.log('vocle ' + plugin.version);
record();
