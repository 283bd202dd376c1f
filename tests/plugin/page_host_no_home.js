// vocle-page started as a service may be, with neither HOME nor XDG_DATA_HOME and the shipped
// configuration: the plug-in starts, and its default log file lies under the home folder that the
// user database gives the user (page_host_no_home_check.sh compares). Nothing is written there.
//
// page-test no_home: --no-home --check page_host_no_home_check.sh

console.log("log_file: " + plugin.log_file);
done(0);
