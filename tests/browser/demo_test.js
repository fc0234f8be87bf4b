// Drives the demo page in Debian's Chromium against the real launcher and a
// local catalogue, trusting the build's root through a fresh NSS database
// (chromium.js: no certificate error is ignored), and checks the whole road of a module.
//
//   node demo_test.js --url PAGE_URL --root ROOT.pem --version V
//                     --package-size N [--screenshot FILE]
//
// Prints the page's log as the transcript; exits 1 on the first failed check.
"use strict";

const os = require("node:os");
const { openBrowser } = require("./chromium.js");

const STEP_TIMEOUT = 60000; // guards against hangs only

function parseArgs(argv) {
  const args = {};
  for (let i = 0; i < argv.length; i += 2) {
    if (!argv[i].startsWith("--") || i + 1 >= argv.length) throw new Error(`bad argument ${argv[i]}`);
    args[argv[i].slice(2)] = argv[i + 1];
  }
  for (const name of ["url", "root", "version", "package-size"]) {
    if (!(name in args)) throw new Error(`--${name} is required`);
  }
  return args;
}

function check(condition, what, detail) {
  if (!condition) throw new Error(`FAILED: ${what}${detail === undefined ? "" : ": " + detail}`);
  console.log(`ok   ${what}`);
}

// The page's log: sent lines start with "→ ", received with "← ".
async function logLines(page) {
  return page.$$eval("#log > div", (lines) => lines.map((line) => line.textContent));
}

function received(lines) {
  const messages = [];
  for (const line of lines) {
    if (!line.startsWith("← ")) continue;
    try {
      messages.push(JSON.parse(line.slice(2)));
    } catch (e) {
      messages.push({ unparsed: line });
    }
  }
  return messages;
}

async function run(args) {
  const { page, problems, close } = await openBrowser(args.root);
  page.setDefaultTimeout(STEP_TIMEOUT);

  let failure = null;
  try {
    await page.goto(args.url);
    await page.waitForFunction(() => document.getElementById("status").textContent.startsWith("connected"));
    console.log(`page ${args.url}: ${await page.textContent("#status")}`);

    // The page asks again while the catalogue is being fetched (ready 0).
    await page.waitForFunction(() => ["1", "-1"].includes(document.getElementById("ready").dataset.ready));
    check((await page.textContent("#version")) === args.version, `HELLO version is ${args.version}`,
      await page.textContent("#version"));
    check((await page.getAttribute("#ready", "data-ready")) === "1", "HELLO ready is 1",
      await page.textContent("#ready"));

    await page.click("#load-button");
    await page.waitForFunction(() => {
      const state = document.getElementById("module-state").textContent;
      return state === "registered" || state.includes("failed");
    });
    const loads = received(await logLines(page)).filter((m) => m.act === "LOAD");
    const answers = loads.filter((m) => !("size" in m) && !("error" in m));
    const progress = loads.filter((m) => "size" in m);
    const finals = loads.filter((m) => m.result === 2 && "error" in m && !("size" in m));
    check(answers.length >= 1 && answers[0].result === 2, "first LOAD answers 2", JSON.stringify(answers[0]));
    check(progress.length >= 1, "progress messages arrive", progress.length);
    const last = progress[progress.length - 1];
    const size = Number(args["package-size"]);
    check(last.size === last.total && last.total === size, `progress reaches the total of ${size} bytes`,
      JSON.stringify(last));
    check(progress.every((m, i) => i === 0 || m.size >= progress[i - 1].size), "progress never goes back");
    check(finals.length === 1 && finals[0].error === 0, "the install ends with error 0", JSON.stringify(finals));
    check(answers.length === 2 && answers[1].result === 0, "LOAD after the install answers 0",
      JSON.stringify(answers));
    check((await page.getAttribute("#progress", "value")) === String(size), "the progress bar is full");

    await page.fill("#request-input", '{"op":"facts"}');
    await page.click("#send-button");
    await page.waitForFunction(() => document.getElementById("reply").textContent.includes('"op":"facts"'));
    const facts = JSON.parse(await page.textContent("#reply"));
    check(typeof facts.host === "string" && facts.host.length > 0 && facts.os === os.type() &&
      facts.cpus >= 1 && facts.memory.total > 0 && facts.uptime >= 0, "facts reply describes the machine",
      JSON.stringify(facts));

    // Quotes, backslashes, control characters and non-ASCII must survive
    // the module's JSON reading and writing.
    const text = 'say "hi" \\ back\tslash\n ünï ✓ 😀';
    await page.fill("#request-input", JSON.stringify({ op: "echo", text, extra: [1, { a: null }] }));
    await page.click("#send-button");
    await page.waitForFunction(() => document.getElementById("reply").textContent.includes('"op":"echo"'));
    const echo = JSON.parse(await page.textContent("#reply"));
    check(echo.text === text, "echo reply returns the text unchanged", JSON.stringify(echo));

    await page.waitForFunction(() => Number(document.getElementById("push-count").textContent) >= 2);
    const pushed = JSON.parse(await page.textContent("#push-last"));
    check(/^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/.test(pushed.clock) && Array.isArray(pushed.load) &&
      pushed.tick >= 2, "pushed messages arrive", JSON.stringify(pushed));
    check(problems.length === 0, "no page errors", problems.join("; "));
  } catch (error) {
    failure = error;
  }

  console.log("--- page log ---");
  for (const line of await logLines(page).catch(() => [])) console.log(line);
  console.log("--- end of page log ---");
  if (args.screenshot) {
    await page.screenshot({ path: args.screenshot, fullPage: true }).catch((e) => console.log(`screenshot: ${e.message}`));
  }
  await close();
  if (failure) {
    if (problems.length) console.log(problems.join("\n"));
    throw failure;
  }
}

run(parseArgs(process.argv.slice(2))).then(
  () => console.log("browser road: passed"),
  (error) => {
    console.log(error.message);
    process.exit(1);
  });
