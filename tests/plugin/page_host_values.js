// The plug-in object as vocle-page gives it to a page: its members, failed calls, and values
// crossing to the library and back. The trusted run uses the shipped configuration (pages of
// 127.0.0.1 are trusted); the untrusted page gets the small public surface only.
// page-test trusted: -- trusted
// page-test untrusted: --url http://example.org/page_host_values.html -- untrusted

var trusted = args[3] === "trusted";
var failures = [];
function check(ok, what) {
  if (!ok) {
    failures.push(what);
  }
}
function same(a, b) {
  return a === b || (a !== a && b !== b);  // NaN is itself here
}

// ---- members ----
var keys = Object.keys(plugin);
var listed = [];
for (var key in plugin) {
  listed.push(key);
}
check(listed.join() === keys.join(), "for..in lists " + listed + ", Object.keys " + keys);
check(keys[0] === "version" && keys[1] === "version_detail", "registration order: " + keys);
if (trusted) {
  check(keys.length > 10 && keys[keys.length - 1] === "diagnose", "trusted members: " + keys);
  check(keys.indexOf("start_record") > keys.indexOf("get_record"), "order kept: " + keys);
} else {
  check(keys.join() === "version,version_detail", "untrusted members: " + keys);
}
for (var i = 0; i < keys.length; ++i) {
  check(keys[i] in plugin, keys[i] + " in plugin");
}
check(!("no_such_member" in plugin), "an unknown member is not in plugin");
check(typeof plugin.version === "string" && plugin.version.length > 0, "version is a string");
check(typeof plugin.version_detail === "string", "version_detail is a string");

// ---- failed calls throw an Error with the library's text, and the page goes on ----
var failing = [
  ["unknown member", function () { return plugin.no_such_member; }],
  ["read-only property", function () { plugin.version = "0"; }]
];
if (trusted) {
  failing.push(["too many arguments", function () { plugin.get_version(1, 2, 3, 4, 5); }]);
  failing.push(["bad argument", function () { plugin.set_buffer_count("many"); }]);
} else {
  failing.push(["member of trusted pages", function () { return plugin.start_record; }]);
}
for (var f = 0; f < failing.length; ++f) {
  var error = null;
  try {
    failing[f][1]();
  } catch (e) {
    error = e;
  }
  check(error instanceof Error && typeof error.message === "string" &&
            error.message.length > 0 && error.message.indexOf("the plug-in's") !== 0 &&
            error.message.indexOf("cannot read the plug-in's") !== 0,
        failing[f][0] + " throws the library's error: " + error);
}

if (trusted) {
  // ---- methods ----
  check(typeof plugin.stop === "function", "a method is a function");
  check(plugin.stop === plugin.stop, "a method is the same function each time");
  check(plugin.get_version() === plugin.version, "a method's result");
  var get = plugin.get_version;
  check(get() === plugin.version, "a method called on its own");

  // ---- values to the library and back (the attribute "diagnose" keeps what it is given) ----
  var array = [1, "two", [3]];
  var object = {a: 1};
  var fn = function () {};
  var values = [
    0, 1, -1, 2147483647, -2147483648, 2147483648, -2147483649, 0.5, -2.25, 1e300, 5e-324,
    NaN, Infinity, -Infinity, true, false, null, undefined,
    "", "plain", "caf\u00e9", "\u4f60\u597d", "\ud83d\ude00 beyond the BMP", "nul\u0000inside",
    array, object, fn, console.log, window
  ];
  for (var v = 0; v < values.length; ++v) {
    plugin.diagnose = values[v];
    var back = plugin.diagnose;
    check(same(back, values[v]) && typeof back === typeof values[v],
          "round trip of " + typeof values[v] + " " + String(values[v]) + " gave " + back);
  }
  check(array.length === 3 && array[2][0] === 3 && object.a === 1, "page objects unchanged");

  // A page object handed to the library comes back as itself.
  var host = {name: "keyed callbacks"};
  plugin.set_jskey_funchost(host);
  check(plugin.get_jskey_funchost() === host, "a page object comes back as itself");

  // Lists come back as arrays, maps as plain objects.
  var devices = plugin.devices;
  check(Array.isArray(devices) && devices.length > 0, "a list is an array: " + devices);
  for (var d = 0; d < devices.length; ++d) {
    check(Object.getPrototypeOf(devices[d]) === Object.prototype && !Array.isArray(devices[d]) &&
              typeof devices[d].name === "string",
          "a map is a plain object: " + JSON.stringify(devices[d]));
  }
  var info = plugin.get_record_info(0);
  check(Object.getPrototypeOf(info) === Object.prototype && Object.keys(info).length > 0,
        "record information is a plain object: " + JSON.stringify(info));
}

if (failures.length) {
  console.error("failed:\n  " + failures.join("\n  "));
}
done(failures.length ? 1 : 0);
