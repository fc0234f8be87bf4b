// The page side of the launcher's protocol, for publishers' pages: finds the
// launcher on wss://127.0.0.1:11651..11655, greets it, follows the catalogue's
// state, runs LOAD's state machine (install, progress, final message, LOAD
// again), relays requests to modules and hands the page every other frame.
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

export const NOT_FOUND_MESSAGE =
  "No launcher answered on wss://127.0.0.1 ports 11651 to 11655. Either the launcher is not " +
  "running, or this browser does not trust its certificate: a page cannot tell these apart, " +
  "because the browser reports a refused connection and a rejected certificate to the page in " +
  "the same way (an error event, then close code 1006 with no reason), so that pages cannot " +
  "probe the network. Start the launcher; if it runs, open https://127.0.0.1:11651/ in a tab: " +
  "a certificate warning there means the browser does not trust the launcher's root certificate.";

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
      helloInterval: 1000,
      retryInterval: 3000,
      reconnect: false,
      maxInstalls: 2,
      trace: null,
      ...options,
    };
    this._socket = null;
    this._state = "closed";
    this._port = null;
    this._version = null;
    this._readyCode = null;
    this._connecting = null; // the promise of a connect() in progress
    this._stopWaiting = null; // ends connect({wait}) and reconnection
    this._generation = 0; // bumped by every close
    this._awaiting = { HELLO: [], INITMC: [], LOAD: [] }; // FIFO of deferreds per action
    this._loads = new Map(); // module name -> shared load operation
    this._loadChain = Promise.resolve(); // loads of different modules run one after another
    this._install = null; // the load operation whose install messages arrive now
    this._requests = new Map(); // id -> pending request()
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
   * Connects to the first port that completes a handshake and answers HELLO.
   * With { wait: true } keeps trying every retryInterval ms until a launcher
   * answers, close() is called or the signal aborts.
   */
  connect({ wait = false, signal } = {}) {
    if (this._state === "open") return Promise.resolve(this._helloInfo());
    if (this._connecting) return this._connecting;
    this._state = "connecting";
    const stop = deferred();
    let stopped = false;
    const stopWaiting = (error) => {
      stopped = true;
      stop.resolve(error);
    };
    this._stopWaiting = stopWaiting;
    if (signal) {
      const abort = () => stopWaiting(new LauncherError("aborted", "connect() was aborted"));
      if (signal.aborted) abort();
      else signal.addEventListener("abort", abort, { once: true });
    }
    const attempt = async () => {
      for (;;) {
        for (const port of this.options.ports) {
          if (stopped) break;
          const found = await this._tryPort(port, stop.promise);
          if (found) {
            if (stopped) {
              found.ws.close();
              break;
            }
            return this._adopt(found.ws, port, found.hello);
          }
        }
        if (stopped) throw await stop.promise;
        if (!wait) throw new LauncherError("not-found", NOT_FOUND_MESSAGE);
        const timer = deferred();
        const handle = setTimeout(timer.resolve, this.options.retryInterval);
        await Promise.race([timer.promise, stop.promise]);
        clearTimeout(handle);
        if (stopped) throw await stop.promise;
      }
    };
    this._connecting = attempt().then(
      (info) => {
        this._connecting = null;
        this._stopWaiting = null;
        return info;
      },
      (error) => {
        this._connecting = null;
        this._stopWaiting = null;
        if (this._state === "connecting") this._state = "closed";
        throw error;
      });
    return this._connecting;
  }

  // Resolves with { ws, hello } once the port answers HELLO, or null.
  _tryPort(port, stopped) {
    return new Promise((resolve) => {
      let ws;
      let done = false;
      const finish = (result) => {
        if (done) return;
        done = true;
        clearTimeout(timer);
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
      const timer = setTimeout(() => finish(null), this.options.handshakeTimeout);
      stopped.then(() => finish(null));
      try {
        ws = new WebSocket(`wss://127.0.0.1:${port}/`);
      } catch (e) {
        finish(null); // a page's Content-Security-Policy, for example
        return;
      }
      ws.onopen = () => {
        const text = JSON.stringify({ request: { act: "HELLO" } });
        this._trace("sent", text, port);
        ws.send(text);
      };
      ws.onmessage = (event) => {
        if (typeof event.data === "string") this._trace("received", event.data, port);
        const message = typeof event.data === "string" ? parse(event.data) : undefined;
        if (isObject(message) && message.act === "HELLO" && isHello(message)) finish({ ws, hello: message });
      };
      ws.onerror = () => finish(null);
      ws.onclose = () => finish(null);
    });
  }

  _adopt(ws, port, hello) {
    this._socket = ws;
    this._port = port;
    this._state = "open";
    ws.onmessage = (event) => {
      if (typeof event.data === "string") this._trace("received", event.data, port);
      this._receive(event.data);
    };
    ws.onclose = (event) => this._closed(event.code, event.reason, false);
    ws.onerror = null;
    this._version = hello.version;
    this._setReady(hello.ready);
    const info = this._helloInfo();
    this.dispatchEvent(new LauncherEvent("open", { port, version: this._version, ready: this.ready }));
    return info;
  }

  _helloInfo() {
    return { port: this._port, version: this._version, ready: this.ready, readyCode: this._readyCode };
  }

  /** Closes the connection (or stops connecting); everything pending is rejected. */
  close() {
    if (this._stopWaiting) this._stopWaiting(new LauncherError("closed", "close() was called while connecting"));
    if (this._socket) this._closed(1000, "closed by the page", true);
    else this._state = "closed";
  }

  _closed(code, reason, byPage) {
    const ws = this._socket;
    if (!ws) return;
    ws.onmessage = ws.onclose = ws.onerror = null;
    if (byPage) {
      try {
        ws.close(1000);
      } catch (e) { /* already closing */ }
    }
    this._socket = null;
    this._state = "closed";
    this._readyCode = null;
    this._generation++;
    clearTimeout(this._helloTimer);
    this._helloTimer = null;
    const error = new LauncherError("closed", byPage
      ? "the connection to the launcher was closed by the page"
      : `the connection to the launcher closed (code ${code}${reason ? ", " + reason : ""}); ` +
        "the launcher stopped, or dropped this page");
    for (const list of Object.values(this._awaiting)) list.splice(0).forEach((d) => d.reject(error));
    this._settled.splice(0).forEach((d) => d.reject(error));
    for (const operation of this._loads.values()) operation.fail(error);
    this._loads.clear();
    this._install = null;
    this._loadChain = Promise.resolve();
    for (const pending of this._requests.values()) {
      clearTimeout(pending.timer);
      pending.reject(error);
    }
    this._requests.clear();
    for (const iterator of this._iterators) iterator.end();
    this._iterators.clear();
    this.dispatchEvent(new LauncherEvent("close", { code, reason, byPage }));
    if (!byPage && this.options.reconnect) {
      this.connect({ wait: true }).catch(() => { /* close() during the wait */ });
    }
  }

  _send(envelope) {
    if (this._state !== "open") {
      throw new LauncherError("not-connected", "not connected to the launcher; call connect() first");
    }
    const text = JSON.stringify(envelope);
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
  // connection come in the order of its requests).
  _action(request) {
    const waiter = deferred();
    try {
      this._send({ request });
    } catch (error) {
      return Promise.reject(error);
    }
    this._awaiting[request.act].push(waiter);
    return waiter.promise;
  }

  _receive(text) {
    if (typeof text !== "string") return; // the launcher sends text frames only
    const message = parse(text);
    if (isObject(message) && ACTIONS.includes(message.act) && this._fromLauncher(message)) return;
    if (isObject(message) && "id" in message && this._requests.has(message.id)) {
      const pending = this._requests.get(message.id);
      this._requests.delete(message.id);
      clearTimeout(pending.timer);
      pending.resolve(message);
      return;
    }
    const fields = { text, data: message };
    this.dispatchEvent(new LauncherEvent("message", fields));
    for (const iterator of this._iterators) iterator.push(fields);
  }

  // Takes a launcher-shaped frame when one of that kind is awaited.
  _fromLauncher(message) {
    if (message.act === "LOAD" && (isProgress(message) || isFinal(message))) {
      if (!this._install) return false;
      this._install.installMessage(message);
      return true;
    }
    if (message.act === "HELLO" && !isHello(message)) return false;
    if (message.act === "LOAD" && !isLoadAnswer(message)) return false;
    if (message.act === "INITMC" && Object.keys(message).length !== 1) return false;
    const waiter = this._awaiting[message.act].shift();
    if (!waiter) return false;
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
        this.hello().catch(() => { /* closed meanwhile */ });
      }, this.options.helloInterval);
    } else {
      this._settled.splice(0).forEach((d) => d.resolve(this.ready));
    }
    if (changed) this.dispatchEvent(new LauncherEvent("ready", { ready: this.ready, readyCode: code }));
  }

  /** Sends HELLO; resolves with the launcher's version and the catalogue's state. */
  async hello() {
    await this._action({ act: "HELLO" });
    return this._helloInfo();
  }

  /** Resolves once the catalogue is no longer being fetched: "ready" or "unavailable". */
  catalogueSettled() {
    if (this._state !== "open") {
      return Promise.reject(new LauncherError("not-connected", "not connected to the launcher; call connect() first"));
    }
    if (this._readyCode !== 0) return Promise.resolve(this.ready);
    const waiter = deferred();
    this._settled.push(waiter);
    return waiter.promise;
  }

  /**
   * Asks the launcher to fetch its catalogue again (INITMC; it does so only
   * when it has none and no fetch runs) and resolves with the settled state.
   */
  async refreshCatalogue() {
    await this._action({ act: "INITMC" });
    await this.hello();
    return this.catalogueSettled();
  }

  /**
   * Resolves once the module is registered; installs it first when needed.
   * Loads of one name share one operation; loads of different names run one
   * after another, since the launcher's install messages do not name their
   * module.
   */
  load(name, { onProgress } = {}) {
    if (this._state !== "open") {
      return Promise.reject(new LauncherError("not-connected", "not connected to the launcher; call connect() first"));
    }
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
    const operation = {
      promise: done.promise,
      listeners: new Set(),
      finished: false,
      fail(error) {
        if (operation.finished) return;
        operation.finished = true;
        if (installing) installing.reject(error);
        done.reject(error);
      },
      installMessage(message) {
        if (!installing) {
          early.push(message);
          return;
        }
        if (isProgress(message)) {
          const progress = { module: name, size: message.size, total: message.total };
          for (const listener of operation.listeners) {
            try {
              listener(progress);
            } catch (e) {
              setTimeout(() => { throw e; }); // a page's bug must not stop the load
            }
          }
          client.dispatchEvent(new LauncherEvent("progress", progress));
        } else {
          installing.resolve(message.error);
        }
      },
      async run() {
        if (operation.finished || generation !== client._generation) return;
        try {
          if (client._readyCode === 0) await client.catalogueSettled();
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

  /** Sends a request to a module; its replies arrive as "message" events. */
  send(module, request) {
    if (typeof module !== "string") throw new TypeError("send(module, request): module must be a string");
    this._send({ target: module, request });
  }

  /**
   * For modules whose reply carries the request's "id": sends the request
   * with a fresh "id" and resolves with the first frame that carries it.
   * Rejects with code "timeout" when none arrives in time.
   */
  request(module, request, { timeout = 10000 } = {}) {
    if (!isObject(request)) {
      return Promise.reject(new TypeError("request(module, request): request must be a JSON object"));
    }
    const id = this._nextId++;
    const waiter = deferred();
    try {
      this.send(module, { ...request, id });
    } catch (error) {
      return Promise.reject(error);
    }
    const timer = setTimeout(() => {
      this._requests.delete(id);
      waiter.reject(new LauncherError("timeout", `no reply with "id" ${id} from ${describeName(module)} ` +
        `within ${timeout} ms: the module did not answer, or its replies do not carry the request's "id"`,
      { module }));
    }, timeout);
    this._requests.set(id, { resolve: waiter.resolve, reject: waiter.reject, timer });
    return waiter.promise;
  }

  /**
   * The frames that are not launcher replies, as an async iterator of
   * { text, data }; it ends when the connection closes.
   */
  messages() {
    const queue = [];
    const takers = [];
    let ended = this._state !== "open";
    const iterator = {
      push(item) {
        if (takers.length) takers.shift().resolve({ value: item, done: false });
        else queue.push(item);
      },
      end() {
        ended = true;
        takers.splice(0).forEach((t) => t.resolve({ value: undefined, done: true }));
      },
    };
    if (!ended) this._iterators.add(iterator);
    const client = this;
    return {
      next() {
        if (queue.length) return Promise.resolve({ value: queue.shift(), done: false });
        if (ended) return Promise.resolve({ value: undefined, done: true });
        const taker = deferred();
        takers.push(taker);
        return taker.promise;
      },
      return() {
        client._iterators.delete(iterator);
        iterator.end();
        queue.length = 0;
        return Promise.resolve({ value: undefined, done: true });
      },
      [Symbol.asyncIterator]() {
        return this;
      },
    };
  }
}

/** Makes a client and connects it; options as for LauncherClient and connect(). */
export async function connect(options = {}) {
  const { wait, signal, ...clientOptions } = options;
  const client = new LauncherClient(clientOptions);
  await client.connect({ wait, signal });
  return client;
}
