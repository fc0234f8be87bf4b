// The page library's bookkeeping against a scripted launcher, for the orders
// of frames the real one produces only by chance: install messages before
// LOAD's answer, loads of different modules at once, ports that open but do
// not answer. Run by test_client.py: node --test client_logic.test.mjs
import assert from "node:assert/strict";
import { test } from "node:test";
import { LauncherClient } from "../../client/launcher-client.js";

const tick = () => new Promise((resolve) => setTimeout(resolve, 0));

// A WebSocket whose far end is a function of the port: "refuse", "silent"
// (opens, never answers) or a launcher: (socket, request) => replies.
class ScriptedSocket {
  static ends = new Map();
  static opened = [];
  constructor(url) {
    this.port = Number(new URL(url).port);
    this.sent = [];
    ScriptedSocket.opened.push(this.port);
    const end = ScriptedSocket.ends.get(this.port) || "refuse";
    setTimeout(() => {
      if (end === "refuse") {
        this.onerror?.({});
        this.onclose?.({ code: 1006, reason: "" });
        return;
      }
      this.end = end;
      this.onopen?.({});
    }, 1);
  }
  send(text) {
    this.sent.push(JSON.parse(text));
    if (typeof this.end === "function") {
      for (const reply of this.end(this, JSON.parse(text)) || []) this.push(reply);
    }
  }
  push(message, delay = 1) {
    setTimeout(() => this.onmessage?.({ data: typeof message === "string" ? message : JSON.stringify(message) }), delay);
  }
  close() {
    setTimeout(() => this.onclose?.({ code: 1000, reason: "" }), 1);
  }
}
globalThis.WebSocket = ScriptedSocket;

function hello(socket, envelope) {
  if (envelope.request?.act === "HELLO") return [{ act: "HELLO", ready: 1, version: "1.0.0" }];
  return null;
}

test("the first port that answers HELLO is kept, in order", async () => {
  ScriptedSocket.ends = new Map([[11651, "refuse"], [11652, "silent"], [11653, hello], [11654, hello]]);
  ScriptedSocket.opened = [];
  const client = new LauncherClient({ handshakeTimeout: 50 });
  const info = await client.connect();
  assert.equal(info.port, 11653);
  assert.deepEqual(ScriptedSocket.opened, [11651, 11652, 11653]);
  client.close();
});

test("install messages before LOAD's answer, and loads of two modules at once", async () => {
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
