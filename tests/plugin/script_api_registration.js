// What a page sees of the plug-in, by where the page is and what "system.trusted" and
// "system.api" say. args[3] names the surface the run expects: untrusted, trusted, trusted_test,
// or none (the page must not get an object at all).
//
// page-test trusted: --kit kit/tally.js --conf api/trusted.conf -- trusted
// page-test trusted_shipped_conf: --kit kit/tally.js -- trusted
// page-test untrusted_no_list: --kit kit/tally.js --conf api/untrusted.conf -- untrusted
// page-test trusted_empty_entries: --kit kit/tally.js --conf api/empty_entries.conf -- trusted
// page-test untrusted_prefix_only: --kit kit/tally.js --conf api/prefix.conf -- untrusted
// page-test trusted_prefix_whole: --kit kit/tally.js --conf api/prefix.conf --url http://127.0.0.1/ -- trusted
// page-test trusted_second_entry: --kit kit/tally.js --conf api/two_entries.conf -- trusted
// page-test trusted_first_entry: --kit kit/tally.js --conf api/two_entries.conf --url https://pages.example.org/a.html -- trusted
// page-test untrusted_longer_host: --kit kit/tally.js --conf api/two_entries.conf --url http://127.0.0.1.example.org/a.html -- untrusted
// page-test untrusted_case: --kit kit/tally.js --conf api/two_entries.conf --url HTTP://127.0.0.1/a.html -- untrusted
// page-test trusted_api_all: --kit kit/tally.js --conf api/api_all.conf -- trusted_test
// page-test trusted_api_upper_case: --kit kit/tally.js --conf api/api_upper.conf -- trusted
// page-test trusted_broken_entry_not_reached: --kit kit/tally.js --conf api/invalid_after_match.conf -- trusted
// page-test invalid_regex: --kit kit/tally.js --conf api/invalid.conf --check api/check_invalid_regex.sh -- none
// page-test invalid_regex_reached: --kit kit/tally.js --conf api/invalid_after_match.conf --url https://other.example.org/ --check api/check_invalid_regex.sh -- none

var kind = args[3];
var suite = "registration";
var failures = [];

var always = ["version", "version_detail"];
var trusted_methods = [
  "set_jskey_funchost", "get_jskey_funchost", "get_record_info", "get_record", "log",
  "start_record", "playback", "stop", "save_record", "save_records", "load_record",
  "post_record", "recognize_record", "cancel_upload", "desktop_path", "filesystem_remove",
  "filesystem_exists"
];
var trusted_rest = [
  "log_level", "log_file", "lang", "devices", "buffer_count", "max_buffer_count", "sample_rate",
  "frames_per_buffer", "upload_timeout", "recognition_url",
  "get_version", "get_version_detail", "get_log_level", "get_log_file", "get_lang",
  "get_devices", "get_buffer_count", "set_buffer_count", "get_max_buffer_count",
  "get_sample_rate", "set_sample_rate", "get_frames_per_buffer", "set_frames_per_buffer",
  "get_upload_timeout", "set_upload_timeout", "get_recognition_url", "set_recognition_url",
  "diagnose"
];

var surfaces = {
  untrusted: always,
  trusted: always.concat(trusted_methods, trusted_rest),
  trusted_test: always.concat(trusted_methods, ["test"], trusted_rest)
};

if (kind === "none") {
  // The run only passes when vocle-page refuses the page; an object here is the fault.
  if (typeof plugin !== "undefined" && plugin !== null) {
    console.log("plug-in object present: " + JSON.stringify(Object.keys(plugin)));
  }
  done(2);
} else {
  var keys = Object.keys(plugin);
  var expected = surfaces[kind];
  check(JSON.stringify(keys) === JSON.stringify(expected),
        "members in order\n  got      " + JSON.stringify(keys) + "\n  expected " +
            JSON.stringify(expected));
  check(plugin.version === "1.1.0.0", "version " + plugin.version);
  check(plugin.version_detail === "1.1.0.0", "version_detail " + plugin.version_detail);
  check(failure_of(function() { plugin.version = "2"; }) !== null, "version is read-only");
  check(plugin.version === "1.1.0.0", "version unchanged by a write");

  if (kind === "untrusted") {
    // Nothing beyond the version works for this page.
    var refused = ["get_version", "stop", "filesystem_exists", "set_buffer_count"];
    for (var i = 0; i < refused.length; i++) {
      var name = refused[i];
      check(failure_of(function() { plugin[name]({}); }) !== null, name + " callable untrusted");
    }
    check(!("buffer_count" in plugin), "buffer_count present untrusted");
    check(failure_of(function() { return plugin.buffer_count; }) !== null,
          "buffer_count readable untrusted");
    finish();
  } else {
    check(plugin.get_version() === "1.1.0.0", "get_version");
    check(plugin.diagnose === "", "diagnose starts empty: " + JSON.stringify(plugin.diagnose));
    if (kind === "trusted") {
      check(!("test" in plugin), "test present without api=all");
      finish();
    } else {
      // The developer routine reads "@{appdata}/vad_test_input.raw" and writes
      // "@{appdata}/vad_test_output.raw": give it an (empty) input and look for its output.
      plugin.save_record({
        format: "raw",
        path: "@{appdata}/vad_test_input.raw",
        callback: function(saved, detail) {
          check(saved === true, "test input saved: " + detail);
          plugin.test(function() {
            check(arguments.length === 0, "test delivers []: " + arguments.length);
            check(plugin.filesystem_exists({path: "@{appdata}/vad_test_output.raw"}),
                  "test wrote its output");
            finish();
          });
        }
      });
    }
  }
}
