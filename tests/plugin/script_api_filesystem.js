// filesystem_exists and filesystem_remove: placeholders in the path, files, empty and full
// folders, missing and absent paths, with and without a callback. The log lines are checked
// afterwards by api/check_filesystem_log.sh.
//
// page-test filesystem: --kit kit/tally.js --conf api/filesystem.conf --check api/check_filesystem_log.sh

var work = args[0];
var appdata = work + "/data/Tarvix";
var suite = "filesystem";
var failures = [];
var pending = 0;
var script_done = false;

var not_found = "No such file or directory";
var not_empty = "Directory not empty";
// What the platform says for error code 0: removing a path that is not there sets no error.
var no_error = "Success";

// Saves an (empty) record at each path in turn, then calls next.
function save_all(paths, next) {
  if (paths.length === 0) {
    next();
    return;
  }
  plugin.save_record({
    format: "wav",
    path: paths[0],
    callback: function(saved, detail) {
      check(saved === true, "fixture " + paths[0] + " saved: " + detail);
      save_all(paths.slice(1), next);
    }
  });
}

function run_cases() {
  // method, options (without callback), result, callback list; in order, since removals change
  // what later rows see.
  var cases = [
    ["filesystem_exists", {path: "@{appdata}"}, true, [true]],
    ["filesystem_exists", {path: "@{desktop}"}, true, [true]],
    ["filesystem_exists", {path: "@{appdata}/one.wav"}, true, [true]],
    ["filesystem_exists", {path: appdata + "/full/two.wav"}, true, [true]],
    ["filesystem_exists", {path: "@{appdata}/missing.wav"}, false, [false, not_found]],
    ["filesystem_exists", {path: "@{appdata}/@{random-uuid}"}, false, [false, not_found]],
    ["filesystem_exists", {}, false, [false, not_found]],
    ["filesystem_exists", {path: {}}, false, [false, not_found]],
    ["filesystem_remove", {path: "@{appdata}/missing.wav"}, false, [false, no_error]],
    ["filesystem_remove", {path: "@{appdata}/full"}, false, [false, not_empty]],
    ["filesystem_exists", {path: "@{appdata}/full/two.wav"}, true, [true]],
    ["filesystem_remove", {path: "@{appdata}/one.wav"}, true, [true]],
    ["filesystem_exists", {path: "@{appdata}/one.wav"}, false, [false, not_found]],
    ["filesystem_remove", {path: "@{appdata}/empty/three.wav"}, true, [true]],
    ["filesystem_remove", {path: "@{appdata}/empty"}, true, [true]],
    ["filesystem_exists", {path: "@{appdata}/empty"}, false, [false, not_found]],
    ["filesystem_remove", {}, false, [false, no_error]],
    ["filesystem_remove", {path: null}, false, [false, no_error]]
  ];
  for (var i = 0; i < cases.length; i++) {
    var c = cases[i];
    var what = c[0] + "(" + show(c[1]) + ")";
    c[1].callback = expect_call(what, c[3]);
    var result = plugin[c[0]](c[1]);
    check(result === c[2], what + " returned " + show(result));
  }

  // Without a callback the answer is only returned.
  check(plugin.filesystem_remove({path: "@{appdata}/full/two.wav"}) === true,
        "remove without callback");
  check(plugin.filesystem_exists({path: "@{appdata}/full/two.wav"}) === false,
        "exists without callback");
  check(plugin.filesystem_exists() === false, "exists with no argument at all");
  check(plugin.filesystem_remove() === false, "remove with no argument at all");

  // A callback value that cannot become a callback fails the call before any work.
  check(failure_of(function() {
    plugin.filesystem_remove({path: "@{appdata}/full", callback: "no-key-host"});
  }) !== null, "remove with an unusable callback must fail");
  check(plugin.filesystem_exists({path: "@{appdata}/full"}) === true,
        "nothing removed by the failed call");
  check(failure_of(function() { plugin.filesystem_exists({callback: 7}); }) !== null,
        "exists with a number as callback and no key host must fail");

  script_done = true;
  finish_when_quiet();
}

save_all(["@{appdata}/one.wav", "@{appdata}/full/two.wav", "@{appdata}/empty/three.wav"],
         run_cases);
