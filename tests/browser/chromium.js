// Debian's Chromium for the browser tests, trusting the build's root through
// a fresh NSS database (no certificate error is ignored). Shared by
// demo_test.js and page_driver.js.
"use strict";

const { chromium } = require("playwright-core");
const { execFileSync } = require("node:child_process");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");

// A HOME whose NSS database trusts the build's root as a CA for web sites.
function makeTrustingHome(rootPem) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), "launcher-browser-home-"));
  const db = path.join(home, ".pki", "nssdb");
  fs.mkdirSync(db, { recursive: true });
  execFileSync("certutil", ["-N", "-d", `sql:${db}`, "--empty-password"]);
  execFileSync("certutil", ["-A", "-d", `sql:${db}`, "-t", "C,,", "-n", "launcher-root", "-i", rootPem]);
  return home;
}

// Starts headless Chromium; resolves with { context, page, problems, close }.
// problems collects the page's uncaught errors and console errors that do
// not match one of the ignored patterns.
async function openBrowser(rootPem, { viewport, ignoreConsole = [] } = {}) {
  const home = makeTrustingHome(rootPem);
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "launcher-browser-profile-"));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium",
    headless: true,
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"],
    env: { ...process.env, HOME: home },
    viewport: viewport || { width: 1000, height: 1100 },
  });
  const page = context.pages()[0] || (await context.newPage());
  const problems = [];
  page.on("pageerror", (error) => problems.push(`page error: ${error.message}`));
  page.on("console", (message) => {
    if (message.type() !== "error") return;
    if (ignoreConsole.some((pattern) => pattern.test(message.text()))) return;
    problems.push(`console: ${message.text()}`);
  });
  const close = async () => {
    await context.close().catch(() => {});
    fs.rmSync(home, { recursive: true, force: true });
    fs.rmSync(profile, { recursive: true, force: true });
  };
  return { context, page, problems, close };
}

module.exports = { makeTrustingHome, openBrowser };
