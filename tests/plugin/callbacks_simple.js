// Simple key hosts (set_jskey_funchost(host, true)): the host's functions are read from its
// properties at the first use and kept, so a page that replaces host.apply_function afterwards
// still gets its results through the function read first, also from a worker. A host that
// lacks one of the three properties fails the first use: on the page's thread the script call
// that delivers fails with the text naming the property; a worker's delivery has no call to
// fail, so it is dropped and logged, and callbacks_simple_check.sh finds the log line. A
// recording's audio thread delivers its volumes through a simple host without waiting for the
// page, even at the first use. Last, the page goes away while a recording delivers its volumes
// through a simple host: the page must end cleanly.
//
// page-test default: --kit kit/steps.js --conf callbacks_simple.conf --check callbacks_simple_check.sh

var alreadyStopped = 'Nothing is recording or playing on this record.';

// A host whose functions note what they hear; onRelease(key) follows every release.
function recordingHost(heard, onRelease) {
  return {
    call_function: guard(function() {
      throw new Failure('call_function was called');
    }),
    apply_function: guard(function(key, result) {
      heard.push(['apply', key, result]);
    }),
    release_function: guard(function(key) {
      heard.push(['release', key]);
      onRelease(key);
    })
  };
}

var steps = [];

steps.push(function(next) {
  console.log('case: the functions read at the first use are kept');
  var heard = [];
  var releases = {};
  var wanted = null;
  var host = recordingHost(heard, function(key) {
    releases[key] = true;
    if (wanted && releases[wanted.key]) {
      var then = wanted.then;
      wanted = null;
      then();
    }
  });
  function afterRelease(key, then) {
    wanted = {key: key, then: guard(then)};
  }
  plugin.set_jskey_funchost(host, true);
  afterRelease('a', function() {
    same(JSON.stringify(heard),
         JSON.stringify([['apply', 'a', [plugin.version]], ['release', 'a']]),
         'first use');
    host.apply_function = guard(function() {
      throw new Failure('the replaced apply_function was called');
    });
    host.release_function = guard(function() {
      throw new Failure('the replaced release_function was called');
    });
    heard.length = 0;
    afterRelease('b', function() {
      same(JSON.stringify(heard),
           JSON.stringify([['apply', 'b', [plugin.version]], ['release', 'b']]),
           'after the page replaced the functions');
      heard.length = 0;
      afterRelease('w', function() {
        same(JSON.stringify(heard),
             JSON.stringify([['apply', 'w', [false, alreadyStopped]], ['release', 'w']]),
             'a worker\'s result after the page replaced the functions');
        next();
      });
      plugin.stop({index: 0, callback: 'w'});
    });
    plugin.get_version('b');
  });
  plugin.get_version('a');
});

// Each host lacks one property; the first use reads call, apply, release in that order.
['call', 'apply', 'release'].forEach(function(role) {
  steps.push(function(next) {
    console.log('case: a host without ' + role + '_function');
    var host = recordingHost([], function() {});
    delete host[role + '_function'];
    plugin.set_jskey_funchost(host, true);
    var error = thrown(function() { plugin.get_version('x'); });
    expect(error !== null, 'a delivery through a host without ' + role + '_function worked');
    var text = 'jskey_funchost_simple get m_' + role + '_function failed';
    expect(error.indexOf(text) >= 0, 'the error "' + error + '" does not say "' + text + '"');
    next();
  });
});

steps.push(function(next) {
  console.log('case: a worker\'s delivery through a host without apply_function');
  // The getter shows that the worker's delivery was resolved on the page's thread; the
  // delivery itself is dropped (callbacks_simple_check.sh finds it in the log).
  var host = recordingHost([], function() {});
  var moved = false;
  Object.defineProperty(host, 'apply_function', {
    get: function() {
      if (!moved) {
        moved = true;
        setTimeout(next, 0);
      }
      return undefined;
    }
  });
  plugin.set_jskey_funchost(host, true);
  same(thrown(function() { plugin.stop({index: 0, callback: 'lost'}); }), null,
       'the stop call itself');
});

steps.push(function(next) {
  console.log('case: the plug-in still delivers through a sound simple host');
  var heard = [];
  plugin.set_jskey_funchost(recordingHost(heard, guard(function(key) {
    same(key, 'z', 'released key');
    same(JSON.stringify(heard),
         JSON.stringify([['apply', 'z', [plugin.version]], ['release', 'z']]),
         'what the host heard');
    next();
  })), true);
  plugin.get_version('z');
});

steps.push(function(next) {
  console.log('case: volumes through a fresh simple host while the page reads the record');
  var volumes = 0, recorded = null, stopped = null;
  var finish = guard(function() {
    if (!recorded || !stopped) {
      return;
    }
    same(recorded[0], true, 'the recording\'s success');
    same(JSON.stringify(stopped), '[true]', 'the stop\'s result');
    expect(volumes >= 3, 'volumes heard: ' + volumes);
    next();
  });
  plugin.set_jskey_funchost({
    call_function: function() {},
    apply_function: guard(function(key, result) {
      if (key === 'volume') {
        volumes++;
      } else if (key === 'recorded') {
        recorded = result;
        finish();
      } else if (key === 'stopped') {
        stopped = result;
        finish();
      }
    }),
    release_function: function() {}
  }, true);
  plugin.start_record({index: 2, vad_wait: 600, vad_gap: 600, vad_max: 600, volumn: 'volume',
                       callback: 'recorded'});
  // All in this one script turn: the audio thread delivers its first volumes, the first use of
  // the host, while this thread keeps taking the record's lock. Were a delivery to wait for the
  // page's thread, the audio thread would wait with the lock held and this loop would stall.
  while (+plugin.get_record_info(2).count < 3 * 1024) {
  }
  plugin.stop({index: 2, callback: 'stopped'});
});

steps.push(function() {
  console.log('case: the page goes while a recording delivers its volumes');
  var volumes = 0;
  var host = {
    call_function: function() {},
    apply_function: guard(function(key) {
      if (key === 'volume' && ++volumes === 3) {
        console.log('all passed');
        done(0);
      }
    }),
    release_function: function() {}
  };
  plugin.set_jskey_funchost(host, true);
  plugin.start_record({index: 1, vad_wait: 600, vad_gap: 600, vad_max: 600, volumn: 'volume',
                       callback: 'recorded'});
});

guard(sequence)(steps);
