// Keyed callbacks: with a key host registered (set_jskey_funchost(host)), a text or number given
// as a callback is a key. The host's apply method gets (key, [result...]): the key as text and
// the whole result list as one array; its release method gets (key) once the plug-in drops the
// callback, after the delivery. Before any host is registered a key fails the call. The method
// names come from "js.apply_function" and "js.release_function": the renamed run configures
// others and gives them to the page as args[3] and args[4].
//
// page-test default: --kit kit/steps.js
// page-test renamed: --kit kit/steps.js --conf callbacks_renamed.conf -- deliver forget

var applyName = args[3] || 'apply_function';
var releaseName = args[4] || 'release_function';
var alreadyStopped = 'Nothing is recording or playing on this record.';

// What the host hears, in order; a test step waits for the release of its key.
var heard = [];
var waiting = null;  // {key, next}
var host = {};
function unexpected(name) {
  return guard(function() {
    throw new Failure('the host\'s ' + name + ' was called: ' + JSON.stringify(list(arguments)));
  });
}
// The names not configured must stay silent.
['apply_function', 'release_function', 'call_function', 'deliver', 'forget'].forEach(
    function(name) {
      host[name] = unexpected(name);
    });
host[applyName] = guard(function(key, result) {
  same(arguments.length, 2, 'apply arguments');
  same(typeof key, 'string', 'type of the key');
  expect(Array.isArray(result), 'the result list arrives as one array');
  heard.push(['apply', key, result]);
});
host[releaseName] = guard(function(key) {
  same(arguments.length, 1, 'release arguments');
  same(typeof key, 'string', 'type of the released key');
  heard.push(['release', key]);
  if (waiting && key === waiting.key) {
    var next = waiting.next;
    waiting = null;
    next();
  }
});

var cases = [
  {
    name: 'a text key for a getter',
    callback: 'cb17',
    call: function(cb) { return plugin.get_version(cb); },
    key: 'cb17',
    expected: function() { return [plugin.version]; }
  },
  {
    name: 'a number key',
    callback: 5,
    call: function(cb) { return plugin.get_sample_rate(cb); },
    key: '5',
    expected: function() { return [16000]; }
  },
  {
    name: 'a boolean key',
    callback: true,
    call: function(cb) { return plugin.get_sample_rate(cb); },
    key: 'true',
    expected: function() { return [16000]; }
  },
  {
    name: 'a setter',
    callback: 'set',
    call: function(cb) { return plugin.set_sample_rate(16000, cb); },
    key: 'set',
    expected: function() { return []; }
  },
  {
    name: 'a worker\'s result, released on the worker',
    callback: 'stop',
    call: function(cb) { return plugin.stop({index: 0, callback: cb}); },
    key: 'stop',
    expected: function() { return [false, alreadyStopped]; }
  }
];

function keyedCase(c) {
  return function(next) {
    console.log('case: ' + c.name);
    heard = [];
    waiting = {
      key: c.key,
      next: guard(function() {
        same(JSON.stringify(heard),
             JSON.stringify([['apply', c.key, c.expected()], ['release', c.key]]),
             c.name + ': what the host heard');
        next();
      })
    };
    c.call(c.callback);
  };
}

var steps = [];
steps.push(function(next) {
  console.log('case: keys before a host is registered');
  [['a text', 'cb0'], ['a number', 5]].forEach(function(k) {
    expect(thrown(function() { plugin.get_version(k[1]); }) !== null,
           k[0] + ' key without a host was taken');
    expect(thrown(function() { plugin.stop({index: 0, callback: k[1]}); }) !== null,
           k[0] + ' key of a worker call without a host was taken');
  });
  same(thrown(function() { plugin.get_version(null); }), null, 'a null callback without a host');
  same(thrown(function() { plugin.stop({index: 0}); }), null, 'no callback without a host');
  plugin.set_jskey_funchost(host);
  next();
});
cases.forEach(function(c) {
  steps.push(keyedCase(c));
});
steps.push(function(next) {
  console.log('case: no callback with a host');
  heard = [];
  plugin.get_version(null);
  plugin.get_version();
  plugin.stop({index: 0, callback: null});
  // Deliveries are queued in order: anything the calls above sent would come first.
  waiting = {
    key: 'marker',
    next: guard(function() {
      same(JSON.stringify(heard),
           JSON.stringify([['apply', 'marker', [plugin.version]], ['release', 'marker']]),
           'what the host heard');
      next();
    })
  };
  plugin.get_version('marker');
});

guard(sequence)(steps);
