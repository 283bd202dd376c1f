// The relay between the page's vocle script (page.js, in the page's world) and the extension's
// service worker, in the extension's isolated world. It passes messages both ways unchanged and
// adds nothing to them: the page's address that the host trusts is the one the browser gives the
// service worker, never anything that travels through here.
//
// A page message that the browser refuses to carry (one over its size limit) comes back to the
// page as {t: "unsent", message, e: reason}, and the page fails that message alone.
//
// The page hands over one end of a MessageChannel in a window message {vocle: "connect"}; the
// relay opens its port to the service worker at the first message from the page. When that
// port closes, the page hears {t: "gone", e: reason} (unless the service worker said so
// first), except when the page was put into the back-forward cache: then, once it is shown
// again, the page hears {t: "reset"} and makes its instances anew.
(() => {
  'use strict';

  let pagePort = null;    // our end of the page's MessageChannel
  let workerPort = null;  // chrome.runtime.Port to the service worker
  let goneSent = false;
  let cached = false;  // the page is in the back-forward cache
  let lostWhileCached = false;

  function toPage(message) {
    if (pagePort) {
      pagePort.postMessage(message);
    }
  }

  function lose(reason) {
    workerPort = null;
    if (cached) {
      lostWhileCached = true;
      return;
    }
    if (!goneSent) {
      goneSent = true;
      toPage({t: 'gone', e: reason});
    }
  }

  function openWorkerPort() {
    let port;
    try {
      port = chrome.runtime.connect({name: 'vocle'});
    } catch (err) {
      // The extension was reloaded or removed while this page stayed open.
      lose('the vocle extension is not available: ' + (err && err.message ? err.message : err));
      return null;
    }
    port.onMessage.addListener((message) => {
      if (message && message.t === 'gone') {
        goneSent = true;
      }
      toPage(message);
    });
    port.onDisconnect.addListener(() => {
      if (workerPort !== port) {
        return;
      }
      const error = chrome.runtime.lastError;
      lose(
          'vocle-host is not reachable: ' +
          (error && error.message ? error.message : 'the extension closed the connection'));
    });
    return port;
  }

  function fromPage(message) {
    if (goneSent || cached) {
      return;
    }
    if (!workerPort) {
      workerPort = openWorkerPort();
      if (!workerPort) {
        return;
      }
    }
    try {
      workerPort.postMessage(message);
    } catch (err) {
      // The browser refuses a message over its size limit, and only that message: the page
      // gets it back with the reason, and the connection goes on. (A port that has closed says
      // so in its disconnect event.)
      toPage({t: 'unsent', message, e: err && err.message ? err.message : String(err)});
    }
  }

  window.addEventListener('message', (event) => {
    if (event.source !== window || !event.data || event.data.vocle !== 'connect' || !event.ports ||
        event.ports.length !== 1) {
      return;
    }
    // The handshake is ours: the page's own message listeners need not see it.
    event.stopImmediatePropagation();
    if (pagePort) {
      pagePort.close();
    }
    pagePort = event.ports[0];
    pagePort.onmessage = (e) => fromPage(e.data);
  }, true);

  window.addEventListener('pagehide', (event) => {
    if (event.persisted) {
      cached = true;
    }
  });

  window.addEventListener('pageshow', (event) => {
    if (!event.persisted) {
      return;
    }
    cached = false;
    if (lostWhileCached) {
      // The host went with the instances while the page was put away: start afresh.
      lostWhileCached = false;
      goneSent = false;
      toPage({t: 'reset'});
    }
  });
})();
