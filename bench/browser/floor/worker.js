// The floor's service worker: each page's port to the echo host and back, each piece passed on
// as it comes.
'use strict';
chrome.runtime.onConnect.addListener((page) => {
  const host = chrome.runtime.connectNative('com.tarvix.vocle_floor');
  host.onMessage.addListener((message) => page.postMessage(message));
  page.onMessage.addListener((message) => host.postMessage(message));
  page.onDisconnect.addListener(() => host.disconnect());
  host.onDisconnect.addListener(() => page.disconnect());
});
