// The log as the configuration asks for it. Each run's conf names the targets ("log.type") and
// the level ("log.level") and says on its "; expect:" line what plugin_core_logging_check.sh
// must find once the page has gone and the library has unloaded. The page writes one marker
// line at each level; the plug-in writes its own "entered" lines when the library starts and
// when it ends.
//
// page-test file: --conf plugin_core_log_file.conf --check plugin_core_logging_check.sh
// page-test console_file: --conf plugin_core_log_console_file.conf --check plugin_core_logging_check.sh
// page-test file_console: --conf plugin_core_log_file_console.conf --check plugin_core_logging_check.sh
// page-test case: --conf plugin_core_log_case.conf --check plugin_core_logging_check.sh
// page-test verbose: --conf plugin_core_log_verbose.conf --check plugin_core_logging_check.sh
// page-test debug: --conf plugin_core_log_debug.conf --check plugin_core_logging_check.sh
// page-test warn: --conf plugin_core_log_warn.conf --check plugin_core_logging_check.sh
// page-test twice: --conf plugin_core_log_twice.conf --check plugin_core_logging_check.sh

['debug', 'info', 'warn'].forEach(function(level) {
  plugin.log(level, 'page-marker-' + level);
});
done(0);
