// The test extension: it takes commands from the test's loopback server, acts on one native port
// at a time, and posts back what it saw. Every wait here has a bound given by the command.
'use strict';

const state = {
  port: null,
  inbox: [],   // messages and the disconnect, in arrival order
  wake: null,  // resolves the pending receive, if any
  connectedAt: 0,
};

function now() { return performance.now(); }

function arrive(item) {
  state.inbox.push(item);
  if (state.wake) {
    const wake = state.wake;
    state.wake = null;
    wake();
  }
}

// The next message or the disconnect, or {timeout: true} after timeoutMs.
async function next(timeoutMs) {
  if (state.inbox.length === 0) {
    await new Promise((resolve) => {
      const timer = setTimeout(() => {
        state.wake = null;
        resolve();
      }, timeoutMs);
      state.wake = () => {
        clearTimeout(timer);
        resolve();
      };
    });
  }
  return state.inbox.length ? state.inbox.shift() : {timeout: true};
}

function requirePort() {
  if (!state.port) throw new Error('no port is open');
  return state.port;
}

// Messages are equal when they serialise alike: the relay must not reorder keys either.
function same(a, b) { return JSON.stringify(a) === JSON.stringify(b); }

function preview(value) {
  const text = JSON.stringify(value);
  return text.length > 200 ? text.slice(0, 200) + '...' : text;
}

async function roundTrip(message, timeoutMs) {
  requirePort().postMessage(message);
  const item = await next(timeoutMs);
  if (!('message' in item)) return {ok: false, got: item};
  if (!same(item.message, message)) return {ok: false, got: preview(item.message)};
  return {ok: true};
}

const handlers = {
  connect(command) {
    state.inbox = [];
    state.connectedAt = now();
    const port = chrome.runtime.connectNative(command.host);
    port.onMessage.addListener((message) => {
      arrive({message, atMs: now() - state.connectedAt});
    });
    port.onDisconnect.addListener(() => {
      // Chromium reports why through lastError, Firefox through the port.
      const error = chrome.runtime.lastError || port.error;
      const reason = error ? error.message : null;
      if (state.port === port) state.port = null;
      arrive({disconnected: true, reason, atMs: now() - state.connectedAt});
    });
    state.port = port;
    if (command.first !== undefined) port.postMessage(command.first);
    return {};
  },

  send(command) {
    requirePort().postMessage(command.message);
    return {};
  },

  receive(command) { return next(command.timeoutMs); },

  async echo(command) {
    const results = [];
    for (const message of command.messages) {
      results.push(await roundTrip(message, command.timeoutMs));
    }
    return {results};
  },

  // Sequential round trips of one small message; the figures are the test's to print.
  async timedRoundTrips(command) {
    const times = [];
    for (let i = 0; i < command.count; ++i) {
      const start = now();
      const result = await roundTrip({seq: i, text: 'ping'}, command.timeoutMs);
      if (!result.ok) return {failedAt: i, got: result.got};
      times.push(now() - start);
    }
    times.sort((a, b) => a - b);
    return {
      medianMs: times[Math.floor(times.length / 2)],
      minMs: times[0],
      maxMs: times[times.length - 1]
    };
  },

  disconnect() {
    requirePort().disconnect();
    state.port = null;
    return {};
  },
};

async function post(server, path, body) {
  return fetch(server + path, {method: 'POST', body: JSON.stringify(body)});
}

async function serve() {
  const config = await (await fetch(chrome.runtime.getURL('config.json'))).json();
  await post(config.server, '/hello', {id: chrome.runtime.id});
  for (;;) {
    // An extension call now and then keeps the service worker from being stopped as idle.
    await chrome.runtime.getPlatformInfo();
    const response = await fetch(config.server + '/command');
    if (response.status === 204) continue;  // nothing yet: ask again
    if (response.status !== 200) return;    // the test is over
    const command = await response.json();
    let result;
    try {
      result = await handlers[command.action](command);
    } catch (error) {
      result = {error: String(error)};
    }
    await post(config.server, '/result', {id: command.id, result});
  }
}

serve();
