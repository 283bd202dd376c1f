// The properties of a trusted page and their get_/set_ accessors, record information, the
// "diagnose" attribute and the keyed callback host's accessor pair.
//
// page-test properties: --kit kit/tally.js --conf api/properties.conf

var work = args[0];
var suite = "properties";
var failures = [];
var pending = 0;
var script_done = false;

// ---- read-only values: the property, its get_ accessor (returned and delivered), no write ----
var configured_url = "http://127.0.0.1:9/1/assess.wav";
var read_only = [
  // name, expected value (null: only its type is checked), has a get_ accessor
  ["version", "1.1.0.0", true],
  ["version_detail", "1.1.0.0", true],
  ["desktop_path", work + "/desktop", false],
  ["log_level", "debug", true],
  ["log_file", work + "/page.log", true],
  ["lang", "en_US", true],
  ["max_buffer_count", 10, true]
];
for (var i = 0; i < read_only.length; i++) {
  var name = read_only[i][0];
  var value = read_only[i][1];
  check(plugin[name] === value, name + " is " + show(plugin[name]) + ", expected " + show(value));
  if (read_only[i][2]) {
    check(plugin["get_" + name](expect_call("get_" + name, [value])) === value,
          "get_" + name + " returns " + show(value));
    check(plugin["get_" + name]() === value, "get_" + name + " without a callback");
  }
  check(failure_of(function() { plugin[name] = "changed"; }) !== null, name + " is read-only");
  check(plugin[name] === value, name + " unchanged by a write");
}
check(!("set_max_buffer_count" in plugin), "max_buffer_count has no setter");
check(!("get_desktop_path" in plugin) && !("set_desktop_path" in plugin),
      "desktop_path has no accessor");

// ---- devices: the virtual microphone and speaker of the test rig ----
var devices = plugin.devices;
var names = [];
for (var i = 0; i < devices.length; i++) {
  names.push(devices[i].name);
  check(typeof devices[i].index === "number", "device index " + show(devices[i]));
}
check(names.indexOf("vocle_mic") >= 0 && names.indexOf("vocle_speaker") >= 0,
      "devices list the rig: " + show(names));
check(show(plugin.get_devices(expect_call("get_devices", [devices]))) === show(devices),
      "get_devices returns the list");
check(failure_of(function() { plugin.devices = []; }) !== null, "devices is read-only");

// ---- read-write values: property and accessors share one value ----
var read_write = [
  // name, configured value, new value, how the new value is written to the property
  ["sample_rate", 16000, 8000, 22050],
  ["frames_per_buffer", 1024, 512, 256],
  ["upload_timeout", 60, 0, 5],
  ["buffer_count", 1, 4, 10],
  ["recognition_url", configured_url, "http://127.0.0.1:9/other", "http://127.0.0.1:9/third"]
];
for (var i = 0; i < read_write.length; i++) {
  var name = read_write[i][0];
  var initial = read_write[i][1];
  var through_accessor = read_write[i][2];
  var through_property = read_write[i][3];
  check(plugin[name] === initial, name + " starts at " + show(plugin[name]));
  check(plugin["get_" + name](expect_call("get_" + name + " initial", [initial])) === initial,
        "get_" + name + " initial");
  check(plugin["set_" + name](through_accessor, expect_call("set_" + name, [])) === undefined,
        "set_" + name + " returns nothing");
  check(plugin[name] === through_accessor, name + " after set_: " + show(plugin[name]));
  plugin[name] = through_property;
  check(plugin["get_" + name]() === through_property, name + " written as a property: " +
                                                           show(plugin["get_" + name]()));
}

// Values the framework converts for the property's type.
plugin.frames_per_buffer = "128";
check(plugin.frames_per_buffer === 128, "frames_per_buffer from text: " + plugin.frames_per_buffer);

// Values that do not convert end the write before anything is stored.
var refused_writes = [
  ["buffer_count", -1],
  ["buffer_count", "many"],
  ["sample_rate", "fast"],
  ["frames_per_buffer", 1.5e20],
  ["upload_timeout", null],
  ["sample_rate", {}]
];
for (var i = 0; i < refused_writes.length; i++) {
  var name = refused_writes[i][0];
  var before = plugin[name];
  check(failure_of(function() { plugin[name] = refused_writes[i][1]; }) !== null,
        name + " = " + show(refused_writes[i][1]) + " accepted");
  check(plugin[name] === before, name + " changed by a refused write: " + show(plugin[name]));
}
check(failure_of(function() { plugin.set_sample_rate("fast"); }) !== null,
      "set_sample_rate with text");

// ---- the buffer limit: 10 is the most, 11 is refused by both ways, the callback unheard ----
plugin.buffer_count = 10;
check(plugin.buffer_count === 10, "buffer_count 10 allowed");
fails_with(function() { plugin.buffer_count = 11; }, "reach max_buffer_count limit",
           "property buffer_count = 11");
fails_with(function() {
  plugin.set_buffer_count(11, function() { failures.push("set_buffer_count(11) called back"); });
}, "reach max_buffer_count limit", "set_buffer_count(11)");
check(plugin.buffer_count === 10, "buffer_count kept after refusals: " + plugin.buffer_count);
plugin.set_buffer_count(0);
check(plugin.buffer_count === 0, "buffer_count 0");

// A callback value that cannot become a callback fails the accessor after the value is stored.
fails_with(function() { plugin.set_buffer_count(2, "no-such-key"); }, "", "set_ with a key text");
check(plugin.buffer_count === 2, "the value is stored before the callback fails");

// ---- the recognition URL falls back to the configured one when set to "" ----
plugin.set_recognition_url("", expect_call("set_recognition_url empty", []));
check(plugin.recognition_url === configured_url, "recognition_url falls back: " +
                                                     plugin.recognition_url);
plugin.recognition_url = "http://127.0.0.1:9/page";
plugin.recognition_url = "";
check(plugin.get_recognition_url() === configured_url, "recognition_url property falls back");

// ---- record information ----
plugin.buffer_count = 1;
var fresh = {
  channels: "1",
  count: "0",
  interleaved: "0",
  sample_rate: "8000",
  status: "0",
  time: "0",
  vad_statistics: ""
};
plugin.sample_rate = 8000;
var info = plugin.get_record_info(0, expect_call("get_record_info", [fresh]));
check(show(info) === show(fresh), "get_record_info(0) " + show(info));
// An index beyond the table grows it and describes the new slot.
check(show(plugin.get_record_info(3)) === show(fresh), "get_record_info(3)");
check(plugin.buffer_count === 4, "get_record_info(3) grows the table: " + plugin.buffer_count);
fails_with(function() {
  plugin.get_record_info(10, function() { failures.push("get_record_info(10) called back"); });
}, "reach max_buffer_count limit", "get_record_info(10)");
check(failure_of(function() { plugin.get_record_info(-1); }) !== null, "get_record_info(-1)");
check(failure_of(function() { plugin.get_record_info(); }) !== null, "get_record_info()");

// ---- diagnose: the page's own attribute ----
plugin.diagnose = "trace me";
check(plugin.diagnose === "trace me", "diagnose round trip: " + show(plugin.diagnose));
plugin.diagnose = 42;
check(plugin.diagnose === 42, "diagnose holds any value: " + show(plugin.diagnose));

// ---- keyed callback host: none before the page installs one ----
check(plugin.get_jskey_funchost(expect_call("get_jskey_funchost before", [null])) === null,
      "get_jskey_funchost before any host");
var host = {
  apply_function: function(key, list) {},
  release_function: function(key) {}
};
check(plugin.set_jskey_funchost(host, undefined, expect_call("set_jskey_funchost", [])) ===
          undefined,
      "set_jskey_funchost returns nothing");
check(plugin.get_jskey_funchost() === host, "get_jskey_funchost gives the host back");
var second = {apply_function: function() {}, release_function: function() {}};
plugin.set_jskey_funchost(second, false, expect_call("set_jskey_funchost second", []));
check(plugin.get_jskey_funchost() === second, "a second host replaces the first");
check(failure_of(function() { plugin.set_jskey_funchost(null); }) !== null,
      "set_jskey_funchost(null)");
check(plugin.get_jskey_funchost() === second, "a refused host changes nothing");

script_done = true;
finish_when_quiet();
