// Test kit: expectations that end the page at the first failure, and steps run in turn.
//
// The runner puts this after the page's script (run_page_test.sh --kit kit/steps.js), so it
// only declares functions and variables without initial values: its top-level statements would
// run after the script's.

var failed;  // set by the first failure; nothing guarded runs after it
function Failure(message) { this.message = message; }
function report(e) {
  if (failed) {
    return;
  }
  failed = true;
  console.error('FAIL: ' + (e instanceof Failure ? e.message : 'unexpected error: ' + e));
  done(1);
}
function expect(condition, message) {
  if (!condition) {
    throw new Failure(message);
  }
}
function same(seen, expected, what) {
  expect(
      seen === expected,
      what + ': expected ' + JSON.stringify(expected) + ', seen ' + JSON.stringify(seen));
}
// Every function that the plug-in or a timer calls goes through this, so a failed expectation
// ends the page with its message, and nothing runs after the first failure.
function guard(f) {
  return function() {
    if (failed) {
      return undefined;
    }
    try {
      return f.apply(this, arguments);
    } catch (e) {
      report(e);
      return undefined;
    }
  };
}
function list(argumentsObject) { return Array.prototype.slice.call(argumentsObject); }
// Runs the steps one after another; each gets the function that starts the next.
function sequence(steps) {
  var at = 0;
  var next = guard(function() {
    if (at < steps.length) {
      steps[at++](next);
    } else {
      console.log('all passed');
      done(0);
    }
  });
  next();
}
// What a call threw, as text; null when it returned.
function thrown(call) {
  try {
    call();
  } catch (e) {
    return String(e);
  }
  return null;
}
