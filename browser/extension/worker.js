// The extension's service worker: one vocle-host process for each page (each frame's document)
// that uses the plug-in, for as long as that page's port is open, and at most MAX_HOSTS of them
// at once in this browser profile: any site can put elements on its pages and frames, and each
// host is a process of its own that loads the library and the audio system. A page beyond that
// hears {t: "gone", e: reason} at once (every element gets an error event, every call rejects);
// a slot frees when a page with a host goes, and a page that comes after that gets a host.
//
// The first message the host gets is {t: "hello", url}, with the page's address as the browser
// reports it for the port's sender: the host's trusted-page rule reads that, and nothing the page
// sends can change it. The page's own messages pass on unchanged (a "hello" from the page is
// dropped). The host answers "hello" with {t: "ready"}. Its messages go on to the page as they
// come, long ones too: those arrive as {t: "part", d: text} pieces, the last with end: true, and
// the page joins them. One large message to the page would be far slower than its pieces (the
// browser moves a worker's message to a page at a few megabytes a second, pieces overlap with
// the host's writing) and could be over the browser's limit on one message; a piece never is.
//
// When the page goes (navigation, reload, tab closed), its port closes and so does the host's,
// which ends the host's instances. When the host goes first (it exited, or could not be started),
// the page hears {t: "gone", e: reason} and its port is closed.
'use strict';

const HOST_NAME = 'com.tarvix.vocle';
const MAX_HOSTS = 16;

let hostsRunning = 0;

function describe(error, fallback) { return error && error.message ? error.message : fallback; }

chrome.runtime.onConnect.addListener((page) => {
  const sender = page.sender;
  if (page.name !== 'vocle' || !sender || sender.id !== chrome.runtime.id || !sender.url) {
    page.disconnect();
    return;
  }

  let host = null;
  let ready = false;
  let closed = false;
  let holdsSlot = false;

  const freeSlot = () => {
    if (holdsSlot) {
      holdsSlot = false;
      hostsRunning--;
    }
  };

  const fail = (reason) => {
    if (closed) {
      return;
    }
    closed = true;
    freeSlot();
    try {
      page.postMessage({t: 'gone', e: reason});
    } catch (err) {
      // The page went in the meantime.
    }
    page.disconnect();
    if (host) {
      host.disconnect();
    }
  };

  // A message the page's port does not take while it is open is never dropped without a word:
  // an answer rejects its call; anything else ends the connection with the reason.
  const toPage = (message) => {
    try {
      page.postMessage(message);
      return;
    } catch (err) {
      if (closed) {
        return;
      }
      const reason = describe(err, 'the page did not take it');
      if (message.t === 'ret' && Number.isInteger(message.q)) {
        try {
          page.postMessage({
            t: 'ret',
            q: message.q,
            ok: false,
            e: 'the answer could not be passed on to the page: ' + reason,
          });
          return;
        } catch (again) {
          // Fails below.
        }
      }
      fail('vocle-host stopped: a message could not be passed on to the page: ' + reason);
    }
  };

  page.onDisconnect.addListener(() => {
    if (closed) {
      return;
    }
    closed = true;
    freeSlot();
    if (host) {
      host.disconnect();
    }
  });

  if (hostsRunning >= MAX_HOSTS) {
    fail(`vocle-host was not started: this browser already runs ${MAX_HOSTS} vocle-host ` +
         'processes for other pages, the most it runs at once');
    return;
  }
  try {
    host = chrome.runtime.connectNative(HOST_NAME);
  } catch (err) {
    fail('vocle-host could not start: ' + describe(err, 'no native host'));
    return;
  }
  holdsSlot = true;
  hostsRunning++;

  host.onMessage.addListener((message) => {
    if (closed || !message || typeof message !== 'object') {
      return;
    }
    if (message.t === 'ready') {
      ready = true;
      return;
    }
    toPage(message);
  });

  host.onDisconnect.addListener(() => {
    const reason = describe(chrome.runtime.lastError, 'the host closed its connection');
    fail((ready ? 'vocle-host stopped: ' : 'vocle-host could not start: ') + reason);
  });

  page.onMessage.addListener((message) => {
    if (closed || !message || typeof message !== 'object' || message.t === 'hello') {
      return;
    }
    try {
      host.postMessage(message);
    } catch (err) {
      fail('vocle-host stopped: ' + describe(err, 'the connection closed'));
    }
  });

  host.postMessage({t: 'hello', url: sender.url});
});
