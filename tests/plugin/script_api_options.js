// How the script methods read their option objects: a missing option or one of the wrong kind
// takes the default, callbacks are read before anything starts, a record index at the limit
// fails the call. Probes: the buffer table's size (a method resolves its buffer before it
// returns), the callback lists of saves and loads, and the speech fixture loaded into buffers.
//
// page-test options: --kit kit/tally.js --conf api/options.conf --speech --check api/check_options_log.sh

var work = args[0];
var appdata = work + "/data/Tarvix";
var speech = work + "/speech.raw";
var suite = "options";
var failures = [];

function never_called(what) {
  return function() {
    failures.push(what + ": the callback was called with " +
                  show(Array.prototype.slice.call(arguments)));
  };
}

// Runs the steps one after another; each gets the function that starts the next.
function run_steps(steps) {
  var i = 0;
  function next() {
    if (i < steps.length) {
      var step = steps[i++];
      step(next);
      return;
    }
    finish();
  }
  next();
}

// Calls next once count callbacks have arrived.
function after(count, next) {
  if (count === 0) {
    next();
    return function() {};
  }
  return function() {
    if (--count === 0) {
      next();
    }
  };
}

function copy(options) {
  var c = {};
  for (var k in options) {
    c[k] = options[k];
  }
  return c;
}

// "index" as every option-map method reads it: value given, index used (undefined: left out).
var index_cases = [
  [undefined, 0],
  [3, 3],
  ["3", 3],
  [2.7, 2],
  [-1, 0],
  ["abc", 0],
  [null, 0],
  [1e30, 0],
  [[], 0],
  [[4], 0],
  [{}, 0],
  [{index: 5}, 0]
];

// Methods that resolve their buffer inside the call; base options and whether a callback comes.
var index_methods = [
  ["get_record", {format: "raw"}],
  ["stop", {}],
  ["save_record", {format: "raw"}],
  ["load_record", {format: "raw", path: "@{appdata}/never-written.raw"}]
];

function index_step(next) {
  var calls = index_cases.length * index_methods.length;
  var arrived = after(calls, next);
  for (var m = 0; m < index_methods.length; m++) {
    for (var c = 0; c < index_cases.length; c++) {
      var name = index_methods[m][0];
      var options = copy(index_methods[m][1]);
      if (index_cases[c][0] !== undefined) {
        options.index = index_cases[c][0];
      }
      if (name === "save_record") {
        options.path = "@{appdata}/index-" + c + ".raw";
      }
      options.callback = arrived;
      plugin.set_buffer_count(1);
      plugin[name](options);
      var expected = Math.max(1, index_cases[c][1] + 1);
      check(plugin.buffer_count === expected,
            name + " index " + show(index_cases[c][0]) + ": " + plugin.buffer_count +
                " slots, expected " + expected);
    }
  }
}

// At the limit every method fails inside the call and nothing calls back.
function limit_step(next) {
  var methods = [
    ["get_record", {format: "raw"}],
    ["stop", {}],
    ["save_record", {format: "raw"}],
    ["load_record", {format: "raw"}],
    ["playback", {}],
    ["start_record", {}]
  ];
  for (var m = 0; m < methods.length; m++) {
    var name = methods[m][0];
    var options = copy(methods[m][1]);
    options.index = 10;
    options.callback = never_called(name + " at the limit");
    plugin.set_buffer_count(1);
    fails_with(function() { plugin[name](options); }, "reach max_buffer_count limit",
               name + " index 10");
    check(plugin.buffer_count === 1, name + " at the limit changed the table");
  }
  next();
}

// A callback option that cannot become a callback fails the call before the buffer is touched.
function callback_step(next) {
  var cases = [
    ["stop", {index: 5, callback: "no-key-host"}],
    ["stop", {index: 5, callback: 4.5}],
    ["save_record", {index: 5, format: "raw", callback: 12}],
    ["load_record", {index: 5, callback: true}],
    ["get_record", {index: 5, format: "raw", callback: "no-key-host"}],
    ["playback", {index: 5, volumn: "no-key-host"}],
    ["start_record", {index: 5, callback: "no-key-host"}],
    ["start_record", {index: 5, volumn: {}, callback: "no-key-host"}]
  ];
  for (var i = 0; i < cases.length; i++) {
    plugin.set_buffer_count(1);
    check(failure_of(function() { plugin[cases[i][0]](cases[i][1]); }) !== null,
          cases[i][0] + "(" + show(cases[i][1]) + ") must fail");
    check(plugin.buffer_count === 1, cases[i][0] + " touched a buffer before failing");
  }
  // A null callback is no callback: the call works.
  plugin.stop({index: 2, callback: null});
  check(plugin.buffer_count === 3, "stop with a null callback");
  next();
}

// "format" and "path" as strings: missing or unconvertible values are empty, numbers are text.
function string_step(next) {
  var cases = [
    [{}, [false, "wrong encoding type "]],
    [{format: null}, [false, "wrong encoding type "]],
    [{format: 7}, [false, "wrong encoding type 7"]],
    [{format: ["wav"]}, [false, "wrong encoding type "]],
    // An empty path saves at the default name of the format.
    [{format: "wav"}, [true, appdata + "/test.wav"]],
    [{format: "raw", path: {}}, [true, appdata + "/test.raw"]],
    [{format: "raw", path: "@{appdata}/given.raw"}, [true, appdata + "/given.raw"]]
  ];
  var arrived = after(cases.length, next);
  for (var i = 0; i < cases.length; i++) {
    (function(c) {
      var options = copy(c[0]);
      options.callback = function() {
        var got = Array.prototype.slice.call(arguments);
        check(show(got) === show(c[1]),
              "save_record " + show(c[0]) + " gave " + show(got) + ", expected " + show(c[1]));
        arrived();
      };
      plugin.save_record(options);
    })(cases[i]);
  }
  fails_with(function() { plugin.get_record({}); }, "wrong encoding type ", "get_record({})");
}

// get_record returns Base64 text and delivers [text].
function get_record_step(next) {
  plugin.set_buffer_count(1);
  var text = plugin.get_record({
    format: "wav",
    callback: function(delivered) {
      check(arguments.length === 1 && delivered === text, "get_record delivers [text]");
      next();
    }
  });
  // An empty record is a bare 44-byte WAV header.
  check(typeof text === "string" && text.length === 60 && text.indexOf("UklGR") === 0,
        "get_record of an empty record: " + show(text));
  check(plugin.get_record({format: "raw"}) === "", "raw of an empty record");
}

// "append" as a boolean: anything that is not a boolean (or 0/1, "true"/"false") is false.
function append_step(next) {
  var cases = [
    [undefined, false],
    [true, true],
    [false, false],
    [1, true],
    ["true", true],
    ["yes", false],
    [null, false],
    [2, false],
    [{}, false]
  ];
  var once = 0;
  function count_of(index) {
    return Number(plugin.get_record_info(index).count);
  }
  function load(options, then) {
    options.format = "raw";
    options.path = speech;
    options.callback = function(loaded, detail) {
      check(loaded === true, "load of the fixture: " + detail);
      then();
    };
    plugin.load_record(options);
  }
  var i = 0;
  function one_case() {
    if (i >= cases.length) {
      next();
      return;
    }
    var c = cases[i++];
    load({index: 1}, function() {
      var options = {index: 1};
      if (c[0] !== undefined) {
        options.append = c[0];
      }
      load(options, function() {
        var expected = c[1] ? 2 * once : once;
        check(count_of(1) === expected,
              "append " + show(c[0]) + ": " + count_of(1) + " samples, expected " + expected);
        one_case();
      });
    });
  }
  load({index: 1}, function() {
    once = count_of(1);
    check(once > 16000, "the fixture holds speech: " + once + " samples");
    one_case();
  });
}

// save_records: the list, each entry's defaults, and a bad entry that stops everything.
function save_records_step(next) {
  plugin.set_buffer_count(1);
  check(failure_of(function() {
    plugin.save_records({
      records: [{index: 0, format: "raw", path: "@{appdata}/never.raw"}, 5],
      callback: never_called("save_records with a bad entry")
    });
  }) !== null, "save_records with an entry that is not an object must fail");
  check(failure_of(function() {
    plugin.save_records({records: [null], callback: never_called("save_records [null]")});
  }) !== null, "save_records with a null entry must fail");

  var cases = [
    [{}, [true, []]],
    [{records: []}, [true, []]],
    [{records: "abc"}, [true, []]],
    [{
      records: [
        {format: "raw", path: "@{appdata}/list-a.raw"},
        {index: -1, format: "raw", path: "@{appdata}/list-b.raw"},
        {index: "2", format: "raw", path: "@{appdata}/list-c.raw"},
        {index: 3, format: "raw"},
        {index: 1, path: "@{appdata}/list-d.raw"}
      ]
    }, [false, [
      {detail: appdata + "/list-a.raw", index: 0, success: true},
      {detail: appdata + "/list-b.raw", index: 0, success: true},
      {detail: appdata + "/list-c.raw", index: 2, success: true},
      {detail: appdata + "/test.3raw", index: 3, success: true},
      {detail: "wrong encoding type ", index: 1, success: false}
    ]]]
  ];
  var arrived = after(cases.length, function() {
    // The refused list started nothing, so its file never appears.
    check(!plugin.filesystem_exists({path: "@{appdata}/never.raw"}),
          "a refused save_records wrote a file");
    next();
  });
  for (var i = 0; i < cases.length; i++) {
    (function(c) {
      var options = copy(c[0]);
      options.callback = function() {
        var got = Array.prototype.slice.call(arguments);
        check(show(got) === show(c[1]),
              "save_records " + show(c[0]) + " gave\n  " + show(got) + "\n  expected\n  " +
                  show(c[1]));
        arrived();
      };
      plugin.save_records(options);
    })(cases[i]);
  }
}

// log and cancel_upload pass their arguments on; the log lines are checked after the page.
function pass_through_step(next) {
  check(plugin.log("info", "page says 100% done %1%") === undefined, "log returns nothing");
  plugin.log("WARN", "shouting");
  check(plugin.cancel_upload(7) === false, "cancel_upload of an unknown task");
  check(plugin.cancel_upload(-1) === true, "cancel_upload of every task");
  check(failure_of(function() { plugin.cancel_upload("seven"); }) !== null,
        "cancel_upload with text");
  check(failure_of(function() { plugin.log("info"); }) !== null, "log without a message");
  next();
}

run_steps([
  index_step, limit_step, callback_step, string_step, get_record_step, append_step,
  save_records_step, pass_through_step
]);
