// Results reach a page function as separate arguments, later, after the call has returned: a
// getter's [value] is one argument (a list value stays one array argument), a setter's [] none,
// a worker's [false, text] two. An absent or null callback is no error. A callback that throws
// does not stop later deliveries.
//
// page-test default: --kit kit/steps.js

var alreadyStopped = 'Nothing is recording or playing on this record.';

// Each case calls the plug-in with a callback and names the arguments the callback must get.
var cases = [
  {
    name: 'get_version',
    call: function(cb) { return plugin.get_version(cb); },
    expected: function() { return [plugin.version]; }
  },
  {
    name: 'get_sample_rate',
    call: function(cb) { return plugin.get_sample_rate(cb); },
    expected: function() { return [16000]; }
  },
  {
    name: 'get_devices, a list as one argument',
    call: function(cb) { return plugin.get_devices(cb); },
    expected: function() { return [plugin.devices]; }
  },
  {
    name: 'set_sample_rate',
    call: function(cb) { return plugin.set_sample_rate(16000, cb); },
    expected: function() { return []; }
  },
  {
    name: 'stop of an idle record, from its worker',
    call: function(cb) { return plugin.stop({index: 0, callback: cb}); },
    expected: function() { return [false, alreadyStopped]; }
  }
];

function deliveryCase(c) {
  return function(next) {
    console.log('case: ' + c.name);
    var returned = false, calls = 0;
    c.call(guard(function() {
      same(++calls, 1, c.name + ': calls');
      expect(returned, c.name + ': called before the call returned');
      same(JSON.stringify(list(arguments)), JSON.stringify(c.expected()), c.name + ': arguments');
      if (c.name.indexOf('list') >= 0) {
        expect(Array.isArray(arguments[0]), c.name + ': the list arrives as an array');
      }
      next();
    }));
    returned = true;
  };
}

var steps = [];
cases.forEach(function(c) {
  steps.push(deliveryCase(c));
});

steps.push(function(next) {
  console.log('case: no callback');
  // Each of these must simply work; the marker delivery after them is the first to arrive.
  var calls = [
    function() { return plugin.get_version(); },
    function() { return plugin.get_version(null); },
    function() { return plugin.get_version(undefined); },
    function() { return plugin.set_sample_rate(16000, null); },
    function() { return plugin.stop({index: 0}); },
    function() { return plugin.stop({index: 0, callback: null}); }
  ];
  calls.forEach(function(call, i) {
    try {
      call();
    } catch (e) {
      throw new Failure('call ' + i + ' without a callback failed: ' + e);
    }
  });
  same(plugin.get_version(null), plugin.version, 'get_version(null) still returns the value');
  plugin.get_version(guard(function(v) {
    same(v, plugin.version, 'the marker delivery');
    next();
  }));
});

guard(sequence)(steps);
