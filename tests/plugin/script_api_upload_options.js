// How post_record and recognize_record read their options, against the local assessment
// server: "index" as a list (one multi-record body) or as one index, "timeout" and its fallback
// to the page's upload time-out, "url" and the recognition address, and the task ids returned.
//
// The server answers a POST to any path but its recognition endpoint with the form's parts and
// their sizes; an empty raw record is 0 bytes, so a body of n records is 4 + 4n bytes while a
// single record's body is empty.
//
// page-test upload_options: --kit kit/tally.js --conf api/upload_options.conf --server

var server = args[1];
var suite = "upload options";
var failures = [];
var pending = 0;
var script_done = false;
var last_id = -1;

// Starts an upload and checks its id (the next one) and its one result; judge(list) checks the
// result list [success, text, id, summary].
function upload(method, options, what, judge) {
  pending++;
  var id;
  options.callback = function() {
    var list = Array.prototype.slice.call(arguments);
    check(list.length === 4 && list[2] === id, what + ": result " + show(list));
    judge(list);
    pending--;
    finish_when_quiet();
  };
  id = plugin[method](options);
  check(id === last_id + 1, what + ": task id " + id + " after " + last_id);
  last_id = id;
}

// The part sizes the server reports for a post that succeeded.
function part_bytes(list) {
  if (list[0] !== true) {
    return "failed: " + list[1];
  }
  var parts = JSON.parse(list[1]).parts;
  var sizes = [];
  for (var i = 0; i < parts.length; i++) {
    sizes.push(parts[i].name + ":" + parts[i].bytes);
  }
  return sizes.join(",");
}

function part_names(list) {
  if (list[0] !== true) {
    return "failed: " + list[1];
  }
  var parts = JSON.parse(list[1]).parts;
  var names = [];
  for (var i = 0; i < parts.length; i++) {
    names.push(parts[i].name);
  }
  return names.join(",");
}

// ---- "index": value given, body size, slots in the table right after the call ----
var index_cases = [
  [undefined, 4, 1],
  [[], 4, 1],
  [[3], 8, 4],
  [[0, 2], 12, 3],
  [["1", 2], 12, 3],
  [3, 0, 4],
  ["3", 0, 4],
  [-1, 0, 1],
  [[1, "x"], 0, 1],
  [[-1], 0, 1],
  ["abc", 0, 1],
  [null, 0, 1],
  [{}, 0, 1]
];
for (var i = 0; i < index_cases.length; i++) {
  (function(c) {
    var options = {url: server + "/post", format: "raw"};
    if (c[0] !== undefined) {
      options.index = c[0];
    }
    plugin.set_buffer_count(1);
    var what = "post_record index " + show(c[0]);
    upload("post_record", options, what, function(list) {
      check(part_bytes(list) === "data:" + c[1], what + ": " + part_bytes(list) +
                                                    ", expected data:" + c[1]);
    });
    check(plugin.buffer_count === c[2], what + ": " + plugin.buffer_count + " slots");
  })(index_cases[i]);
}

// ---- an index at the limit: the task was made (its id is spent), the call fails, no result ----
var limit_cases = [
  ["post_record", {index: 10}],
  ["post_record", {index: [1, 10]}],
  ["recognize_record", {index: 10}]
];
for (var i = 0; i < limit_cases.length; i++) {
  var c = limit_cases[i];
  c[1].url = server + "/post";
  c[1].format = "raw";
  c[1].callback = function() { failures.push("an upload at the limit called back"); };
  var message = failure_of(function() { plugin[c[0]](c[1]); });
  check(message !== null && message.indexOf("reach max_buffer_count limit") >= 0,
        c[0] + " " + show(c[1].index) + ": " + message);
  last_id++;
  // The task went with the failed call: there is nothing left to cancel.
  check(plugin.cancel_upload(last_id) === false, "task " + last_id + " left behind");
}

// ---- a callback that cannot be made fails the call before a task is made ----
check(failure_of(function() {
  plugin.post_record({url: server + "/post", callback: "no-key-host"});
}) !== null, "post_record with an unusable callback must fail");
check(failure_of(function() {
  plugin.recognize_record({on_upload_frame: "no-key-host"});
}) !== null, "recognize_record with an unusable progress callback must fail");

// ---- "url": post_record has none by default; recognize_record takes the studio's ----
upload("post_record", {format: "raw", index: 0}, "post_record without url", function(list) {
  check(list[0] === false, "post_record without url must fail: " + show(list));
});
upload("recognize_record", {sentence: "hello"}, "recognize_record, configured url",
       function(list) {
         check(part_names(list) === "file,sentence", "recognition form: " + part_names(list));
       });
plugin.set_recognition_url(server + "/from-page?status=503");
upload("recognize_record", {}, "recognize_record, page's url", function(list) {
  check(list[0] === false, "the page's recognition url was not used: " + show(list));
});
upload("recognize_record", {url: null}, "recognize_record, url null", function(list) {
  check(list[0] === false, "url null must fall back to the page's url: " + show(list));
});
upload("recognize_record", {url: server + "/given"}, "recognize_record, url given",
       function(list) {
         check(part_names(list) === "file,sentence", "given url: " + part_names(list));
       });
plugin.set_recognition_url("");
upload("recognize_record", {}, "recognize_record, configured url again", function(list) {
  check(list[0] === true, "the configured url after clearing the page's: " + show(list));
});

// ---- "timeout": anything but a 32-bit number of seconds falls back to the page's time-out ----
plugin.upload_timeout = 1;
var slow = server + "/slow?delay_ms=2500";
var timeout_cases = [
  [undefined, false],
  [-5, false],
  ["abc", false],
  [1e12, false],
  [null, false],
  [0, true],
  [30, true],
  ["30", true]
];
for (var i = 0; i < timeout_cases.length; i++) {
  (function(c) {
    var options = {url: slow, format: "raw", index: 0};
    if (c[0] !== undefined) {
      options.timeout = c[0];
    }
    upload("post_record", options, "timeout " + show(c[0]), function(list) {
      check(list[0] === c[1], "timeout " + show(c[0]) + ": " + show(list));
    });
  })(timeout_cases[i]);
}

script_done = true;
finish_when_quiet();
