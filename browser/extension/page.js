// The page's side of vocle, run in the page's own script world before any script of the page.
//
// Every <object type="application/x-tarvix-vocle"> element of the document, including elements
// added later, gets a plug-in instance in vocle-host and, once the instance is made, the
// plug-in's script members as own properties, in the plug-in's order, followed by a "load" event
// on the element. A page beyond the browser's budget of vocle-host processes waits in line for a
// host ({t: "waiting", e} from the service worker): each element gets one error event saying so
// at once, and its members and load event once the host has started. Methods return Promises of
// the plug-in's return value; properties read the last values the plug-in reported (every answer
// refreshes them) and writes go to the plug-in. Page objects handed to the plug-in (callbacks,
// the keyed callback host, option objects) stay here: the host reaches them by messages, and this
// script answers them.
//
// Messages travel over a MessageChannel to the extension's relay (relay.js), which carries them
// to the service worker and on to vocle-host. The host's long messages arrive as pieces of their
// text ({t: "part"}), joined here. Nothing is lost without a word: a page message the browser
// will not carry (over its size limit of one message) comes back from the relay, and fails that
// call alone; an answer the host will not send for the same reason rejects its call, and a
// callback it cannot deliver ({t: "error", i, e}) is an error event on its element, logged on
// the console. Wire values are JSON with tagged objects:
//   page -> host: {$:"u"} undefined, {$:"d",v} a non-finite number, {$:"f",id} a function,
//                 {$:"o",id[,s|a]} another object, with a copy of its members (s: [[key, value]]
//                 for a plain object, a: [values] for an array) that the host may use while it
//                 handles the message that carried it;
//   host -> page: {$:"u"}, {$:"d",v}, {$:"r",id} one of the page's objects, {$:"m",v:[[k, v]]} a
//                 plain object, JSON arrays for arrays.
(() => {
  'use strict';

  const MIME = 'application/x-tarvix-vocle';
  // Beyond this many members in one message, objects travel without a copy of their members and
  // the host reads them one by one.
  const COPY_BUDGET = 100000;

  // Taken before the page's scripts run, so that a page that replaces them does not break this.
  const win = window;
  const doc = document;
  const PromiseCtor = Promise;
  const ErrorCtor = Error;
  const EventCtor = Event;
  const ErrorEventCtor = ErrorEvent;
  const MessageChannelCtor = MessageChannel;
  const MutationObserverCtor = MutationObserver;
  const MapCtor = Map;
  const SetCtor = Set;
  const defineProperty = Object.defineProperty;
  const getPrototypeOf = Object.getPrototypeOf;
  const getOwnPropertyDescriptor = Object.getOwnPropertyDescriptor;
  const objectKeys = Object.keys;
  const objectProto = Object.prototype;
  const isArray = Array.isArray;
  const consoleError = console.error.bind(console);
  const postToWindow = win.postMessage.bind(win);
  const toWellFormed = String.prototype.toWellFormed;

  let channel = null;  // MessagePort to the relay, made at the first message
  let gone = null;     // the reason, once the host is out of reach
  let inLine = null;   // the reason, while the page waits for a vocle-host of its own
  let nextInstance = 1;
  let nextCall = 1;
  let nextObject = 1;

  const attached = new MapCtor();   // element -> instance state
  const instances = new MapCtor();  // instance id -> instance state
  const pending = new MapCtor();    // call id -> {state, resolve, reject, write}
  // The page's objects the host holds: id -> {value, sent}, and value -> id. An entry goes when
  // the host has released as many references as it was sent.
  const objects = new MapCtor();
  const objectIds = new MapCtor();

  // ---- wire values ----

  function wellFormed(text) { return toWellFormed ? toWellFormed.call(text) : text; }

  function isPlain(value) {
    if (isArray(value)) {
      return true;
    }
    const proto = getPrototypeOf(value);
    return proto === objectProto || proto === null;
  }

  function reference(value) {
    let id = objectIds.get(value);
    if (id === undefined) {
      id = nextObject++;
      objectIds.set(value, id);
      objects.set(id, {value, sent: 0});
    }
    objects.get(id).sent++;
    return id;
  }

  // ctx: {copy: whether objects carry a copy of their members, seen: objects copied already in
  // this message, budget: members left to copy}. Never throws.
  function encode(value, ctx) {
    switch (typeof value) {
      case 'undefined':
      case 'symbol':
        return {$: 'u'};
      case 'boolean':
        return value;
      case 'number':
        return Number.isFinite(value) ? value : {$: 'd', v: String(value)};
      case 'bigint':
        return encode(Number(value), ctx);
      case 'string':
        return wellFormed(value);
      case 'function':
        return {$: 'f', id: reference(value)};
      default:
        break;
    }
    if (value === null) {
      return null;
    }
    const out = {$: 'o', id: reference(value)};
    if (ctx.copy && !ctx.seen.has(value) && isPlain(value)) {
      ctx.seen.add(value);
      try {
        copyMembers(value, out, ctx);
      } catch (err) {
        // A proxy that throws: the host reads the object when the plug-in does, and meets the
        // error there.
        delete out.a;
        delete out.s;
      }
    }
    return out;
  }

  // Only data members are copied: reading them has no effect the page could see. An object with
  // a getter goes without a copy, and the host reads it when the plug-in does. Keys, like every
  // text sent, are made well-formed: the host cannot read a lone surrogate.
  function copyMembers(value, out, ctx) {
    const keys = objectKeys(value);
    const size = isArray(value) ? value.length : keys.length;
    if (size > ctx.budget) {
      return;
    }
    ctx.budget -= size;
    const members = [];
    for (const key of keys) {
      const descriptor = getOwnPropertyDescriptor(value, key);
      if (!descriptor || !('value' in descriptor)) {
        return;
      }
      members.push([wellFormed(key), descriptor.value]);
    }
    if (isArray(value)) {
      const items = [];
      for (let k = 0; k < value.length; k++) {
        const descriptor = getOwnPropertyDescriptor(value, k);
        items.push(encode(descriptor ? descriptor.value : undefined, ctx));
      }
      out.a = items;
    } else {
      out.s = members.map(([key, member]) => [key, encode(member, ctx)]);
    }
  }

  function newContext(copy) { return {copy, seen: new SetCtor(), budget: COPY_BUDGET}; }

  function decode(value) {
    if (value === null || typeof value !== 'object') {
      return value;
    }
    if (isArray(value)) {
      return value.map(decode);
    }
    switch (value.$) {
      case 'd':
        return Number(value.v);
      case 'r': {
        const entry = objects.get(value.id);
        return entry ? entry.value : undefined;
      }
      case 'm': {
        const out = {};
        for (const [key, item] of value.v) {
          // defineProperty, so that a member named __proto__ stays a member.
          defineProperty(
              out, key,
              {value: decode(item), writable: true, enumerable: true, configurable: true});
        }
        return out;
      }
      default:
        return undefined;
    }
  }

  function errorText(err) {
    if (err !== null && typeof err === 'object' && 'message' in err) {
      return String(err.message);
    }
    return String(err);
  }

  // ---- the channel ----

  function send(message) {
    if (!channel) {
      const pair = new MessageChannelCtor();
      channel = pair.port1;
      channel.onmessage = (event) => receive(event.data);
      postToWindow({vocle: 'connect'}, '*', [pair.port2]);
    }
    channel.postMessage(message);
  }

  // A long message of the host's arrives in pieces of its JSON text, the last with end: true.
  let parts = [];

  function receive(message) {
    if (!message || typeof message !== 'object') {
      return;
    }
    if (message.t === 'part') {
      parts.push(String(message.d));
      if (!message.end) {
        return;
      }
      const text = parts.length === 1 ? parts[0] : parts.join('');
      parts = [];
      try {
        message = JSON.parse(text);
      } catch (err) {
        lost('vocle-host sent a message that does not read: ' + errorText(err));
        return;
      }
      if (!message || typeof message !== 'object') {
        return;
      }
    }
    switch (message.t) {
      case 'created':
        created(message);
        break;
      case 'ret':
        returned(message);
        break;
      case 'op':
        perform(message);
        break;
      case 'release':
        released(message);
        break;
      case 'error':
        undelivered(message);
        break;
      case 'unsent':
        unsent(message.message, String(message.e));
        break;
      case 'gone':
        lost(String(message.e || 'vocle-host is not reachable'));
        break;
      case 'waiting':
        wait(String(message.e));
        break;
      case 'ready':
        inLine = null;
        break;
      case 'reset':
        reset();
        break;
      default:
        break;
    }
  }

  // ---- instances ----

  function isVocleElement(element) {
    return element.localName === 'object' &&
        element.namespaceURI === 'http://www.w3.org/1999/xhtml' &&
        String(element.getAttribute('type') || '').trim().toLowerCase() === MIME;
  }

  function report(element, text) {
    consoleError(text);
    element.dispatchEvent(new ErrorEventCtor('error', {message: text, error: new ErrorCtor(text)}));
  }

  function attach(element) {
    const state = {
      id: nextInstance++,
      element,
      members: [],
      props: new MapCtor(),
      ready: false,
      toldWaiting: false
    };
    attached.set(element, state);
    instances.set(state.id, state);
    if (gone) {
      const reason = gone;
      PromiseCtor.resolve().then(() => report(element, reason));
      return;
    }
    send({t: 'create', i: state.id, type: MIME});
    if (inLine) {
      tellWaiting(state);
    }
  }

  // The page waits for a slot of the browser's budget of vocle-host processes: each element hears
  // it once, and gets its members, with its load event, when the page's host has started.
  function wait(reason) {
    inLine = reason;
    for (const state of attached.values()) {
      tellWaiting(state);
    }
  }

  function tellWaiting(state) {
    if (!state.toldWaiting) {
      state.toldWaiting = true;
      const reason = inLine;
      PromiseCtor.resolve().then(() => {
        if (live(state) && !state.ready) {
          report(state.element, reason);
        }
      });
    }
  }

  function removeMembers(state) {
    for (const [name] of state.members) {
      delete state.element[name];
    }
    state.members = [];
    state.ready = false;
  }

  function detach(element) {
    const state = attached.get(element);
    attached.delete(element);
    instances.delete(state.id);
    removeMembers(state);
    if (!gone) {
      send({t: 'destroy', i: state.id});
    }
  }

  const allObjects = doc.getElementsByTagName('object');

  function scan() {
    for (const element of [...attached.keys()]) {
      if (!element.isConnected || !isVocleElement(element)) {
        detach(element);
      }
    }
    for (let k = 0; k < allObjects.length; k++) {
      const element = allObjects[k];
      if (!attached.has(element) && isVocleElement(element)) {
        attach(element);
      }
    }
  }

  function refresh(state, props) {
    if (!props || typeof props !== 'object') {
      return;
    }
    for (const name of objectKeys(props)) {
      state.props.set(name, props[name]);
    }
  }

  function created(message) {
    const state = instances.get(message.i);
    if (!state) {
      return;  // the element left before its instance was made
    }
    if (!message.ok) {
      report(state.element, 'vocle: the plug-in could not start: ' + message.e);
      return;
    }
    const element = state.element;
    refresh(state, message.p);
    state.members = message.members;
    for (const [name, kind] of message.members) {
      if (kind === 'm') {
        const method =
            function() { return call(state, name, Array.prototype.slice.call(arguments)); };
        defineProperty(method, 'name', {value: name});
        defineProperty(
            element, name, {value: method, writable: false, enumerable: true, configurable: true});
      } else {
        defineProperty(element, name, {
          get: () => decode(state.props.get(name)),
          set: (value) => write(state, name, value),
          enumerable: true,
          configurable: true,
        });
      }
    }
    state.ready = true;
    element.dispatchEvent(new EventCtor('load'));
  }

  function live(state) { return attached.get(state.element) === state; }

  function call(state, name, args) {
    if (gone) {
      return PromiseCtor.reject(new ErrorCtor(gone));
    }
    if (!live(state)) {
      return PromiseCtor.reject(new ErrorCtor('the plug-in element has left the page'));
    }
    const ctx = newContext(true);
    const q = nextCall++;
    const message = {t: 'call', q, i: state.id, m: name, a: args.map((arg) => encode(arg, ctx))};
    return new PromiseCtor((resolve, reject) => {
      pending.set(q, {state, resolve, reject, write: null});
      send(message);
    });
  }

  function write(state, name, value) {
    if (gone) {
      report(state.element, gone);
      return;
    }
    if (!live(state)) {
      return;
    }
    const q = nextCall++;
    const message = {t: 'set', q, i: state.id, n: name, v: encode(value, newContext(true))};
    pending.set(q, {state, resolve: null, reject: null, write: name});
    send(message);
  }

  function returned(message) {
    const waiting = pending.get(message.q);
    if (!waiting) {
      return;
    }
    pending.delete(message.q);
    refresh(waiting.state, message.p);
    if (message.ok) {
      if (waiting.resolve) {
        waiting.resolve(decode(message.v));
      }
      return;
    }
    const text = String(message.e);
    if (waiting.write !== null) {
      consoleError('vocle: the plug-in refused to set ' + waiting.write + ': ' + text);
      waiting.state.element.dispatchEvent(
          new ErrorEventCtor('error', {message: text, error: new ErrorCtor(text)}));
    } else {
      waiting.reject(new ErrorCtor(text));
    }
  }

  // Something the host had for an element (a callback's delivery) could not reach the page.
  function undelivered(message) {
    const state = instances.get(message.i);
    if (state && live(state)) {
      report(state.element, String(message.e));
    }
  }

  // The page's references in a message that never left: the host will not give them back.
  function forgetReferences(value) {
    if (value === null || typeof value !== 'object') {
      return;
    }
    if (isArray(value)) {
      value.forEach(forgetReferences);
      return;
    }
    if ((value.$ === 'o' || value.$ === 'f') && objects.has(value.id)) {
      released({o: value.id, n: 1});
    }
    forgetReferences(value.a);
    if (isArray(value.s)) {
      value.s.forEach((member) => forgetReferences(member[1]));
    }
  }

  // The browser would not carry one of the page's messages (it is over the size of one
  // message): that message fails alone.
  function unsent(message, reason) {
    if (!message || typeof message !== 'object' || gone) {
      return;
    }
    forgetReferences(message.a);
    forgetReferences(message.v);
    switch (message.t) {
      case 'call':
      case 'set': {
        const waiting = pending.get(message.q);
        if (!waiting) {
          return;
        }
        pending.delete(message.q);
        const what = message.t === 'call' ? 'the call of ' + message.m : 'the write of ' + message.n;
        const text = `vocle: ${what} could not be sent to vocle-host: ${reason}`;
        if (waiting.reject) {
          waiting.reject(new ErrorCtor(text));
        } else if (live(waiting.state)) {
          report(waiting.state.element, text);
        }
        break;
      }
      case 'answer':
        // The host waits for this answer: it gets a failure instead.
        send({
          t: 'answer',
          q: message.q,
          ok: false,
          e: wellFormed('the page\'s answer could not be sent to vocle-host: ' + reason),
        });
        break;
      default:
        lost('vocle-host is not reachable: ' + reason);
        break;
    }
  }

  // The host is out of reach (it exited, could not start, or the extension went): every call
  // waiting and every later one fails with the reason, and each element hears it once.
  function lost(reason) {
    if (gone) {
      return;
    }
    gone = reason;
    const waiting = [...pending.values()];
    pending.clear();
    objects.clear();
    objectIds.clear();
    for (const entry of waiting) {
      if (entry.reject) {
        entry.reject(new ErrorCtor(reason));
      }
    }
    for (const element of attached.keys()) {
      report(element, reason);
    }
  }

  // ---- the host's calls on page objects ----

  function perform(message) {
    let answer;
    try {
      const entry = objects.get(message.o);
      if (!entry) {
        throw new ErrorCtor('the page object is no longer held');
      }
      const target = entry.value;
      const args = isArray(message.a) ? message.a.map(decode) : [];
      switch (message.op) {
        case 'invoke': {
          const method = target[message.m];
          if (typeof method !== 'function') {
            throw new TypeError(message.m + ' is not a function');
          }
          answer = {ok: true, v: encode(method.apply(target, args), newContext(false))};
          break;
        }
        case 'invoke_default':
          if (typeof target !== 'function') {
            throw new TypeError('the object is not a function');
          }
          answer = {ok: true, v: encode(target.apply(undefined, args), newContext(false))};
          break;
        case 'get':
          answer = {ok: true, v: encode(target[message.m], newContext(false))};
          break;
        case 'set':
          target[message.m] = decode(message.v);
          answer = {ok: true, v: {$: 'u'}};
          break;
        case 'has_property':
          answer = {ok: true, v: message.m in Object(target)};
          break;
        case 'has_method':
          answer = {ok: true, v: typeof target[message.m] === 'function'};
          break;
        case 'enumerate':
          answer = {ok: true, v: objectKeys(target).map(wellFormed)};
          break;
        default:
          throw new ErrorCtor('unknown operation ' + message.op);
      }
    } catch (err) {
      answer = {ok: false, e: wellFormed(errorText(err))};
    }
    answer.t = 'answer';
    answer.q = message.q;
    if (!gone) {
      send(answer);
    }
  }

  function released(message) {
    const entry = objects.get(message.o);
    if (!entry) {
      return;
    }
    entry.sent -= Number(message.n) || 0;
    if (entry.sent <= 0) {
      objects.delete(message.o);
      objectIds.delete(entry.value);
    }
  }

  // ---- start ----

  // The browser has no plug-in for the type, and says so with load and error events of its own
  // on the element. For a vocle element those mean nothing: the element's load and error events
  // are the ones this script dispatches (which are not "trusted" events).
  for (const type of ['load', 'error']) {
    win.addEventListener(type, (event) => {
      const target = event.target;
      if (event.isTrusted && target && target.localName === 'object' && isVocleElement(target)) {
        event.stopImmediatePropagation();
      }
    }, true);
  }

  new MutationObserverCtor(scan).observe(
      doc, {childList: true, subtree: true, attributes: true, attributeFilter: ['type']});
  scan();

  // A page restored from the back-forward cache lost its host (and its instances) when it was put
  // away; the relay says so, and the page starts again with new instances, as on a fresh load.
  function reset() {
    gone = null;
    inLine = null;
    parts = [];
    const waiting = [...pending.values()];
    pending.clear();
    objects.clear();
    objectIds.clear();
    for (const entry of waiting) {
      if (entry.reject) {
        entry.reject(new ErrorCtor('the page was restored from the back-forward cache'));
      }
    }
    for (const element of [...attached.keys()]) {
      const state = attached.get(element);
      removeMembers(state);
      attached.delete(element);
      instances.delete(state.id);
    }
    scan();
  }
})();
