// Test kit: checks that are tallied and reported together when the page ends.
//
// The page declares the state: `suite` (its name in the last line), `failures` (an empty list)
// and, when it uses expect_call or finish_when_quiet, `pending` (0) and `script_done` (false).
// The runner puts this after the page's script (run_page_test.sh --kit kit/tally.js), so it only
// declares functions.

function check(ok, what) {
  if (!ok) {
    failures.push(what);
  }
}

function show(v) {
  return JSON.stringify(v);
}

// Prints every failure and ends the page: 0 when there was none.
function finish() {
  for (var i = 0; i < failures.length; i++) {
    console.log("FAIL " + failures[i]);
  }
  console.log(failures.length ? suite + ": " + failures.length + " failures" : suite + ": ok");
  done(failures.length ? 1 : 0);
}

// Ends the page once the script has run through and no expected callback is outstanding.
function finish_when_quiet() {
  if (!script_done || pending > 0) {
    return;
  }
  finish();
}

// A callback that must be called exactly once with the expected arguments (compared as JSON).
function expect_call(what, expected) {
  pending++;
  var calls = 0;
  return function() {
    var got = Array.prototype.slice.call(arguments);
    calls++;
    check(calls === 1, what + ": called " + calls + " times");
    check(show(got) === show(expected), what + ": called with " + show(got) + ", expected " +
                                            show(expected));
    pending--;
    finish_when_quiet();
  };
}

// The message of a call that must fail; null when it did not fail.
function failure_of(f) {
  try {
    f();
  } catch (e) {
    return String(e && e.message !== undefined ? e.message : e);
  }
  return null;
}

function fails_with(f, text, what) {
  var message = failure_of(f);
  check(message !== null && message.indexOf(text) >= 0,
        what + ": expected a failure with '" + text + "', got " + show(message));
}
