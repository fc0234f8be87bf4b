// The page library's bookkeeping against a scripted launcher, for the orders
// of frames the real one produces only by chance: install messages before
// LOAD's answer, loads of different modules at once, ports that open but do
// not answer, replies that never come, floods. Run by test_client.py:
// node --test client_logic.test.mjs
import assert from "node:assert/strict";
import { getEventListeners } from "node:events";
import { test } from "node:test";
import v8 from "node:v8";
import vm from "node:vm";
import { LauncherClient } from "../../client/launcher-client.js";

v8.setFlagsFromString("--expose-gc");
const gc = vm.runInNewContext("gc");
const tick = () => new Promise((resolve) => setTimeout(resolve, 0));
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const LIMIT = { timeout: 5000 }; // a hang fails the case instead of the run

// A WebSocket whose far end is a function of the port: "refuse", "silent"
// (opens, never answers), "close" (opens, then closes) or a launcher:
// (socket, envelope) => replies.
class ScriptedSocket {
  static ends = new Map();
  static opened = [];
  static made = null; // sees each new socket
  constructor(url) {
    this.port = Number(new URL(url).port);
    this.sent = [];
    ScriptedSocket.opened.push(this.port);
    ScriptedSocket.made?.(this);
    const end = ScriptedSocket.ends.get(this.port) || "refuse";
    setTimeout(() => {
      if (end === "refuse") {
        this.onerror?.({});
        this.onclose?.({ code: 1006, reason: "" });
        return;
      }
      this.end = end;
      this.onopen?.({});
      if (end === "close") this.drop(1006);
    }, 1);
  }
  send(text) {
    this.sent.push(JSON.parse(text));
    if (typeof this.end === "function") {
      for (const reply of this.end(this, JSON.parse(text)) || []) this.push(reply);
    }
  }
  push(message, delay = 1) {
    setTimeout(() => this.deliver(message), delay);
  }
  deliver(message) {
    this.onmessage?.({ data: typeof message === "string" ? message : JSON.stringify(message) });
  }
  drop(code) {
    this.onclose?.({ code, reason: "" });
  }
  close() {
    setTimeout(() => this.onclose?.({ code: 1000, reason: "" }), 1);
  }
}
globalThis.WebSocket = ScriptedSocket;

function hello(socket, envelope, version = "1.0.0") {
  if (envelope.request?.act === "HELLO") return [{ act: "HELLO", ready: 1, version }];
  return null;
}

// A launcher that registers every module at once and whose module "echo"
// answers with the request; `last` is the socket of the newest connection.
function launcher(onLoad) {
  const end = (socket, envelope) => {
    end.last = socket;
    if (envelope.target === "echo") return [envelope.request];
    if (envelope.request?.act !== "LOAD") return hello(socket, envelope);
    return onLoad ? onLoad(envelope.request.module, socket) : [{ act: "LOAD", result: 0 }];
  };
  return end;
}

test("the first port that answers HELLO is kept, in order", LIMIT, async () => {
  ScriptedSocket.ends = new Map([[11651, "refuse"], [11652, "silent"], [11653, hello], [11654, hello]]);
  ScriptedSocket.opened = [];
  const client = new LauncherClient({ handshakeTimeout: 50 });
  const info = await client.connect();
  assert.equal(info.port, 11653);
  assert.deepEqual(ScriptedSocket.opened, [11651, 11652, 11653]);
  client.close();
});

test("install messages before LOAD's answer, and loads of two modules at once", LIMIT, async () => {
  let socket;
  const loads = [];
  ScriptedSocket.ends = new Map([[11651, (s, envelope) => {
    socket = s;
    const request = envelope.request;
    if (request?.act === "LOAD") loads.push(request.module);
    return hello(s, envelope);
  }]]);
  const client = new LauncherClient();
  await client.connect();
  const frames = [];
  client.addEventListener("message", (event) => frames.push(event.data));
  const progressA = [];
  const progressB = [];
  const a = client.load("a", { onProgress: (p) => progressA.push(p) });
  const b = client.load("b", { onProgress: (p) => progressB.push(p) });
  await tick();
  await tick();
  // b waits for a: install messages do not say whose they are.
  assert.deepEqual(loads, ["a"]);
  // a's install ends before its answer arrives (a quick tick can do that).
  socket.push({ act: "LOAD", result: 2, size: 5, total: 10 });
  socket.push({ act: "LOAD", result: 2, error: 0 });
  socket.push({ act: "LOAD", result: 2 });
  await new Promise((resolve) => setTimeout(resolve, 20));
  assert.deepEqual(loads, ["a", "a"]);
  socket.push({ act: "LOAD", result: 0 });
  assert.deepEqual(await a, { module: "a", installs: 1, results: [2, 0] });
  assert.deepEqual(progressA, [{ module: "a", size: 5, total: 10 }]);
  await tick();
  await tick();
  assert.deepEqual(loads, ["a", "a", "b"]);
  socket.push({ act: "LOAD", result: 6 });
  await assert.rejects(b, { code: "load-failed", result: 6, module: "b" });
  assert.deepEqual(progressB, []);
  // A frame shaped like an answer that nobody awaits is a module's.
  socket.push({ act: "LOAD", result: 0 });
  await new Promise((resolve) => setTimeout(resolve, 20));
  assert.deepEqual(frames, [{ act: "LOAD", result: 0 }]);
  client.close();
});

test("a module that stays stale is given up after its last install has ended", async () => {
  const answered = new Map();
  ScriptedSocket.ends = new Map([[11651, (s, envelope) => {
    const request = envelope.request;
    if (request?.act !== "LOAD") return hello(s, envelope);
    const count = (answered.get(request.module) || 0) + 1;
    answered.set(request.module, count);
    if (request.module === "stale") {
      // Each answer starts an install; the last one ends late.
      s.push({ act: "LOAD", result: 2, error: 0 }, count === 3 ? 40 : 5);
      return [{ act: "LOAD", result: 3 }];
    }
    if (count === 1) {
      s.push({ act: "LOAD", result: 2, error: 4 }, 80); // after stale's late one
      return [{ act: "LOAD", result: 2 }];
    }
    return [{ act: "LOAD", result: 0 }];
  }]]);
  const client = new LauncherClient({ maxInstalls: 2 });
  await client.connect();
  const stale = client.load("stale");
  const other = client.load("other");
  await assert.rejects(stale, (error) => {
    assert.equal(error.code, "load-failed");
    assert.equal(error.result, 3);
    assert.match(error.message, /after 2 successful install/);
    return true;
  });
  assert.equal(answered.get("stale"), 3);
  // The late final message of stale's last install is not taken for other's.
  await assert.rejects(other, { code: "load-failed", result: 2, installError: 4 });
  client.close();
});

test("a load waits while the catalogue is being fetched", async () => {
  let fetched = false;
  const sent = [];
  ScriptedSocket.ends = new Map([[11651, (s, envelope) => {
    sent.push(envelope.request.act);
    if (envelope.request.act === "HELLO") return [{ act: "HELLO", ready: fetched ? 1 : 0, version: "1.0.0" }];
    return [{ act: "LOAD", result: 0 }];
  }]]);
  const client = new LauncherClient({ helloInterval: 10 });
  const states = [];
  client.addEventListener("ready", (event) => states.push(event.ready));
  assert.equal((await client.connect()).ready, "fetching");
  const load = client.load("m");
  await new Promise((resolve) => setTimeout(resolve, 50));
  assert.ok(!sent.includes("LOAD") && sent.filter((act) => act === "HELLO").length > 2, sent.join());
  fetched = true;
  assert.deepEqual(await load, { module: "m", installs: 0, results: [0] });
  assert.deepEqual(states, ["fetching", "ready"]);
  client.close();
});

test("waiting for a launcher keeps neither the failed sockets nor the signal's listener", LIMIT, async () => {
  ScriptedSocket.ends = new Map();
  const sockets = [];
  ScriptedSocket.made = (socket) => sockets.push(new WeakRef(socket));
  const controller = new AbortController();
  const client = new LauncherClient({ ports: [11651, 11652], retryInterval: 2, maxRetryInterval: 2 });
  const connecting = client.connect({ wait: true, signal: controller.signal });
  await sleep(80);
  gc();
  await tick();
  gc();
  const alive = sockets.filter((ref) => ref.deref()).length;
  assert.ok(sockets.length > 10 && alive <= 2, `${alive} of ${sockets.length} refused sockets still held`);
  ScriptedSocket.made = null;
  ScriptedSocket.ends.set(11652, hello);
  assert.equal((await connecting).port, 11652);
  assert.equal(getEventListeners(controller.signal, "abort").length, 0);
  client.close();
});

test("close() in a close listener stops reconnecting; connect() right after close() starts afresh", LIMIT, async () => {
  const end = launcher();
  ScriptedSocket.ends = new Map([[11651, end]]);
  const client = new LauncherClient({ ports: [11651], reconnect: true, retryInterval: 1 });
  await client.connect();
  client.addEventListener("close", () => client.close(), { once: true });
  ScriptedSocket.opened = [];
  end.last.drop(1006);
  await sleep(30);
  assert.deepEqual(ScriptedSocket.opened, []);
  assert.equal(client.state, "closed");

  const dying = client.connect();
  client.close();
  const fresh = client.connect();
  await assert.rejects(dying, { code: "closed" });
  assert.equal((await fresh).port, 11651);
  client.close();
});

test("a reply that never comes drops the connection; a caller's signal or time-out ends only its wait", LIMIT, async () => {
  const end = launcher((name) => (name === "slow" ? [] : [{ act: "LOAD", result: 0 }]));
  ScriptedSocket.ends = new Map([[11651, end]]);
  const client = new LauncherClient({ replyTimeout: 40 });
  await client.connect();
  const closes = [];
  client.addEventListener("close", (event) => closes.push(event.code));

  await assert.rejects(client.hello({ signal: AbortSignal.abort() }), { code: "aborted" });
  await assert.rejects(client.load("slow", { timeout: 5 }), { code: "timeout", message: /within 5 ms/ });
  assert.equal(client.state, "open");
  const next = client.load("m"); // behind the slow one
  await assert.rejects(client.load("slow"), { code: "timeout", message: /did not answer LOAD within 40 ms/ });
  await assert.rejects(next, { code: "closed", closeCode: 4000 });
  assert.deepEqual(closes, [4000]);
  assert.equal(client.state, "closed");
});

test("request() matches its own correlation member only, and keeps the caller's id", LIMIT, async () => {
  const end = launcher();
  ScriptedSocket.ends = new Map([[11651, end]]);
  const client = new LauncherClient();
  await client.connect();
  const frames = [];
  client.addEventListener("message", (event) => frames.push(event.data));

  const reply = client.request("echo", { id: 1, a: 2 });
  end.last.deliver({ id: 1 }); // a module's push that happens to carry a small id, before the reply
  const answer = await reply;
  assert.equal(answer.id, 1);
  assert.equal(answer.a, 2);
  assert.match(answer.$rid, /^[0-9a-f]{16}-\d+$/);
  assert.deepEqual(frames, [{ id: 1 }]);

  await assert.rejects(client.request("echo", { $rid: "mine" }), TypeError);
  const controller = new AbortController();
  const unlimited = [Infinity, 0].map((timeout) => client.request("mute", {}, { timeout, signal: controller.signal }));
  await sleep(20);
  controller.abort();
  for (const pending of unlimited) await assert.rejects(pending, { code: "aborted" });
  assert.equal(client._requests.size, 0);
  client.close();
});

test("the error names the ports tried and what each did; accept() and minVersion choose the launcher", LIMIT, async () => {
  ScriptedSocket.ends = new Map([[11701, "silent"], [11702, "close"]]);
  const error = await new LauncherClient({ ports: [11700, 11701, 11702], handshakeTimeout: 20 }).connect()
    .catch((e) => e);
  assert.equal(error.code, "not-found");
  assert.match(error.message, /ports 11700 to 11702\b/);
  assert.doesNotMatch(error.message, /11651/);
  assert.match(error.message, /allow-list/);
  assert.deepEqual(error.attempts, [{ port: 11700, outcome: "refused" }, { port: 11701, outcome: "silent" },
    { port: 11702, outcome: "closed" }]);

  ScriptedSocket.ends = new Map([[11651, (s, e) => hello(s, e, "0.9.9")], [11652, (s, e) => hello(s, e, "1.2.0")],
    [11653, (s, e) => hello(s, e, "1.10.0")]]);
  const seen = [];
  const accept = (info, port) => seen.push([info.version, port]) && port !== 11652;
  const client = new LauncherClient({ minVersion: "1.1", accept });
  assert.equal((await client.connect()).port, 11653);
  assert.deepEqual(seen, [["1.2.0", 11652], ["1.10.0", 11653]]);
  client.close();
  await assert.rejects(new LauncherClient({ ports: [11651, 11652], minVersion: "2" }).connect(),
    { code: "outdated", attempts: [{ port: 11651, outcome: "outdated", version: "0.9.9" },
      { port: 11652, outcome: "outdated", version: "1.2.0" }] });
});

test("floods: a bounded iterator that outlives a reconnection, and one progress report per tick", LIMIT, async () => {
  const loads = new Map();
  const end = launcher((name, socket) => {
    loads.set(name, (loads.get(name) || 0) + 1);
    if (name !== "big" || loads.get(name) > 1) return [{ act: "LOAD", result: 0 }];
    // The whole install in one burst, as a fast disk gives it.
    setTimeout(() => {
      socket.deliver({ act: "LOAD", result: 2 });
      for (let size = 1; size <= 50; size++) socket.deliver({ act: "LOAD", result: 2, size, total: 50 });
      socket.deliver({ act: "LOAD", result: 2, error: 0 });
    }, 1);
    return [];
  });
  ScriptedSocket.ends = new Map([[11651, end]]);
  const client = new LauncherClient({ reconnect: true, retryInterval: 1 });
  await client.connect();
  const progress = [];
  await client.load("big", { onProgress: (p) => progress.push(p.size) });
  assert.ok(progress.length < 5 && progress.at(-1) === 50, progress.join());

  const frames = client.messages({ bufferSize: 3 });
  for (let n = 0; n < 10; n++) end.last.deliver({ n });
  assert.equal(frames.dropped, 7);
  for (const n of [7, 8, 9]) assert.deepEqual((await frames.next()).value.data, { n });
  const next = frames.next();
  end.last.drop(1006);
  await new Promise((resolve) => client.addEventListener("open", resolve, { once: true }));
  end.last.push({ n: "after" });
  assert.deepEqual((await next).value.data, { n: "after" });
  client.close();
  assert.deepEqual(await frames.next(), { value: undefined, done: true });
});

test("after a reconnection the page's modules are loaded again before open", LIMIT, async () => {
  const loads = [];
  const end = launcher((name) => {
    loads.push(name);
    return [{ act: "LOAD", result: name === "gone" && loads.length > 2 ? 6 : 0 }];
  });
  ScriptedSocket.ends = new Map([[11651, end]]);
  const client = new LauncherClient({ reconnect: true, retryInterval: 1 });
  const events = [];
  client.addEventListener("open", () => events.push("open"));
  client.addEventListener("ready", () => events.push("ready"));
  await client.connect();
  assert.deepEqual(events, ["open", "ready"]); // the page hears of the catalogue on an open connection
  await client.load("m");
  await client.load("gone");
  const opened = new Promise((resolve) => client.addEventListener("open", resolve, { once: true }));
  end.last.drop(1006);
  const event = await opened;
  assert.deepEqual(loads, ["m", "gone", "m", "gone"]);
  assert.deepEqual(event.reloaded, ["m"]);
  assert.deepEqual(event.failed.map((f) => [f.module, f.error.result]), [["gone", 6]]);
  client.close();
});

test("stray install messages are swallowed, over-size sends refused, and closed errors carry the code", LIMIT, async () => {
  const end = launcher(() => []);
  ScriptedSocket.ends = new Map([[11651, end]]);
  const client = new LauncherClient({ maxMessageBytes: 100 });
  await client.connect();
  const frames = [];
  client.addEventListener("message", (event) => frames.push(event.data));
  end.last.deliver({ act: "LOAD", result: 2, size: 1, total: 0 });
  end.last.deliver({ act: "LOAD", result: 2, error: 0 });
  assert.deepEqual(frames, []);

  assert.throws(() => client.send("m", "é".repeat(50)), { code: "too-large" });
  assert.ok(!end.last.sent.some((envelope) => envelope.target));
  const load = client.load("m");
  end.last.drop(1009);
  await assert.rejects(load, { code: "closed", closeCode: 1009, message: /code 1009/ });
});

test("connect() that ends while it loads the page's modules again leaves no connection open", LIMIT, async () => {
  let holding = null;
  const held = new Promise((resolve) => { holding = resolve; });
  let reconnected = false;
  const end = launcher((name, socket) => (reconnected ? (holding(socket), []) : [{ act: "LOAD", result: 0 }]));
  ScriptedSocket.ends = new Map([[11651, end]]);
  const client = new LauncherClient({ ports: [11651] });
  await client.connect();
  await client.load("m");
  client.close();
  reconnected = true;
  const controller = new AbortController();
  const connecting = client.connect({ signal: controller.signal });
  const socket = await held;
  controller.abort();
  socket.deliver({ act: "LOAD", result: 0 }); // the answer the abandoned connect() waited for
  await assert.rejects(connecting, { code: "aborted" });
  assert.equal(client.state, "closed");
  assert.equal(socket.onmessage, null);
});

test("a plain connect() behind a waiting one sees one round of ports; the wait goes on", LIMIT, async () => {
  ScriptedSocket.ends = new Map();
  const client = new LauncherClient({ ports: [11651, 11652], retryInterval: 60000, maxRetryInterval: 60000 });
  const waiting = client.connect({ wait: true });
  await assert.rejects(client.connect(), { code: "not-found",
    attempts: [{ port: 11651, outcome: "refused" }, { port: 11652, outcome: "refused" }] });
  // Asked during the wait between rounds, it does not sit out the backoff.
  ScriptedSocket.ends.set(11652, hello);
  assert.equal((await client.connect()).port, 11652);
  assert.equal((await waiting).port, 11652);
  client.close();
});
