// Keyed callbacks: instead of handing the plug-in a function for every call, a page registers one
// host object and passes short keys (strings or numbers). Every result then arrives at the host's
// apply_function as (key, [result...]), and release_function(key) tells the page when the plug-in
// has dropped a key for good, so the page can forget what it kept for it.
//
//   vocle-page --url http://127.0.0.1/keys.html examples/keyed_callbacks.js
//
// The method names can be changed with "js.apply_function" and "js.release_function" in
// vocle.conf. A page that passes set_jskey_funchost(host, true) instead gets a "simple" host: the
// plug-in reads the host's functions once, at their first use, and calls them directly.

// What the page wants done for each key.
var handlers = {};
var pending = 0;

var host = {
  call_function: function (key, args) {},
  apply_function: function (key, results) {
    var handler = handlers[key];
    if (handler) {
      handler.apply(null, results);  // spread the result list, as a plain callback would get it
    }
  },
  release_function: function (key) {
    delete handlers[key];
    console.log('released ' + key);
    if (--pending === 0) {
      done(0);
    }
  }
};

function on(key, handler) {
  handlers[key] = handler;
  pending++;
  return key;
}

plugin.set_jskey_funchost(host);

plugin.get_sample_rate(on('rate', function (rate) {
  console.log('sample rate: ' + rate + ' Hz');
}));

plugin.get_devices(on('devices', function (devices) {
  for (var i = 0; i < devices.length; i++) {
    console.log('device ' + devices[i].index + ': ' + devices[i].name);
  }
}));

// Stopping an idle buffer reports failure with a reason: the key still gets it.
plugin.stop({index: 0, callback: on('stop', function (ok, reason) {
  console.log('stop: ' + ok + (ok ? '' : ' (' + reason + ')'));
})});
