// With no application-data folder ("@{appdata}" cannot be expanded), loads, saves and the
// file-system methods still answer through their callbacks instead of failing the call.
// The first run, with a home, only sets the stage; api/rerun_without_home.sh runs the page again
// without HOME and XDG_DATA_HOME and passes "no-home".
//
// page-test no_appdata: --kit kit/tally.js --conf api/no_appdata.conf --check api/rerun_without_home.sh

var suite = "no appdata";
var failures = [];
var pending = 0;
var script_done = false;
var reason = "Could not find path";

if (args[3] !== "no-home") {
  done(0);
} else {
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
}
