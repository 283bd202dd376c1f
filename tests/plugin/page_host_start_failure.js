// A plug-in that cannot start (here the audio system, whose configuration does not parse):
// the page never runs, and vocle-page says why (page_host_start_failure_check.sh).
//
// page-test broken_audio: --broken-audio --check page_host_start_failure_check.sh

console.log("the script ran");
done(0);
