// A key's release reaches the page after every result delivered for it, for simple and plain
// key hosts alike. Each key goes to a stop of an idle record, whose worker answers at once, so
// the worker's delivery and the release made when the script call lets go of the key race each
// other; a page that forgets a key's handler on release loses any result that comes later.
//
// page-test default: --kit kit/steps.js

var keysPerHost = 300;
var alreadyStopped = 'Nothing is recording or playing on this record.';

var steps = [];

[['simple', true], ['plain', false]].forEach(function(kind) {
  steps.push(function(next) {
    console.log('case: ' + kind[0] + ' key host, ' + keysPerHost + ' keys');
    var results = {};
    var early = [];
    var released = 0;
    var host = {
      call_function: guard(function() {
        throw new Failure('call_function was called');
      }),
      apply_function: guard(function(key, result) {
        expect(!results[key], 'a second result for ' + key);
        same(JSON.stringify(result), JSON.stringify([false, alreadyStopped]), 'result of ' + key);
        results[key] = true;
      }),
      release_function: guard(function(key) {
        if (!results[key]) {
          early.push(key);
        }
        if (++released === keysPerHost) {
          same(early.length, 0, 'keys released before their result (' + early.join(' ') + ')');
          next();
        }
      })
    };
    if (kind[1]) {
      plugin.set_jskey_funchost(host, true);
    } else {
      plugin.set_jskey_funchost(host);
    }
    for (var i = 0; i < keysPerHost; i++) {
      plugin.stop({index: 0, callback: kind[0] + i});
    }
  });
});

guard(sequence)(steps);
