// Demo page for the launcher: finds it on the first answering port of
// 11651..11655 (or ?port=N), greets it, loads a module and talks to it.
"use strict";

const PORTS = [11651, 11652, 11653, 11654, 11655];
const LOAD_MEANINGS = {
  0: "registered",
  1: "no module named",
  2: "library missing; installing",
  3: "library version differs; installing",
  4: "library digest differs; installing",
  5: "registration failed",
  6: "not in the catalogue",
};
const REGISTRATION_ERRORS = { 1: "library failed to load", 2: "no registerHandler export", 3: "registerHandler returned no table" };
const READY = { 1: "loaded", 0: "being fetched", "-1": "not available" };

const $ = (id) => document.getElementById(id);
let socket = null;
let moduleName = "";
let reloadPending = false; // LOAD once more after the install's final message
let pushCount = 0;

function log(text, kind) {
  const line = document.createElement("div");
  line.className = kind;
  line.textContent = text;
  const box = $("log");
  box.appendChild(line);
  while (box.childNodes.length > 1000) box.removeChild(box.firstChild);
  box.scrollTop = box.scrollHeight;
}

function send(message) {
  if (!socket || socket.readyState !== WebSocket.OPEN) {
    log("not connected", "note");
    return;
  }
  const text = JSON.stringify(message);
  log("→ " + text, "sent");
  socket.send(text);
}

function setConnected(connected) {
  for (const id of ["hello-button", "retry-button", "load-button"]) $(id).disabled = !connected;
  if (!connected) $("send-button").disabled = true;
}

// Resolves with an open socket that answered HELLO, or null.
function tryPort(port) {
  return new Promise((resolve) => {
    let settled = false;
    const ws = new WebSocket(`wss://127.0.0.1:${port}/`);
    const finish = (result) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      ws.onopen = ws.onerror = ws.onclose = ws.onmessage = null;
      if (!result) ws.close();
      resolve(result);
    };
    const timer = setTimeout(() => finish(null), 3000);
    ws.onopen = () => ws.send(JSON.stringify({ request: { act: "HELLO" } }));
    ws.onmessage = (event) => {
      let message;
      try { message = JSON.parse(event.data); } catch (e) { return; }
      if (message && message.act === "HELLO") finish({ ws, hello: message });
    };
    ws.onerror = () => finish(null);
    ws.onclose = () => finish(null);
  });
}

async function connect() {
  const pinned = Number(new URLSearchParams(location.search).get("port"));
  const ports = pinned ? [pinned] : PORTS;
  for (const port of ports) {
    $("status").textContent = `trying port ${port}…`;
    const found = await tryPort(port);
    if (!found) continue;
    socket = found.ws;
    socket.onmessage = (event) => receive(event.data);
    socket.onclose = () => {
      socket = null;
      setConnected(false);
      $("status").textContent = "disconnected";
      log("connection closed; trying again shortly", "note");
      setTimeout(connect, 3000);
    };
    $("status").textContent = `connected on port ${port}`;
    $("status").dataset.port = String(port);
    log(`connected to wss://127.0.0.1:${port}/`, "note");
    setConnected(true);
    log("→ " + JSON.stringify({ request: { act: "HELLO" } }), "sent");
    receive(JSON.stringify(found.hello));
    return;
  }
  $("status").textContent = "no launcher found; retrying";
  setTimeout(connect, 3000);
}

function receive(text) {
  let message;
  try {
    message = JSON.parse(text);
  } catch (e) {
    log("← (not JSON) " + text, "recv");
    return;
  }
  const compact = JSON.stringify(message);
  if (message && typeof message === "object" && "act" in message) {
    log("← " + compact, "recv");
    if (message.act === "HELLO") onHello(message);
    else if (message.act === "LOAD") onLoad(message);
  } else if (message && typeof message === "object" && "clock" in message) {
    log("← " + compact, "push");
    pushCount++;
    $("push-count").textContent = String(pushCount);
    $("push-last").textContent = compact;
  } else {
    log("← " + compact, "recv");
    $("reply").textContent = compact;
  }
}

let helloTimer = null;
function onHello(message) {
  $("version").textContent = message.version === "" ? "(none)" : String(message.version);
  $("ready").textContent = `${message.ready} (${READY[message.ready] || "?"})`;
  $("ready").dataset.ready = String(message.ready);
  // While the catalogue is on its way, ask again until it has settled.
  clearTimeout(helloTimer);
  if (message.ready === 0) helloTimer = setTimeout(() => send({ request: { act: "HELLO" } }), 1000);
}

function onLoad(message) {
  if ("size" in message) {
    const size = Number(message.size), total = Number(message.total);
    $("progress").max = total > 0 ? total : 1;
    $("progress").value = total > 0 ? size : 0;
    $("progress-text").textContent = total > 0 ? `${size} / ${total} bytes` : `${size} bytes`;
    $("progress-text").dataset.size = String(size);
    $("progress-text").dataset.total = String(total);
    return;
  }
  if (message.result === 2 && "error" in message) {
    $("install-error").textContent = String(message.error);
    if (message.error === 0) {
      $("module-state").textContent = "installed";
      if (reloadPending) {
        reloadPending = false;
        send({ request: { act: "LOAD", module: moduleName } });
      }
    } else {
      $("module-state").textContent = "install failed";
    }
    return;
  }
  const meaning = LOAD_MEANINGS[message.result] || "unknown";
  $("load-result").textContent = `${message.result} (${meaning})`;
  $("load-result").dataset.result = String(message.result);
  if (message.result === 0) {
    $("module-state").textContent = "registered";
    $("send-button").disabled = false;
  } else if (message.result >= 2 && message.result <= 4) {
    $("module-state").textContent = "installing";
  } else if (message.result === 5) {
    $("module-state").textContent = "registration failed: " + (REGISTRATION_ERRORS[message.error] || message.error);
  } else {
    $("module-state").textContent = meaning;
  }
}

$("hello-button").onclick = () => send({ request: { act: "HELLO" } });
$("retry-button").onclick = () => send({ request: { act: "INITMC" } });
$("load-button").onclick = () => {
  moduleName = $("module-name").value.trim();
  reloadPending = true;
  $("progress").value = 0;
  $("progress-text").textContent = "–";
  $("install-error").textContent = "–";
  send({ request: { act: "LOAD", module: moduleName } });
};
$("preset-facts").onclick = () => { $("request-input").value = '{"op":"facts"}'; };
$("preset-echo").onclick = () => { $("request-input").value = '{"op":"echo","text":"hello from the page"}'; };
$("send-button").onclick = () => {
  let request;
  try {
    request = JSON.parse($("request-input").value);
  } catch (e) {
    log("the request is not JSON: " + e.message, "note");
    return;
  }
  send({ target: moduleName || $("module-name").value.trim(), request });
};

connect();
