// A simple key host reads its functions from the host's properties on the page's thread, in the
// middle of the script call that delivers, so the page's getters run inside that call. A getter
// that calls set_jskey_funchost or get_jskey_funchost again must get its answer, in each of the
// places a delivery resolves the host: set_jskey_funchost delivering [] through the host it has
// just installed, get_jskey_funchost delivering [host]; at the delivery's own first use, and at
// the release after a delivery whose first use failed (the host lacks apply_function, so the
// release reads the functions again). A page that hangs here ends by the runner's time-out.
//
// page-test default: --kit kit/steps.js --timeout 20

var applyMissing = 'jskey_funchost_simple get m_apply_function failed';

// What every host hears, in order, as text.
var heard = [];
var named = [];  // [object, name] pairs, so results show which host they hold
function describe(value) {
  for (var i = 0; i < named.length; i++) {
    if (named[i][0] === value) {
      return '<' + named[i][1] + '>';
    }
  }
  return JSON.stringify(value);
}
function hostNamed(name, withApply) {
  var host = {
    call_function: function() {},
    release_function: guard(function(key) {
      heard.push(name + ' release ' + key);
    })
  };
  if (withApply) {
    host.apply_function = guard(function(key, result) {
      heard.push(name + ' apply ' + key + ' [' + result.map(describe).join(', ') + ']');
    });
  }
  named.push([host, name]);
  return host;
}
// Like same, but shows hosts by name: turning one into text would run its getter.
function sameValue(seen, expected, what) {
  expect(seen === expected, what + ': expected ' + describe(expected) + ', seen ' + describe(seen));
}

// How a getter comes back into the plug-in. Each returns what its call answered, what it should
// have answered, and the host that should be installed once the case is over.
var reentries = {
  'asks for the host': {
    call: function(host) {
      return {got: plugin.get_jskey_funchost(), wanted: host, installed: host};
    },
    heard: []
  },
  'installs another host': {
    call: function() {
      var other = hostNamed('other', true);
      return {got: plugin.set_jskey_funchost(other, true, 'inner'), wanted: undefined,
              installed: other};
    },
    heard: ['other apply inner []', 'other release inner']
  }
};

// How the plug-in comes to resolve the host; each delivers to the key 'outer' and returns what
// the delivering call returned.
var deliveries = {
  'set_jskey_funchost': {
    run: function(host) {
      return plugin.set_jskey_funchost(host, true, 'outer');
    },
    returned: function() {
      return undefined;
    },
    result: '[]'
  },
  'get_jskey_funchost': {
    run: function(host) {
      plugin.set_jskey_funchost(host, true);
      return plugin.get_jskey_funchost('outer');
    },
    returned: function(host) {
      return host;
    },
    result: '[<host>]'
  }
};

// At the first read the getter re-enters during the delivery; at the second, during the release
// after a failed first use.
var readings = [1, 2];

function reentryCase(deliveryName, reentryName, reenterAt) {
  return function(next) {
    var what = deliveryName + ' with a getter that ' + reentryName +
               (reenterAt === 1 ? ' at the first use' : ' at the release');
    console.log('case: ' + what);
    var delivery = deliveries[deliveryName];
    var reentry = reentries[reentryName];
    heard.length = 0;
    named.length = 0;
    var host = hostNamed('host', reenterAt === 1);
    var reads = 0;
    var answers = [];
    Object.defineProperty(host, 'call_function', {
      get: guard(function() {
        if (++reads === reenterAt) {
          answers.push(reentry.call(host));
        }
        return function() {};
      })
    });

    var returned;
    var error = thrown(function() {
      returned = delivery.run(host);
    });
    if (reenterAt === 1) {
      same(error, null, what + ': the delivering call\'s error');
      sameValue(returned, delivery.returned(host), what + ': what the delivering call returned');
    } else {
      expect(error !== null && error.indexOf(applyMissing) >= 0,
             what + ': the delivering call should fail with "' + applyMissing + '", not ' +
                 JSON.stringify(error));
    }
    same(reads, reenterAt, what + ': reads of call_function');
    same(answers.length, 1, what + ': re-entering calls');
    sameValue(answers[0].got, answers[0].wanted, what + ': what the re-entering call returned');
    sameValue(plugin.get_jskey_funchost(), answers[0].installed,
              what + ': the host installed after');

    var outer =
        reenterAt === 1 ? ['host apply outer ' + delivery.result, 'host release outer'] : [];
    // Every delivery above is queued by now; this one comes after them.
    plugin.get_version(guard(function() {
      same(JSON.stringify(heard), JSON.stringify(reentry.heard.concat(outer)),
           what + ': what the hosts heard');
      next();
    }));
  };
}

var steps = [];
for (var deliveryName in deliveries) {
  for (var reentryName in reentries) {
    for (var r = 0; r < readings.length; r++) {
      steps.push(reentryCase(deliveryName, reentryName, readings[r]));
    }
  }
}

guard(sequence)(steps);
