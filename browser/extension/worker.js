// The extension's service worker: one vocle-host process for each page (each frame's document)
// that uses the plug-in, and at most MAX_HOSTS of them at once in this browser profile: any site
// can put elements on its pages and frames, and each host is a process of its own that loads the
// library and the audio system.
//
// A slot of that budget belongs to a host process from its start until it ends: a host whose page
// has gone may still be finishing a save. When the page goes (navigation, reload, tab closed),
// the host hears {t: "bye"} and ends as it would when its input closed, and its slot frees when
// the process has ended (the browser then disconnects its port). A host that has not ended
// HOST_END_MS after that (it had not read so far, or hangs) is disconnected, which ends it, and
// its slot frees HOST_END_MS later.
//
// A page beyond the budget waits in line, first come first served: it hears {t: "waiting", e}
// at once (every element gets one error event), and its "create" and "destroy" messages are
// kept (at most MAX_HELD elements) until a slot frees; then its host starts, the page hears
// {t: "ready"} and the host gets those messages, as on a normal start. Calls cannot be made
// before an element has its members; any that come are answered with a failure. A page that goes
// while it waits leaves the line.
//
// The first message the host gets is {t: "hello", url}, with the page's address as the browser
// reports it for the port's sender: the host's trusted-page rule reads that, and nothing the page
// sends can change it. The page's own messages pass on unchanged (a "hello" or "bye" from the
// page is dropped). The host answers "hello" with {t: "ready"}. Its messages go on to the page as
// they come, long ones too: those arrive as {t: "part", d: text} pieces, the last with end: true,
// and the page joins them. One large message to the page would be far slower than its pieces
// (the browser moves a worker's message to a page at a few megabytes a second, pieces overlap
// with the host's writing) and could be over the browser's limit on one message; a piece never
// is.
//
// When the host goes first (it exited, or could not be started), the page hears
// {t: "gone", e: reason} and its port is closed.
'use strict';

const HOST_NAME = 'com.tarvix.vocle';
const MAX_HOSTS = 16;
// vocle-host ends at most 60 s after its page has gone (its --end-timeout), and waits at most
// 5 s for an answer of the page before that.
const HOST_END_MS = 70000;
const MAX_HELD = 1024;
const WAITING = `vocle: waiting for a free vocle-host slot: this browser runs at most ${
    MAX_HOSTS} vocle-host processes at once, and they all serve other pages`;

let hostsRunning = 0;
// The pages waiting for a slot, first come first: each entry starts its page's host.
const line = [];

function describe(error, fallback) { return error && error.message ? error.message : fallback; }

function slotFreed() {
  hostsRunning--;
  while (hostsRunning < MAX_HOSTS && line.length > 0) {
    line.shift()();
  }
}

chrome.runtime.onConnect.addListener((page) => {
  const sender = page.sender;
  if (page.name !== 'vocle' || !sender || sender.id !== chrome.runtime.id || !sender.url) {
    page.disconnect();
    return;
  }

  let host = null;
  let hostEnded = false;
  let ready = false;
  let closed = false;
  let holdsSlot = false;
  // While the page waits for a slot: its "create" messages, in order.
  let held = null;

  const freeSlot = () => {
    if (holdsSlot) {
      holdsSlot = false;
      slotFreed();
    }
  };

  const cutOff = () => {
    if (!host || hostEnded) {
      return;
    }
    hostEnded = true;
    host.disconnect();
    setTimeout(freeSlot, HOST_END_MS);
  };

  // The page has gone, or its connection failed: the host ends, and keeps its slot until then.
  const endHost = () => {
    if (!host || hostEnded) {
      return;
    }
    try {
      host.postMessage({t: 'bye'});
    } catch (err) {
      cutOff();
      return;
    }
    setTimeout(cutOff, HOST_END_MS);
  };

  const leaveLine = () => {
    const at = line.indexOf(start);
    if (at >= 0) {
      line.splice(at, 1);
    }
    held = null;
  };

  const fail = (reason) => {
    if (closed) {
      return;
    }
    closed = true;
    leaveLine();
    try {
      page.postMessage({t: 'gone', e: reason});
    } catch (err) {
      // The page went in the meantime.
    }
    page.disconnect();
    endHost();
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

  // What the page sends while it waits for a slot.
  const hold = (message) => {
    if (message.t === 'create' && Number.isInteger(message.i)) {
      if (held.length >= MAX_HELD) {
        toPage({
          t: 'created',
          i: message.i,
          ok: false,
          e: `a page that waits for a vocle-host slot may hold at most ${MAX_HELD} elements`
        });
        return;
      }
      const type = typeof message.type === 'string' ? message.type.slice(0, 256) : '';
      held.push({t: 'create', i: message.i, type});
    } else if (message.t === 'destroy') {
      const at = held.findIndex((create) => create.i === message.i);
      if (at >= 0) {
        held.splice(at, 1);
      }
    } else if ((message.t === 'call' || message.t === 'set') && Number.isInteger(message.q)) {
      toPage({t: 'ret', q: message.q, ok: false, e: WAITING});
    }
  };

  function start() {
    try {
      host = chrome.runtime.connectNative(HOST_NAME);
    } catch (err) {
      fail('vocle-host could not start: ' + describe(err, 'no native host'));
      return;
    }
    holdsSlot = true;
    hostsRunning++;

    host.onMessage.addListener((message) => {
      if (!message || typeof message !== 'object') {
        return;
      }
      if (closed) {
        // The host asks the page that has gone: it need not wait for an answer.
        if (message.t === 'op' && Number.isInteger(message.q) && !hostEnded) {
          try {
            host.postMessage({t: 'answer', q: message.q, ok: false, e: 'the page has gone'});
          } catch (err) {
            // The host has ended.
          }
        }
        return;
      }
      if (message.t === 'ready') {
        ready = true;
        return;
      }
      toPage(message);
    });

    host.onDisconnect.addListener(() => {
      hostEnded = true;
      freeSlot();
      const reason = describe(chrome.runtime.lastError, 'the host closed its connection');
      fail((ready ? 'vocle-host stopped: ' : 'vocle-host could not start: ') + reason);
    });

    host.postMessage({t: 'hello', url: sender.url});
    if (held) {
      const waited = held;
      held = null;
      toPage({t: 'ready'});
      for (const message of waited) {
        host.postMessage(message);
      }
    }
  }

  page.onDisconnect.addListener(() => {
    if (closed) {
      return;
    }
    closed = true;
    leaveLine();
    endHost();
  });

  page.onMessage.addListener((message) => {
    if (closed || !message || typeof message !== 'object' || message.t === 'hello' ||
        message.t === 'bye') {
      return;
    }
    if (held) {
      hold(message);
      return;
    }
    try {
      host.postMessage(message);
    } catch (err) {
      fail('vocle-host stopped: ' + describe(err, 'the connection closed'));
    }
  });

  if (hostsRunning >= MAX_HOSTS) {
    held = [];
    line.push(start);
    toPage({t: 'waiting', e: WAITING});
    return;
  }
  start();
});
