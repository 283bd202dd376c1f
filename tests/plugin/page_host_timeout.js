// The time-out: a page that does not call done() ends with status 124 and a line on standard
// error, whether it waits with nothing pending or its script never returns. The time counts from
// the start of vocle-page, so the script may not even have begun when it comes.
// page-test idle: --timeout 1 --check page_host_timeout_check.sh -- idle
// page-test busy: --timeout 1 --check page_host_timeout_check.sh -- busy

if (args[3] === "busy") {
  for (;;) {
  }
}
// Nothing pending: a page does not end by itself.
