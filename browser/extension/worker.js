// The extension's service worker: one vocle-host process for each page (each frame's document)
// that uses the plug-in, for as long as that page's port is open.
//
// The first message the host gets is {t: "hello", url}, with the page's address as the browser
// reports it for the port's sender: the host's trusted-page rule reads that, and nothing the page
// sends can change it. The page's own messages pass on unchanged (a "hello" from the page is
// dropped). The host answers "hello" with {t: "ready"}; messages it had to cut to fit the
// browser's limit on a host's message arrive as {t: "part", d: text} pieces, the last with
// end: true, and are put together here.
//
// When the page goes (navigation, reload, tab closed), its port closes and so does the host's,
// which ends the host's instances. When the host goes first (it exited, or could not be started),
// the page hears {t: "gone", e: reason} and its port is closed.
'use strict';

const HOST_NAME = 'com.tarvix.vocle';

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
  let parts = [];

  const toPage = (message) => {
    try {
      page.postMessage(message);
    } catch (err) {
      // The page went in the meantime; its own disconnect closes the host.
    }
  };

  const fail = (reason) => {
    if (closed) {
      return;
    }
    closed = true;
    toPage({t: 'gone', e: reason});
    page.disconnect();
    if (host) {
      host.disconnect();
    }
  };

  try {
    host = chrome.runtime.connectNative(HOST_NAME);
  } catch (err) {
    fail('vocle-host could not start: ' + describe(err, 'no native host'));
    return;
  }

  host.onMessage.addListener((message) => {
    if (closed || !message || typeof message !== 'object') {
      return;
    }
    if (message.t === 'part') {
      parts.push(String(message.d));
      if (!message.end) {
        return;
      }
      const text = parts.join('');
      parts = [];
      try {
        message = JSON.parse(text);
      } catch (err) {
        fail('vocle-host sent a message that does not read: ' + describe(err, 'bad JSON'));
        return;
      }
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

  page.onDisconnect.addListener(() => {
    if (closed) {
      return;
    }
    closed = true;
    host.disconnect();
  });

  host.postMessage({t: 'hello', url: sender.url});
});
