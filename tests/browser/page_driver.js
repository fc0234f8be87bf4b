// Holds one headless Chromium page for the Python browser tests
// (test_client.py) and runs their commands in it, one JSON line each:
//
//   node page_driver.js --root ROOT.pem
//
// stdin:  {"op": "goto", "url": U} | {"op": "eval", "expr": E} | {"op": "problems"}
// stdout: "READY" once Chromium runs, then one {"ok": value} or
//         {"error": text} line per command, in order. "eval" evaluates the
//         expression in the page and awaits it when it is a promise.
"use strict";

const readline = require("node:readline");
const { openBrowser } = require("./chromium.js");

// A failed connection to a port with no launcher is what some tests are about.
const EXPECTED_CONSOLE = [/^WebSocket connection to 'wss:\/\/127\.0\.0\.1:1165\d\/' failed/];

async function main() {
  const rootIndex = process.argv.indexOf("--root");
  if (rootIndex < 0) throw new Error("--root is required");
  const { page, problems, close } = await openBrowser(process.argv[rootIndex + 1],
    { ignoreConsole: EXPECTED_CONSOLE });
  const consoleLines = [];
  page.on("console", (message) => consoleLines.push(`${message.type()}: ${message.text()}`));
  const write = (reply) => process.stdout.write(JSON.stringify(reply) + "\n");
  write("READY");
  const lines = readline.createInterface({ input: process.stdin });
  for await (const line of lines) {
    let command;
    try {
      command = JSON.parse(line);
      if (command.op === "goto") {
        problems.length = 0;
        consoleLines.length = 0;
        await page.goto(command.url);
        write({ ok: null });
      } else if (command.op === "eval") {
        write({ ok: (await page.evaluate(command.expr)) ?? null });
      } else if (command.op === "problems") {
        write({ ok: { problems, console: consoleLines } });
      } else {
        write({ error: `unknown op ${command.op}` });
      }
    } catch (error) {
      write({ error: String(error && error.message || error) });
    }
  }
  await close();
}

main().catch((error) => {
  process.stderr.write(`page_driver: ${error.stack || error}\n`);
  process.exit(1);
});
