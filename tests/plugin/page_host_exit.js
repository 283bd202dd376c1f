// vocle-page's exit status and error reports (the time-out: page_host_timeout.js). args[3] names
// the case; page_host_exit_check.sh holds what each case must end with (status, standard output,
// standard error). Lines that an error report must name carry a "line:NAME" comment.
// page-test done_code: --check page_host_exit_check.sh -- done_code
// page-test done_default: --check page_host_exit_check.sh -- done_default
// page-test done_out_of_range: --check page_host_exit_check.sh -- done_out_of_range
// page-test done_then_error: --check page_host_exit_check.sh -- done_then_error
// page-test script_error: --check page_host_exit_check.sh -- script_error
// page-test thrown_value: --check page_host_exit_check.sh -- thrown_value
// page-test timer_error: --check page_host_exit_check.sh -- timer_error
// page-test callback_error: --check page_host_exit_check.sh -- callback_error
// page-test caught_error: --check page_host_exit_check.sh -- caught_error
// page-test refused: --conf page_host_refused.conf --check page_host_exit_check.sh -- refused
// page-test console: --check page_host_exit_check.sh -- console

var mode = args[3];
console.log("mode: " + mode);

// No page code runs after the page has ended: a timer due at once must not fire.
function never() {
  setTimeout(function () {
    console.log("ran after the end");
  }, 0);
}

function thrower() {
  throw new Error("thrown on purpose"); // line:script_error
}

var cases = {
  done_code: function () {
    never();
    done(3);
    console.log("the rest of the turn runs");
  },
  done_default: function () {
    never();
    done();
  },
  done_out_of_range: function () {
    done(256); // line:done_out_of_range
  },
  done_then_error: function () {
    done(0);
    throw new Error("after done"); // line:done_then_error
  },
  script_error: function () {
    never();
    thrower();
  },
  thrown_value: function () {
    throw "a plain string";
  },
  timer_error: function () {
    setTimeout(function () {
      null.property; // line:timer_error
    }, 1);
    setTimeout(function () {
      console.log("ran after the end");
    }, 300);
  },
  callback_error: function () {
    // The library queues the callback: it runs in a later turn, where nothing catches.
    plugin.get_version(function () {
      throw new TypeError("callback threw"); // line:callback_error
    });
    never();
  },
  caught_error: function () {
    try {
      plugin.get_version(1, 2, 3, 4);
    } catch (e) {
      console.log("caught: " + (e instanceof Error));
    }
    try {
      thrower();
    } catch (e) {
      console.log("caught: " + e.message);
    }
    done(0);
  },
  refused: function () {
    console.log("the script ran");
    done(0);
  },
  console: function () {
    console.log("log-line", "text", 1, 2.5, true, null, undefined, [1, "a"], {b: {c: 2}});
    console.info("info-line");
    console.warn("warn-line", 7);
    console.error("error-line", new Error("shown"));
    console.log("plugin-line", plugin);
    done(0);
  }
};

cases[mode]();
