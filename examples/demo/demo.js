// Demo page for the launcher, built on the page library (client/): finds the
// launcher on the first answering port of 11651..11655 (or ?port=N), greets
// it, loads a module with its install progress and talks to it. The log shows
// every frame, through the library's trace hook.
import { LauncherClient, LOAD_RESULTS, PORTS } from "./launcher-client.js";

const READY = { ready: "loaded", fetching: "being fetched", unavailable: "not available" };

const $ = (id) => document.getElementById(id);
let moduleName = "";
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

// Frames as JSON in one line each; pushed messages (with "clock") in grey.
function trace(direction, text) {
  let compact = text;
  let message;
  try {
    message = JSON.parse(text);
    compact = JSON.stringify(message);
  } catch (e) {
    if (direction === "received") compact = "(not JSON) " + text;
  }
  if (direction === "sent") log("→ " + compact, "sent");
  else log("← " + compact, message && typeof message === "object" && "clock" in message ? "push" : "recv");
}

const pinned = Number(new URLSearchParams(location.search).get("port"));
const launcher = new LauncherClient({ ports: pinned ? [pinned] : PORTS, reconnect: true, trace });

function setConnected(connected) {
  for (const id of ["hello-button", "retry-button", "load-button"]) $(id).disabled = !connected;
  if (!connected) $("send-button").disabled = true;
}

function showHello() {
  $("version").textContent = launcher.version === "" ? "(none)" : String(launcher.version ?? "–");
  $("ready").textContent = launcher.readyCode === null ? "–"
    : `${launcher.readyCode} (${READY[launcher.ready] || "?"})`;
  $("ready").dataset.ready = String(launcher.readyCode);
}

launcher.addEventListener("open", (event) => {
  $("status").textContent = `connected on port ${event.port}`;
  $("status").dataset.port = String(event.port);
  log(`connected to wss://127.0.0.1:${event.port}/`, "note");
  // A new launcher knows no module of this page: the client loaded them again.
  if (event.reloaded.length) log(`loaded again: ${event.reloaded.join(", ")}`, "note");
  for (const { module, error } of event.failed) log(`${module} did not load again: ${error.message}`, "note");
  setConnected(true);
  showHello();
});
launcher.addEventListener("ready", showHello);
launcher.addEventListener("close", () => {
  setConnected(false);
  $("status").textContent = "disconnected; looking for the launcher again";
  log("connection closed; trying again shortly", "note");
  showHello();
});
launcher.addEventListener("message", (event) => {
  const data = event.data;
  if (data && typeof data === "object" && "clock" in data) {
    pushCount++;
    $("push-count").textContent = String(pushCount);
    $("push-last").textContent = JSON.stringify(data);
  } else {
    $("reply").textContent = data === undefined ? event.text : JSON.stringify(data);
  }
});

function showProgress({ size, total }) {
  $("module-state").textContent = "installing";
  $("progress").max = total > 0 ? total : 1;
  $("progress").value = total > 0 ? size : 0;
  $("progress-text").textContent = total > 0 ? `${size} / ${total} bytes` : `${size} bytes`;
  $("progress-text").dataset.size = String(size);
  $("progress-text").dataset.total = String(total);
}

function showResult(result) {
  $("load-result").textContent = `${result} (${LOAD_RESULTS[result] || "unknown"})`;
  $("load-result").dataset.result = String(result);
}

async function load() {
  moduleName = $("module-name").value.trim();
  $("progress").value = 0;
  $("progress-text").textContent = "–";
  $("install-error").textContent = "–";
  $("module-state").textContent = "loading";
  try {
    const outcome = await launcher.load(moduleName, { onProgress: showProgress });
    showResult(outcome.results[outcome.results.length - 1]);
    if (outcome.installs > 0) $("install-error").textContent = "0";
    $("module-state").textContent = "registered";
    $("send-button").disabled = false;
  } catch (error) {
    if (error.result !== undefined) showResult(error.result);
    if (error.installError !== undefined) $("install-error").textContent = String(error.installError);
    $("module-state").textContent = "failed: " + error.message;
    log(error.message, "note");
  }
}

async function refresh() {
  try {
    await launcher.refreshCatalogue();
  } catch (error) {
    log(error.message, "note");
  }
}

$("hello-button").onclick = () => launcher.hello().catch((error) => log(error.message, "note"));
$("retry-button").onclick = refresh;
$("load-button").onclick = load;
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
  try {
    launcher.send(moduleName || $("module-name").value.trim(), request);
  } catch (error) {
    log(error.message, "note");
  }
};

$("status").textContent = `looking for the launcher on port${pinned ? " " + pinned : "s 11651–11655"}…`;
// One round first, to say why nothing answers; then keep looking.
launcher.connect().catch((error) => {
  if (error.code !== "not-found") throw error;
  $("status").textContent = "no launcher found; retrying";
  log(error.message, "note");
  return launcher.connect({ wait: true });
}).catch((error) => log(error.message, "note"));
