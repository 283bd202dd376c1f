// With no home folder at all (neither HOME nor XDG_DATA_HOME, and a user that the user
// database does not know), "@{appdata}" cannot be expanded: the plug-in still starts, and loads,
// saves (a default name too) and the file-system methods answer through their callbacks with
// the path's reason instead of failing the call. The second run logs to the console and to the
// default log file, which has no path then: api/check_no_home_log.sh reads what it said.
//
// page-test no_appdata: --kit kit/tally.js --conf api/no_appdata.conf --no-home --unknown-user
// page-test no_home_log: --kit kit/tally.js --conf api/no_home_log.conf --no-home --unknown-user --check api/check_no_home_log.sh

var suite = "no appdata";
var failures = [];
var pending = 0;
var script_done = false;
var reason = "Could not find path";

var cases = [
  // method, options, result of the call, callback list
  ["load_record", {format: "raw", path: "@{appdata}/in.raw"}, undefined, [false, reason]],
  ["save_record", {format: "raw", path: "@{appdata}/out.raw"}, undefined, [false, reason]],
  ["save_record", {format: "raw"}, undefined, [false, reason]],
  ["save_records", {records: [{format: "raw", path: "@{appdata}/list.raw"}]}, undefined,
   [false, [{detail: reason, index: 0, success: false}]]],
  ["filesystem_exists", {path: "@{appdata}/in.raw"}, false, [false, reason]],
  ["filesystem_remove", {path: "@{appdata}/in.raw"}, false, [false, reason]]
];
for (var i = 0; i < cases.length; i++) {
  var c = cases[i];
  var what = c[0] + "(" + show(c[1]) + ")";
  c[1].callback = expect_call(what, c[3]);
  var result;
  try {
    result = plugin[c[0]](c[1]);
  } catch (e) {
    failures.push(what + " failed the call: " + e.message);
    pending--;
    continue;
  }
  check(result === c[2], what + " returned " + show(result));
}
// Paths without the placeholder are not affected.
check(plugin.filesystem_exists({path: args[0]}) === true, "the work folder exists");
script_done = true;
finish_when_quiet();
