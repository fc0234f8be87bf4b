// The page side of the launcher's protocol, for publishers' pages: finds the
// launcher on wss://127.0.0.1:11651..11655, greets it, follows the catalogue's
// state, runs LOAD's state machine (install, progress, final message, LOAD
// again), relays requests to modules and hands the page every other frame.
// Every wait has a time-out and takes an AbortSignal: the launcher answers
// each action exactly once and in order, so a late reply means the order is
// lost and the connection is dropped rather than trusted.
// No dependencies; an ES module for current browsers. The declarations are in
// launcher-client.d.ts, the guide in README.md beside this file.

export const PORTS = Object.freeze([11651, 11652, 11653, 11654, 11655]);

/** What each LOAD "result" means. */
export const LOAD_RESULTS = Object.freeze({
  0: "the module is registered",
  1: "the request names no module",
  2: "the module's library is missing; the launcher installs it",
  3: "the installed library's version differs from the catalogue's; the launcher installs it",
  4: "the installed library's digest differs from the catalogue's; the launcher installs it",
  5: "the library is installed and current but its registration failed",
  6: "the catalogue lists no such module",
});

/** What each "error" of a LOAD result 5 means. */
export const REGISTRATION_ERRORS = Object.freeze({
  1: "the module library failed to load",
  2: "the module library has no registerHandler export",
  3: "the module's registerHandler returned no table",
});

/** What each "error" of an install's final message means (0 is success). */
export const INSTALL_ERRORS = Object.freeze({
  0: "installed",
  1: "the system reported no temporary directory",
  2: "the package file's path would be too long",
  3: "the package download failed (the next load resumes it)",
  4: "the downloaded package does not match the catalogue's digest (it was deleted)",
  5: "unpacking the package failed (the next load reuses the verified package)",
});

const READY_NAMES = { 1: "ready", 0: "fetching", "-1": "unavailable" };
const ACTIONS = ["HELLO", "INITMC", "LOAD"];
// The launcher's default cap on one message from a page; a larger one closes
// the connection with 1009.
const MAX_MESSAGE_BYTES = 16 * 1024 * 1024;
// The close code the client uses when it drops a connection whose replies it
// can no longer match (a page may send 1000 or 3000-4999).
const DROPPED = 4000;

function portsText(ports) {
  const list = [...ports];
  if (list.length === 1) return `port ${list[0]}`;
  const range = list.every((port, i) => i === 0 || port === list[i - 1] + 1);
  return range ? `ports ${list[0]} to ${list[list.length - 1]}` : `ports ${list.join(", ")}`;
}

// Every cause below looks the same to a page: browsers report each as an error
// event and close code 1006, so that pages cannot probe the network.
function notFoundMessage(ports) {
  const first = [...ports][0];
  return `No launcher answered on wss://127.0.0.1 ${portsText(ports)}. The likely causes, which a page ` +
    "cannot tell apart (the browser reports each as an error event and close code 1006, so that pages " +
    "cannot probe the network): the launcher is not running; this browser does not trust its " +
    "certificate; this page's origin is not in the launcher's allow-list (its 403 looks the same); the " +
    "user denied the browser's Local Network Access prompt; or the page's Content-Security-Policy " +
    "connect-src does not allow wss://127.0.0.1. The error's \"attempts\" say what each port did. If " +
    `the launcher runs, open https://127.0.0.1:${first}/ in a tab: a certificate warning there means ` +
    "the browser does not trust the launcher's root certificate.";
}

export const NOT_FOUND_MESSAGE = notFoundMessage(PORTS);

/** Every failure this library reports; `code` says which kind. */
export class LauncherError extends Error {
  constructor(code, message, details) {
    super(message);
    this.name = "LauncherError";
    this.code = code;
    this.module = undefined;
    this.result = undefined;
    this.registrationError = undefined;
    this.installError = undefined;
    if (details) Object.assign(this, details);
  }
}

/** The events a LauncherClient dispatches; their fields are set on the event. */
export class LauncherEvent extends Event {
  constructor(type, fields) {
    super(type);
    Object.assign(this, fields);
  }
}

function deferred() {
  let resolve, reject;
  const promise = new Promise((yes, no) => {
    resolve = yes;
    reject = no;
  });
  return { promise, resolve, reject };
}

function isObject(value) {
  return value !== null && typeof value === "object" && !Array.isArray(value);
}

function parse(text) {
  try {
    return JSON.parse(text);
  } catch (e) {
    return undefined;
  }
}

function isHello(m) {
  return typeof m.ready === "number" && typeof m.version === "string";
}
function isProgress(m) {
  return m.act === "LOAD" && m.result === 2 && typeof m.size === "number" && typeof m.total === "number";
}
function isFinal(m) {
  return m.act === "LOAD" && m.result === 2 && typeof m.error === "number" && !("size" in m);
}
function isLoadAnswer(m) {
  return m.act === "LOAD" && typeof m.result === "number" && !("size" in m) && !isFinal(m);
}

function describeName(name) {
  return typeof name === "string" ? `"${name}"` : String(name);
}

// A time-out in ms, or none: Infinity, 0, negative, NaN and undefined all mean none.
function isDeadline(ms) {
  return typeof ms === "number" && Number.isFinite(ms) && ms > 0;
}

function abortError(signal, what) {
  const reason = signal.reason;
  if (reason && reason.name === "TimeoutError") {
    return new LauncherError("timeout", `${what} timed out (its signal)`, { cause: reason });
  }
  return new LauncherError("aborted", `${what} was aborted`, { cause: reason });
}

// The caller's view of a shared promise, bounded by its own signal and
// time-out; the work behind it goes on for others.
function bounded(promise, { signal, timeout } = {}, what) {
  if (!signal && !isDeadline(timeout)) return promise;
  return new Promise((resolve, reject) => {
    let timer = null;
    let done = false;
    const finish = (settle, value) => {
      if (done) return;
      done = true;
      clearTimeout(timer);
      if (signal) signal.removeEventListener("abort", onAbort);
      settle(value);
    };
    const onAbort = () => finish(reject, abortError(signal, what));
    promise.then((value) => finish(resolve, value), (error) => finish(reject, error));
    if (signal && signal.aborted) return onAbort();
    if (signal) signal.addEventListener("abort", onAbort);
    if (isDeadline(timeout)) {
      timer = setTimeout(() => finish(reject, new LauncherError("timeout", `${what} did not finish within ${timeout} ms`)), timeout);
    }
  });
}

// Resolves after ms or at hooks.wake(), or rejects with the signal's reason;
// leaves no listener behind.
function sleep(ms, signal, hooks = {}) {
  return new Promise((resolve, reject) => {
    const end = (settle, value) => {
      clearTimeout(timer);
      signal.removeEventListener("abort", onAbort);
      hooks.wake = null;
      settle(value);
    };
    const onAbort = () => end(reject, signal.reason);
    const timer = setTimeout(() => end(resolve), ms);
    signal.addEventListener("abort", onAbort, { once: true });
    hooks.wake = () => end(resolve);
  });
}

// "1.2.3" against "1.2": numeric, part by part, missing parts as 0. A
// version that is not dotted numbers ("" from a launcher without one) is older.
function atLeast(version, minimum) {
  if (!/^\d+(\.\d+)*$/.test(version)) return false;
  const a = version.split(".").map(Number);
  const b = String(minimum).split(".").map(Number);
  for (let i = 0; i < Math.max(a.length, b.length); i++) {
    if ((a[i] || 0) !== (b[i] || 0)) return (a[i] || 0) > (b[i] || 0);
  }
  return true;
}

function randomPrefix() {
  const words = globalThis.crypto.getRandomValues(new Uint32Array(2));
  return Array.from(words, (word) => word.toString(16).padStart(8, "0")).join("");
}

// UTF-8 bytes of text, encoding only when the length alone cannot decide.
function tooLarge(text, limit) {
  if (!isDeadline(limit) || text.length * 3 <= limit) return false;
  return text.length > limit || new TextEncoder().encode(text).length > limit;
}

// One report per animation frame where there are frames (a hidden tab has
// none), else per task.
function nextFrame(callback) {
  const visible = typeof document === "undefined" || !document.hidden;
  if (visible && typeof requestAnimationFrame === "function") {
    const handle = requestAnimationFrame(callback);
    return () => cancelAnimationFrame(handle);
  }
  const handle = setTimeout(callback, 0);
  return () => clearTimeout(handle);
}

function callEach(listeners, value) {
  for (const listener of listeners) {
    try {
      listener(value);
    } catch (e) {
      setTimeout(() => { throw e; }); // a page's bug must not stop the library
    }
  }
}

function loadFailure(name, result, fields, extra) {
  const registrationError = fields.registrationError;
  const installError = fields.installError;
  let message;
  if (installError !== undefined) {
    message = `installing ${describeName(name)} failed with error ${installError}: ` +
      (INSTALL_ERRORS[installError] || "an error this library does not know");
  } else if (result === 5) {
    message = `${describeName(name)} did not register (result 5, error ${registrationError}): ` +
      (REGISTRATION_ERRORS[registrationError] || "an error this library does not know");
  } else {
    message = `loading ${describeName(name)} failed with result ${result}: ` +
      (LOAD_RESULTS[result] || "a result this library does not know");
  }
  return new LauncherError("load-failed", message + (extra || ""),
    { module: name, result, registrationError, installError });
}

function notConnected() {
  return new LauncherError("not-connected", "not connected to the launcher; call connect() first");
}

/**
 * One connection to the launcher. Events: "open", "close", "ready",
 * "progress", "message" (see launcher-client.d.ts).
 */
export class LauncherClient extends EventTarget {
  constructor(options = {}) {
    super();
    this.options = {
      ports: PORTS,
      handshakeTimeout: 3000,
      replyTimeout: 15000,
      installTimeout: 60000,
      helloInterval: 1000,
      retryInterval: 1000,
      maxRetryInterval: 30000,
      maxRetries: Infinity,
      reconnect: false,
      reload: true,
      maxInstalls: 2,
      minVersion: null,
      accept: null,
      requestKey: "$rid",
      maxMessageBytes: MAX_MESSAGE_BYTES,
      trace: null,
      ...options,
    };
    this._socket = null;
    this._state = "closed";
    this._port = null;
    this._version = null;
    this._readyCode = null;
    this._connecting = null; // { promise, stop } of the connect() in progress
    this._wanted = false; // connect() was called and close() was not since
    this._generation = 0; // bumped by every close
    this._awaiting = { HELLO: [], INITMC: [], LOAD: [] }; // FIFO of deferreds per action
    this._loads = new Map(); // module name -> shared load operation
    this._loaded = new Set(); // names loaded on this client, loaded again after a reconnect
    this._loadChain = Promise.resolve(); // loads of different modules run one after another
    this._install = null; // the load operation whose install messages arrive now
    this._requests = new Map(); // correlation value -> pending request()
    this._prefix = randomPrefix();
    this._nextId = 1;
    this._helloTimer = null;
    this._settled = []; // deferreds waiting for the catalogue to leave "fetching"
    this._iterators = new Set();
  }

  /** "closed", "connecting" or "open". */
  get state() {
    return this._state;
  }
  /** The port of the open connection, or null. */
  get port() {
    return this._state === "open" ? this._port : null;
  }
  /** The launcher's version ("major.minor.build", "" when it has none), or null before HELLO. */
  get version() {
    return this._version;
  }
  /** The catalogue's state: "ready", "fetching", "unavailable", or "unknown" before HELLO. */
  get ready() {
    return this._readyCode === null ? "unknown" : READY_NAMES[this._readyCode] || "unknown";
  }
  /** HELLO's "ready" as the launcher sent it (1, 0, -1), or null. */
  get readyCode() {
    return this._readyCode;
  }

  /**
   * Connects to the first port that completes a handshake, answers HELLO and
   * passes minVersion and accept(). With { wait: true } keeps trying, with
   * backoff, until one does, close() is called, the signal aborts or the
   * time-out passes.
   */
  connect({ wait = false, signal, timeout } = {}) {
    if (this._state === "open") return Promise.resolve(this._helloInfo());
    this._wanted = true;
    const running = this._connecting;
    if (running) {
      // Without wait a caller must hear "not-found" even while a waiting attempt goes on.
      const shared = wait || !running.wait ? running.promise : this._nextRound(running);
      return bounded(shared, { signal, timeout }, "connect()");
    }
    this._state = "connecting";
    const stop = new AbortController();
    const onAbort = () => stop.abort(abortError(signal, "connect()"));
    let timer = null;
    if (signal) {
      if (signal.aborted) onAbort();
      else signal.addEventListener("abort", onAbort);
    }
    if (isDeadline(timeout)) {
      timer = setTimeout(() => stop.abort(new LauncherError("timeout",
        `no launcher was found within ${timeout} ms`)), timeout);
    }
    const current = { stop, promise: null, wait, round: null, wake: null };
    const settle = () => {
      clearTimeout(timer);
      if (signal) signal.removeEventListener("abort", onAbort);
      if (this._connecting === current) this._connecting = null;
    };
    current.promise = this._attempt(wait, stop.signal, current).then(
      (info) => {
        settle();
        current.round?.resolve(info);
        return info;
      },
      (error) => {
        const mine = this._connecting === current;
        settle();
        current.round?.reject(error);
        if (mine && this._state === "connecting") {
          this._state = "closed";
          this._endIterators();
        }
        throw error;
      });
    this._connecting = current;
    return current.promise;
  }

  // The end of the waiting attempt's next round, for a connect() without wait;
  // one asked between rounds starts the next round now.
  _nextRound(running) {
    if (!running.round) running.round = deferred();
    running.wake?.();
    return running.round.promise;
  }

  async _attempt(wait, stopped, current) {
    const { ports, maxRetries } = this.options;
    for (let round = 0; ; round++) {
      const attempts = [];
      for (const port of ports) {
        if (stopped.aborted) throw stopped.reason;
        const found = await this._tryPort(port, stopped, attempts);
        if (!found) continue;
        if (stopped.aborted) {
          found.ws.close();
          throw stopped.reason;
        }
        try {
          return await this._adopt(found.ws, port, found.hello, stopped);
        } catch (error) {
          // Dropped while loading its modules again: look again, or say why.
          if (!wait || stopped.aborted) throw stopped.aborted ? stopped.reason : error;
        }
      }
      if (stopped.aborted) throw stopped.reason;
      const error = this._notFound(attempts);
      if (!wait || round >= maxRetries) throw error;
      current.round?.reject(error);
      current.round = null;
      await sleep(this._backoff(round), stopped, current);
    }
  }

  // Exponential with jitter: a random time between half and all of
  // min(maxRetryInterval, retryInterval * 2^round), so that pages that lost
  // one launcher do not all knock at once.
  _backoff(round) {
    const { retryInterval, maxRetryInterval } = this.options;
    const ceiling = Math.min(maxRetryInterval, retryInterval * 2 ** Math.min(round, 30));
    return ceiling / 2 + Math.random() * ceiling / 2;
  }

  _notFound(attempts) {
    const ports = this.options.ports;
    if (attempts.some((a) => a.outcome === "outdated") && !attempts.some((a) => a.outcome === "declined")) {
      const versions = attempts.filter((a) => a.outcome === "outdated").map((a) => `${a.version || "none"} on ${a.port}`);
      return new LauncherError("outdated", `only launchers older than ${this.options.minVersion} answered ` +
        `(${versions.join(", ")}); the user needs to update the launcher`, { attempts });
    }
    return new LauncherError("not-found", notFoundMessage(ports), { attempts });
  }

  // Resolves with { ws, hello } once the port answers HELLO and is accepted,
  // or null; adds what the port did to attempts.
  _tryPort(port, stopped, attempts) {
    return new Promise((resolve) => {
      let ws;
      let done = false;
      let opened = false;
      const record = (outcome, extra) => attempts.push({ port, outcome, ...extra });
      const finish = (result, outcome, extra) => {
        if (done) return;
        done = true;
        clearTimeout(timer);
        stopped.removeEventListener("abort", onStop);
        if (outcome) record(outcome, extra);
        if (ws) {
          ws.onopen = ws.onerror = ws.onclose = ws.onmessage = null;
          if (!result) {
            try {
              ws.close();
            } catch (e) { /* already closed */ }
          }
        }
        resolve(result);
      };
      const onStop = () => finish(null);
      const timer = setTimeout(() => finish(null, opened ? "silent" : "timeout"), this.options.handshakeTimeout);
      stopped.addEventListener("abort", onStop);
      try {
        ws = new WebSocket(`wss://127.0.0.1:${port}/`);
      } catch (e) {
        finish(null, "blocked", { error: String(e && e.message || e) }); // a Content-Security-Policy, say
        return;
      }
      ws.onopen = () => {
        opened = true;
        const text = JSON.stringify({ request: { act: "HELLO" } });
        this._trace("sent", text, port);
        ws.send(text);
      };
      ws.onmessage = (event) => {
        if (typeof event.data === "string") this._trace("received", event.data, port);
        const message = typeof event.data === "string" ? parse(event.data) : undefined;
        if (!isObject(message) || message.act !== "HELLO" || !isHello(message)) return;
        const { minVersion, accept } = this.options;
        if (minVersion && !atLeast(message.version, minVersion)) {
          finish(null, "outdated", { version: message.version });
          return;
        }
        let accepted = true;
        if (accept) {
          try {
            accepted = accept(message, port) !== false;
          } catch (e) {
            accepted = false;
            setTimeout(() => { throw e; });
          }
        }
        if (accepted) finish({ ws, hello: message }, "accepted", { version: message.version });
        else finish(null, "declined", { version: message.version });
      };
      ws.onerror = () => finish(null, opened ? "closed" : "refused");
      ws.onclose = () => finish(null, opened ? "closed" : "refused");
    });
  }

  async _adopt(ws, port, hello, stopped) {
    this._socket = ws;
    this._port = port;
    this._prefix = randomPrefix();
    ws.onmessage = (event) => {
      if (typeof event.data === "string") this._trace("received", event.data, port);
      this._receive(event.data);
    };
    ws.onclose = (event) => this._closed(event.code, event.reason, false);
    ws.onerror = null;
    this._version = hello.version;
    this._setReady(hello.ready);
    // The launcher forgets a page's modules with its connection: load them
    // again before the page is told it may send to them.
    const reloaded = [];
    const failed = [];
    // A caller that gave up meanwhile (signal, time-out, close()) must not be
    // left with a connection it no longer waits for.
    const abandon = () => {
      if (this._socket === ws) this._closed(1000, "connect() ended", true);
    };
    stopped.addEventListener("abort", abandon);
    try {
      for (const name of this.options.reload ? [...this._loaded] : []) {
        try {
          await this._load(name);
          reloaded.push(name);
        } catch (error) {
          if (stopped.aborted) throw stopped.reason;
          if (this._socket !== ws) throw error;
          this._loaded.delete(name);
          failed.push({ module: name, error });
        }
        if (stopped.aborted) throw stopped.reason;
      }
    } finally {
      stopped.removeEventListener("abort", abandon);
    }
    if (this._socket !== ws) throw new LauncherError("closed", "the connection closed while its modules were loaded again");
    this._state = "open";
    const info = this._helloInfo();
    this.dispatchEvent(new LauncherEvent("open", { port, version: this._version, ready: this.ready, reloaded, failed }));
    if (this._socket === ws && this._readyCode !== null) {
      this.dispatchEvent(new LauncherEvent("ready", { ready: this.ready, readyCode: this._readyCode }));
    }
    return info;
  }

  _helloInfo() {
    return { port: this._port, version: this._version, ready: this.ready, readyCode: this._readyCode };
  }

  /**
   * Closes the connection, stops connecting and reconnecting; everything
   * pending is rejected and the messages() iterators end.
   */
  close() {
    this._wanted = false;
    const connecting = this._connecting;
    if (connecting) {
      this._connecting = null; // a connect() right after close() starts afresh
      connecting.stop.abort(new LauncherError("closed", "close() was called while connecting"));
    }
    if (this._socket) this._closed(1000, "closed by the page", true);
    else {
      this._state = "closed";
      this._endIterators();
    }
  }

  /** close(), and forgets the modules to load again. */
  dispose() {
    this._loaded.clear();
    this.close();
  }

  _closed(code, reason, byPage, dropped) {
    const ws = this._socket;
    if (!ws) return;
    ws.onmessage = ws.onclose = ws.onerror = null;
    if (byPage || dropped) {
      try {
        ws.close(code, dropped ? "no reply in time" : undefined);
      } catch (e) { /* already closing */ }
    }
    const wasOpen = this._state === "open";
    this._socket = null;
    this._state = this._connecting ? "connecting" : "closed";
    this._readyCode = null;
    this._generation++;
    clearTimeout(this._helloTimer);
    this._helloTimer = null;
    const error = new LauncherError("closed", byPage
      ? "the connection to the launcher was closed by the page"
      : dropped ? `the connection to the launcher was dropped: ${reason}`
        : `the connection to the launcher closed (code ${code}${reason ? ", " + reason : ""}); ` +
          "the launcher stopped, or dropped this page",
    { closeCode: code, closeReason: reason });
    for (const list of Object.values(this._awaiting)) {
      for (const waiter of list.splice(0)) {
        clearTimeout(waiter.timer);
        waiter.reject(error);
      }
    }
    this._settled.splice(0).forEach((d) => d.reject(error));
    for (const operation of this._loads.values()) operation.fail(error);
    this._loads.clear();
    this._install = null;
    this._loadChain = Promise.resolve();
    for (const pending of this._requests.values()) pending.fail(error);
    this._requests.clear();
    // A connection dropped while its modules were loaded again was never announced.
    if (wasOpen) this.dispatchEvent(new LauncherEvent("close", { code, reason, byPage }));
    // A listener may have called close() or connect() meanwhile.
    if (!byPage && this._wanted && this.options.reconnect) {
      if (!this._connecting && !this._socket) this.connect({ wait: true }).catch(() => { /* close() during the wait */ });
    } else if (!this._socket && !this._connecting) {
      this._endIterators();
    }
  }

  // The replies can no longer be matched to requests: drop the connection.
  _drop(reason) {
    this._closed(DROPPED, reason, false, true);
  }

  _endIterators() {
    for (const iterator of this._iterators) iterator.end();
    this._iterators.clear();
  }

  _send(envelope) {
    if (!this._socket) throw notConnected();
    const text = JSON.stringify(envelope);
    if (tooLarge(text, this.options.maxMessageBytes)) {
      throw new LauncherError("too-large", `the message is larger than the launcher accepts ` +
        `(${this.options.maxMessageBytes} bytes; it would close the connection with 1009): split it`);
    }
    this._trace("sent", text, this._port);
    this._socket.send(text);
  }

  _trace(direction, text, port) {
    if (!this.options.trace) return;
    try {
      this.options.trace(direction, text, port);
    } catch (e) {
      setTimeout(() => { throw e; }); // a page's bug must not break the connection
    }
  }

  // Sends a launcher action and resolves with its reply (replies to one
  // connection come in the order of its requests). A reply later than
  // replyTimeout drops the connection: the order is lost.
  _action(request) {
    const waiter = deferred();
    try {
      this._send({ request });
    } catch (error) {
      return Promise.reject(error);
    }
    const queue = this._awaiting[request.act];
    queue.push(waiter);
    const limit = this.options.replyTimeout;
    if (isDeadline(limit)) {
      waiter.timer = setTimeout(() => {
        const at = queue.indexOf(waiter);
        if (at < 0) return;
        queue.splice(at, 1);
        const message = `the launcher did not answer ${request.act} within ${limit} ms`;
        const error = new LauncherError("timeout", message + "; the connection was dropped");
        waiter.reject(error);
        // The load that waits for this answer fails with the time-out, not with the close.
        if (request.act === "LOAD" && this._install) this._install.fail(error);
        this._drop(message);
      }, limit);
    }
    return waiter.promise;
  }

  _receive(text) {
    if (typeof text !== "string") return; // the launcher sends text frames only
    const message = parse(text);
    if (isObject(message) && ACTIONS.includes(message.act) && this._fromLauncher(message)) return;
    const key = this.options.requestKey;
    if (isObject(message) && typeof message[key] === "string" && this._requests.has(message[key])) {
      this._requests.get(message[key]).done(message);
      return;
    }
    const fields = { text, data: message };
    this.dispatchEvent(new LauncherEvent("message", fields));
    for (const iterator of this._iterators) iterator.push(fields);
  }

  // Takes a launcher-shaped frame when one of that kind is awaited; install
  // messages always (they arrive after a load gave up, too).
  _fromLauncher(message) {
    if (message.act === "LOAD" && (isProgress(message) || isFinal(message))) {
      if (this._install) this._install.installMessage(message);
      return true;
    }
    if (message.act === "HELLO" && !isHello(message)) return false;
    if (message.act === "LOAD" && !isLoadAnswer(message)) return false;
    if (message.act === "INITMC" && Object.keys(message).length !== 1) return false;
    const waiter = this._awaiting[message.act].shift();
    if (!waiter) return false;
    clearTimeout(waiter.timer);
    if (message.act === "HELLO") {
      this._version = message.version;
      this._setReady(message.ready);
    }
    waiter.resolve(message);
    return true;
  }

  _setReady(code) {
    const changed = code !== this._readyCode;
    this._readyCode = code;
    clearTimeout(this._helloTimer);
    this._helloTimer = null;
    if (code === 0) {
      // While the catalogue is on its way, ask again until it has settled.
      this._helloTimer = setTimeout(() => {
        this._helloTimer = null;
        this._action({ act: "HELLO" }).catch(() => { /* closed meanwhile */ });
      }, this.options.helloInterval);
    } else {
      this._settled.splice(0).forEach((d) => d.resolve(this.ready));
    }
    // Before "open" the page learns the state from "open" and the "ready" after it.
    if (changed && this._state === "open") {
      this.dispatchEvent(new LauncherEvent("ready", { ready: this.ready, readyCode: code }));
    }
  }

  /** Sends HELLO; resolves with the launcher's version and the catalogue's state. */
  hello(options) {
    if (this._state !== "open") return Promise.reject(notConnected());
    return bounded(this._action({ act: "HELLO" }).then(() => this._helloInfo()), options, "hello()");
  }

  /** Resolves once the catalogue is no longer being fetched: "ready" or "unavailable". */
  catalogueSettled(options) {
    if (this._state !== "open") return Promise.reject(notConnected());
    return bounded(this._catalogueSettled(), options, "catalogueSettled()");
  }

  _catalogueSettled() {
    if (this._readyCode !== 0) return Promise.resolve(this.ready);
    const waiter = deferred();
    this._settled.push(waiter);
    return waiter.promise;
  }

  /**
   * Asks the launcher to fetch its catalogue again (INITMC; it does so only
   * when it has none and no fetch runs) and resolves with the settled state.
   */
  refreshCatalogue(options) {
    if (this._state !== "open") return Promise.reject(notConnected());
    const refresh = async () => {
      await this._action({ act: "INITMC" });
      await this._action({ act: "HELLO" });
      return this._catalogueSettled();
    };
    return bounded(refresh(), options, "refreshCatalogue()");
  }

  /**
   * Resolves once the module is registered; installs it first when needed.
   * Loads of one name share one operation; loads of different names run one
   * after another, since the launcher's install messages do not name their
   * module. The signal and time-out end this call's wait only.
   */
  load(name, { onProgress, signal, timeout } = {}) {
    if (this._state !== "open") return Promise.reject(notConnected());
    return bounded(this._load(name, onProgress), { signal, timeout }, `load(${describeName(name)})`);
  }

  _load(name, onProgress) {
    let operation = this._loads.get(name);
    if (!operation) {
      operation = this._newLoad(name);
      this._loads.set(name, operation);
      const run = () => operation.run();
      this._loadChain = this._loadChain.then(run, run);
    }
    if (onProgress) operation.listeners.add(onProgress);
    return operation.promise;
  }

  _newLoad(name) {
    const client = this;
    const done = deferred();
    const generation = this._generation;
    let installs = 0;
    const results = []; // LOAD's answers, in order
    let installing = null; // deferred of the final message while an install runs
    let early = []; // install messages that arrived before LOAD's answer
    let latest = null; // progress not yet reported
    let cancelReport = null;
    let idle = null; // the time-out between install messages
    const report = () => {
      cancelReport = null;
      if (!latest) return;
      const progress = latest;
      latest = null;
      callEach(operation.listeners, progress);
      client.dispatchEvent(new LauncherEvent("progress", progress));
    };
    const flush = () => {
      if (cancelReport) cancelReport();
      report();
    };
    const watch = () => {
      clearTimeout(idle);
      const limit = client.options.installTimeout;
      if (!installing || !isDeadline(limit)) return;
      idle = setTimeout(() => {
        const message = `the install of ${describeName(name)} sent nothing for ${limit} ms`;
        operation.fail(new LauncherError("timeout", message + "; the connection was dropped", { module: name }));
        client._drop(message);
      }, limit);
    };
    const operation = {
      promise: done.promise,
      listeners: new Set(),
      finished: false,
      fail(error) {
        if (operation.finished) return;
        operation.finished = true;
        clearTimeout(idle);
        if (cancelReport) cancelReport();
        if (installing) installing.reject(error);
        done.reject(error);
      },
      installMessage(message) {
        if (!installing) {
          early.push(message);
          return;
        }
        watch();
        if (isProgress(message)) {
          // Floods of progress become one report per frame.
          latest = { module: name, size: message.size, total: message.total };
          if (!cancelReport) cancelReport = nextFrame(report);
        } else {
          flush();
          clearTimeout(idle);
          installing.resolve(message.error);
        }
      },
      async run() {
        if (operation.finished || generation !== client._generation) return;
        try {
          if (client._readyCode === 0) await client._catalogueSettled();
          for (;;) {
            client._install = operation; // messages of a fast install may precede the answer
            early = [];
            const answer = await client._action({ act: "LOAD", module: name });
            const result = answer.result;
            results.push(result);
            if (result === 0) break;
            if (result < 2 || result > 4) {
              client._install = null;
              const extra = result === 6 && client._readyCode === -1
                ? " (the launcher has no catalogue; refreshCatalogue() asks it to fetch one again)" : "";
              throw loadFailure(name, result, { registrationError: answer.error }, extra);
            }
            // Still stale after its installs: follow the install this answer
            // started to its end all the same, so that its messages cannot be
            // taken for the next load's, then give up.
            const stale = installs >= client.options.maxInstalls;
            installs++;
            installing = deferred();
            watch();
            for (const message of early.splice(0)) operation.installMessage(message);
            const error = await installing.promise;
            installing = null;
            client._install = null;
            if (error !== 0) throw loadFailure(name, result, { installError: error });
            if (stale) {
              throw new LauncherError("load-failed", `loading ${describeName(name)} answered result ${result} ` +
                `again after ${installs - 1} successful install(s): the catalogue's entry does not describe ` +
                "the library its package holds", { module: name, result });
            }
          }
          operation.finished = true;
          if (typeof name === "string") client._loaded.add(name);
          done.resolve({ module: name, installs, results });
        } catch (error) {
          operation.fail(error);
        } finally {
          if (client._install === operation) client._install = null;
          if (client._loads.get(name) === operation) client._loads.delete(name);
        }
      },
    };
    return operation;
  }

  /**
   * Sends a request to a module; its replies arrive as "message" events.
   * Throws "not-connected", or "too-large" for a message above maxMessageBytes.
   */
  send(module, request) {
    if (typeof module !== "string") throw new TypeError("send(module, request): module must be a string");
    if (this._state !== "open") throw notConnected();
    this._send({ target: module, request });
  }

  /**
   * For modules that copy the member options.requestKey of a request into
   * their reply: sends the request with a fresh value of that member and
   * resolves with the first frame that carries it.
   */
  request(module, request, { timeout = 10000, signal } = {}) {
    if (!isObject(request)) {
      return Promise.reject(new TypeError("request(module, request): request must be a JSON object"));
    }
    const key = this.options.requestKey;
    if (key in request) {
      return Promise.reject(new TypeError(`request(): the member "${key}" is the client's own (requestKey); ` +
        "send() sends a request unchanged"));
    }
    if (signal && signal.aborted) return Promise.reject(abortError(signal, "request()"));
    const id = `${this._prefix}-${this._nextId++}`;
    try {
      this.send(module, { ...request, [key]: id });
    } catch (error) {
      return Promise.reject(error);
    }
    return new Promise((resolve, reject) => {
      let timer = null;
      const settle = (how, value) => {
        this._requests.delete(id);
        clearTimeout(timer);
        if (signal) signal.removeEventListener("abort", onAbort);
        how(value);
      };
      const onAbort = () => settle(reject, abortError(signal, "request()"));
      this._requests.set(id, { done: (reply) => settle(resolve, reply), fail: (error) => settle(reject, error) });
      if (signal) signal.addEventListener("abort", onAbort);
      if (isDeadline(timeout)) {
        timer = setTimeout(() => settle(reject, new LauncherError("timeout", `no reply with "${key}" ${id} ` +
          `from ${describeName(module)} within ${timeout} ms: the module did not answer, or its replies do ` +
          `not carry the request's "${key}"`, { module })), timeout);
      }
    });
  }

  /**
   * The frames that are not launcher replies, as an async iterator of
   * { text, data }. It keeps at most bufferSize unread frames (overflow:
   * "drop-oldest", "drop-newest" or "error"), lives across reconnections and
   * ends when the client closes for good or the signal aborts.
   */
  messages({ bufferSize = 1000, overflow = "drop-oldest", signal } = {}) {
    if (!["drop-oldest", "drop-newest", "error"].includes(overflow)) {
      throw new TypeError(`messages(): overflow must be "drop-oldest", "drop-newest" or "error"`);
    }
    const limit = Math.max(1, bufferSize);
    const queue = [];
    const takers = [];
    let failure = null;
    let ended = this._state === "closed";
    const client = this;
    const stopListening = () => {
      client._iterators.delete(iterator);
      if (signal) signal.removeEventListener("abort", onAbort);
    };
    const iterator = {
      dropped: 0,
      push(item) {
        if (takers.length) {
          takers.shift().resolve({ value: item, done: false });
          return;
        }
        if (queue.length < limit) {
          queue.push(item);
          return;
        }
        iterator.dropped++;
        if (overflow === "drop-oldest") {
          queue.shift();
          queue.push(item);
        } else if (overflow === "error") {
          failure = new LauncherError("overflow", `more than ${limit} frames were not read from messages()`);
          iterator.end();
        }
      },
      end() {
        ended = true;
        stopListening();
        for (const taker of takers.splice(0)) {
          if (failure && !queue.length) taker.reject(failure);
          else taker.resolve({ value: undefined, done: true });
        }
      },
    };
    const onAbort = () => iterator.end();
    if (!ended) {
      this._iterators.add(iterator);
      if (signal) {
        if (signal.aborted) iterator.end();
        else signal.addEventListener("abort", onAbort);
      }
    }
    return {
      get dropped() {
        return iterator.dropped;
      },
      next() {
        if (queue.length) return Promise.resolve({ value: queue.shift(), done: false });
        if (failure) {
          const error = failure;
          failure = null;
          return Promise.reject(error);
        }
        if (ended) return Promise.resolve({ value: undefined, done: true });
        const taker = deferred();
        takers.push(taker);
        return taker.promise;
      },
      return() {
        queue.length = 0;
        failure = null;
        iterator.end();
        return Promise.resolve({ value: undefined, done: true });
      },
      [Symbol.asyncIterator]() {
        return this;
      },
    };
  }
}

// `await using launcher = new LauncherClient()` where the language has it.
if (typeof Symbol.asyncDispose === "symbol") {
  LauncherClient.prototype[Symbol.asyncDispose] = async function asyncDispose() {
    this.dispose();
  };
}
if (typeof Symbol.dispose === "symbol") {
  LauncherClient.prototype[Symbol.dispose] = function dispose() {
    this.dispose();
  };
}

/** Makes a client and connects it; options as for LauncherClient and connect(). */
export async function connect(options = {}) {
  const { wait, signal, timeout, ...clientOptions } = options;
  const client = new LauncherClient(clientOptions);
  await client.connect({ wait, signal, timeout });
  return client;
}
