// With no application-data folder ("@{appdata}" cannot be expanded), loads, saves and the
// file-system methods still answer through their callbacks instead of failing the call.
// The first run, with a home, only sets the stage; api/rerun_without_home.sh runs the page again
// without HOME and XDG_DATA_HOME and passes "no-home".
//
// page-test no_appdata: --conf api/no_appdata.conf --check api/rerun_without_home.sh

var failures = [];
var pending = 0;
var script_done = false;
var reason = "Could not find path";

function check(ok, what) {
  if (!ok) {
    failures.push(what);
  }
}

function show(v) {
  return JSON.stringify(v);
}

function finish_when_quiet() {
  if (!script_done || pending > 0) {
    return;
  }
  for (var i = 0; i < failures.length; i++) {
    console.log("FAIL " + failures[i]);
  }
  console.log(failures.length ? "no appdata: " + failures.length + " failures" : "no appdata: ok");
  done(failures.length ? 1 : 0);
}

function expect_call(what, expected) {
  pending++;
  return function() {
    var got = Array.prototype.slice.call(arguments);
    check(show(got) === show(expected), what + ": called with " + show(got) + ", expected " +
                                            show(expected));
    pending--;
    finish_when_quiet();
  };
}

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
