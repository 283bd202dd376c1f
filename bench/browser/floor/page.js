// The floor's page script (page world): floorCall(n) asks the echo host for an answer of n bytes
// of JSON text (0: a tiny round trip) and resolves with the answer, parsed. Long answers arrive
// in pieces, joined here, as vocle's page script joins them.
(() => {
  'use strict';
  const channel = new MessageChannel();
  const waiting = new Map();
  let parts = [];
  let next = 1;
  channel.port1.onmessage = (event) => {
    let message = event.data;
    if (message.t === 'part') {
      parts.push(message.d);
      if (!message.end) {
        return;
      }
      message = JSON.parse(parts.join(''));
      parts = [];
    }
    const resolve = waiting.get(message.q);
    waiting.delete(message.q);
    resolve(message);
  };
  window.postMessage({floor: 'connect'}, '*', [channel.port2]);
  window.floorCall = (n) => new Promise((resolve) => {
    const q = next++;
    waiting.set(q, resolve);
    channel.port1.postMessage({q, n});
  });
})();
