// The page's globals and its turns: args, window.location.href, timers in order, and calls the
// library queues, which run after the current turn, never inside a running call.
// page-test default: -- "two words" --not-an-option

var failures = [];
function check(ok, what) {
  if (!ok) {
    failures.push(what);
  }
}

// ---- args and location ----
check(args.length === 5, "five arguments: " + JSON.stringify(args));
check(typeof args[0] === "string" && args[0].length > 0 && args[1] === "" &&
          args[2] === "hello world this is a test", "the runner's arguments: " + JSON.stringify(args));
check(args[3] === "two words" && args[4] === "--not-an-option", "arguments as given: " + JSON.stringify(args));
check(window.location.href === "http://127.0.0.1/page_host_timers.html",
      "window.location.href: " + window.location.href);
check(window === this && window.location === location, "window is the global object");

// ---- timers ----
var events = [];
var scriptTurnOver = false;
function record(name) {
  return function () {
    events.push(name);
  };
}
// Set latest first: a timer due earlier runs earlier, whatever the order they were set in. Equal
// delays run in the order they were set.
setTimeout(record("t200"), 200);
setTimeout(record("t100"), 100);
setTimeout(function () {
  events.push("t0-1");
  // Set in a turn with no delay, a timer waits for a later round: it never runs inside the turn
  // that set it, nor before the timers already due.
  var inside = true;
  setTimeout(function () {
    check(!inside, "a timer runs in a turn of its own");
    events.push("nested");
  }, 0);
  inside = false;
}, 0);
setTimeout(record("t0-2"));
setTimeout(function (a, b) {
  events.push("args " + a + " " + b);
}, 0, "x", 2);
var cleared = setTimeout(record("cleared"), 5);
clearTimeout(cleared);
clearTimeout(cleared);   // twice, and an id never given: both harmless
clearTimeout(987654);
check(typeof cleared === "number" && cleared > 0, "a timer id is a positive number");

var ticks = 0;
var interval = setInterval(function () {
  ++ticks;
  events.push("tick " + ticks);
  if (ticks === 3) {
    clearInterval(interval);
  }
}, 5);
check(interval !== cleared, "timer ids differ");

var thrown = null;
try {
  setTimeout("not a function", 1);
} catch (e) {
  thrown = e;
}
check(thrown instanceof TypeError, "setTimeout with no function throws a TypeError");

// ---- calls the library queues ----
var returned = false;
var result = plugin.get_version(function (version) {
  check(returned && scriptTurnOver, "the library's callback waits for the script's turn to end");
  check(version === plugin.version, "the callback's argument: " + version);
  events.push("callback");
});
returned = true;
check(result === plugin.version, "the method's own result: " + result);
check(events.length === 0, "nothing ran inside the script's turn: " + events);

// ---- the end: once everything expected has happened ----
var expected = ["t0-1", "t0-2", "args x 2", "nested", "t100", "t200"];
var watcher = setInterval(function () {
  for (var i = 0; i < expected.length; ++i) {
    if (events.indexOf(expected[i]) < 0 || events.indexOf("tick 3") < 0 ||
        events.indexOf("callback") < 0) {
      return;
    }
  }
  clearInterval(watcher);
  var timed = events.filter(function (e) {
    return expected.indexOf(e) >= 0;
  });
  check(timed.join() === expected.join(), "timers in order: " + timed);
  check(events.indexOf("cleared") < 0, "a cleared timer never runs");
  check(events.indexOf("callback") < events.indexOf("t0-1"), "the queued call came first");
  // The interval is cleared in its third run: the fourth never comes, however long we wait.
  setTimeout(function () {
    check(ticks === 3, "the interval ran " + ticks + " times");
    if (failures.length) {
      console.error("failed:\n  " + failures.join("\n  "));
    }
    done(failures.length ? 1 : 0);
  }, 50);
}, 20);

scriptTurnOver = true;
