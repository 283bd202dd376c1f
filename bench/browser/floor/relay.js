// The floor's relay (isolated world): the page's channel to the service worker and back.
(() => {
  'use strict';
  window.addEventListener('message', (event) => {
    if (event.source !== window || !event.data || event.data.floor !== 'connect') {
      return;
    }
    const page = event.ports[0];
    const worker = chrome.runtime.connect({name: 'floor'});
    worker.onMessage.addListener((message) => page.postMessage(message));
    page.onmessage = (e) => worker.postMessage(e.data);
  });
})();
