// The declarations (client/launcher-client.d.ts) as a page uses them,
// compiled with tsc --strict by the "client_types" test: each call here is one
// the library takes, each @ts-expect-error one it refuses.
import {
  connect, LauncherClient, LauncherError, NOT_FOUND_MESSAGE, type LauncherErrorCode, type PortAttempt,
} from "../../client/launcher-client.js";

async function page(): Promise<void> {
  const launcher = new LauncherClient({
    reconnect: true, retryInterval: 500, maxRetryInterval: 10000, maxRetries: Infinity, reload: true,
    replyTimeout: 5000, installTimeout: 30000, minVersion: "1.1", requestKey: "rid",
    accept: (hello, port) => hello.version !== "" && port !== 11655, maxMessageBytes: 1 << 20,
  });
  const info = await launcher.connect({ wait: true, signal: AbortSignal.timeout(60000), timeout: 0 });
  const port: number | null = info.port;
  launcher.addEventListener("open", (event) => {
    const names: string[] = event.reloaded;
    for (const { module, error } of event.failed) console.log(module, error.code, names);
  });
  launcher.addEventListener("progress", ({ size, total }) => console.log(total > 0 ? size / total : size));
  launcher.addEventListener("close", (event) => console.log(event.code, event.byPage));

  await launcher.load(); // the launcher answers result 1
  const outcome = await launcher.load("sysinfo", {
    signal: new AbortController().signal, timeout: 120000, onProgress: (p) => console.log(p.module, p.size, p.total),
  });
  const results: number[] = outcome.results;
  await launcher.hello({ timeout: 1000 });
  await launcher.refreshCatalogue({ signal: AbortSignal.timeout(5000) });
  const reply = await launcher.request<{ facts: string[] }>("sysinfo", { op: "facts" }, { timeout: Infinity });
  const facts: string[] = reply.facts;
  launcher.send("sysinfo", { op: "facts" });

  const frames = launcher.messages({ bufferSize: 100, overflow: "drop-oldest", signal: AbortSignal.timeout(1000) });
  for await (const frame of frames) console.log(frame.text, frame.data, frames.dropped);

  try {
    await connect({ ports: [11651], wait: false, handshakeTimeout: 500 });
  } catch (error) {
    if (error instanceof LauncherError) {
      const code: LauncherErrorCode = error.code;
      const attempts: PortAttempt[] | undefined = error.attempts;
      console.log(code, attempts?.map((a) => `${a.port}: ${a.outcome}`), error.closeCode, NOT_FOUND_MESSAGE);
    }
  }
  const made = new LauncherError("timeout", "made by the page", { module: "sysinfo", closeCode: 4000 });
  console.log(made.module, port, results, facts);

  {
    await using disposable = new LauncherClient();
    await disposable.connect();
  }
  launcher.dispose();

  // @ts-expect-error not an error code
  new LauncherError("gone", "x");
  // @ts-expect-error a module name is a string
  await launcher.load(6);
  // @ts-expect-error not an overflow policy
  launcher.messages({ overflow: "block" });
  // @ts-expect-error a request is an object
  await launcher.request("sysinfo", "facts");
  // @ts-expect-error accept() decides at once
  new LauncherClient({ accept: async () => true });
  launcher.addEventListener("open", (event) => {
    // @ts-expect-error "open" carries no size
    console.log(event.size);
  });
}

void page;
