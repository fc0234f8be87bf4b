#!/usr/bin/python3
"""Round-trip latency of the real launcher over WSS.

bench/roundtrip.py BUILD_DIR [ROUNDS] [--hostile]: starts the build's test launcher from
a scratch copy (a Windows build under wine, in the prefix WINEPREFIX names,
with the loader LAUNCHER_WINE: /usr/lib/wine/wine for i686 builds, wine64
by default) with the test module echo installed and listed by a local
catalogue, sends HELLO and then a request relayed to echo ROUNDS times each, one after
another, and prints the median and 99th percentile of both, the time from
connect to first reply, and the launcher's resident memory idle and with 45
clients connected. With --hostile it measures HELLO and a pushed message's
delivery (request to push, which waits for a tick) twice: on the idle
launcher, then while 50 peers trickle TLS handshakes (a byte every 2 s,
reconnecting when let go) and one client floods requests and never reads; and
the same for a new client's connect, TLS handshake and first HELLO reply.
"""
import asyncio
import os
import ssl
import statistics
import sys
import socket
import struct
import tempfile
import threading
import time

import websockets

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests", "integration"))


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


async def hold_clients(root_pem, count, pid, origin):
    ctx = ssl.create_default_context(cafile=root_pem)
    clients = [await websockets.connect("wss://127.0.0.1:11651/", ssl=ctx, origin=origin)
               for _ in range(count)]
    await asyncio.sleep(0.5)
    rss = resident_kib(pid)
    for client in clients:
        await client.close()
    return rss


async def rounds_of(ws, message, rounds):
    times = []
    for _ in range(rounds):
        t = time.perf_counter()
        await ws.send(message)
        await ws.recv()
        times.append(time.perf_counter() - t)
    return sorted(times)


async def measure(root_pem, rounds, origin):
    ctx = ssl.create_default_context(cafile=root_pem)
    start = time.perf_counter()
    async with websockets.connect("wss://127.0.0.1:11651/", ssl=ctx, origin=origin) as ws:
        await ws.send('{"request":{"act":"HELLO"}}')
        await ws.recv()
        first = time.perf_counter() - start
        while '"ready" : 1' not in await ask(ws, '{"request":{"act":"HELLO"}}'):
            await asyncio.sleep(0.05)
        assert '"result" : 0' in await ask(ws, '{"request":{"act":"LOAD","module":"echo"}}')
        hello = await rounds_of(ws, '{"request":{"act":"HELLO"}}', rounds)
        relay = await rounds_of(ws, '{"target":"echo","request":{"n":1}}', rounds)
    return first, hello, relay


async def push_rounds(ws, rounds):
    times = []
    for n in range(rounds):
        t = time.perf_counter()
        await ws.send('{"target":"echo","request":"push:%d"}' % n)
        await ws.recv()
        assert await ws.recv() == str(n)
        times.append(time.perf_counter() - t)
    return sorted(times)


def trickle(stop):
    while not stop.is_set():
        try:
            with socket.create_connection(("127.0.0.1", 11651)) as peer:
                peer.sendall(b"\x16\x03\x01\x02\x00")
                while not stop.wait(2):
                    peer.sendall(b"\x00")
        except OSError:
            pass


def flood(harness, stop):
    raw = harness.RawWebSocket(11651)
    request = ('{"target":"echo","request":"push:%s"}' % ("x" * 60000)).encode()
    frame = struct.pack("!BBH", 0x81, 0xFE, len(request)) + b"\0\0\0\0" + request
    try:
        while not stop.is_set():
            raw.sock.sendall(frame)
    except OSError:
        pass


async def new_client_rounds(ctx, origin, rounds):
    """Connect, TLS handshake and the first HELLO's reply of new clients."""
    times = []
    for _ in range(rounds):
        t = time.perf_counter()
        async with websockets.connect("wss://127.0.0.1:11651/", ssl=ctx, origin=origin) as ws:
            await ask(ws, '{"request":{"act":"HELLO"}}')
            times.append(time.perf_counter() - t)
    return sorted(times)


async def hostile(harness, root_pem, rounds, origin):
    ctx = ssl.create_default_context(cafile=root_pem)
    async with websockets.connect("wss://127.0.0.1:11651/", ssl=ctx, origin=origin) as ws:
        assert '"result" : 0' in await ask(ws, '{"request":{"act":"LOAD","module":"echo"}}')
        idle = (await rounds_of(ws, '{"request":{"act":"HELLO"}}', rounds),
                await push_rounds(ws, rounds // 10),
                await new_client_rounds(ctx, origin, rounds // 100))
        stop = threading.Event()
        peers = [threading.Thread(target=flood, args=(harness, stop), daemon=True)]
        peers += [threading.Thread(target=trickle, args=(stop,), daemon=True) for _ in range(50)]
        for peer in peers:
            peer.start()
            time.sleep(0.01)
        await asyncio.sleep(3)
        try:
            busy = (await rounds_of(ws, '{"request":{"act":"HELLO"}}', rounds),
                    await push_rounds(ws, rounds // 10),
                    await new_client_rounds(ctx, origin, rounds // 100))
        finally:
            stop.set()
    return idle, busy


async def ask(ws, message):
    await ws.send(message)
    return await ws.recv()


def report(name, times):
    print(f"{name:<14} median {statistics.median(times) * 1e3:.3f} ms"
          f"  p99 {times[int(len(times) * 0.99)] * 1e3:.3f} ms  ({len(times)} rounds)")


def main():
    build = os.path.abspath(sys.argv[1])
    numbers = [a for a in sys.argv[2:] if not a.startswith("--")]
    rounds = int(numbers[0]) if numbers else 2000
    os.environ["LAUNCHER_BUILD_DIR"] = build
    import conftest as harness
    origin = harness.page_origin()
    with tempfile.TemporaryDirectory() as scratch:
        base = harness.Path(scratch)
        server = harness.CatalogueServer(base).start()
        made = []
        try:
            server.publish("echo")
            instance = harness.Launcher(base, "bench", made)
            instance.preinstall("echo")
            if harness.WINDOWS:
                harness.wine_temp_directory().mkdir(parents=True, exist_ok=True)
            instance.start(port=None)
            root = os.path.join(build, "identity", "root.pem")
            for _ in range(400):
                try:
                    first, hello, relay = asyncio.run(measure(root, rounds, origin))
                    break
                except OSError:
                    time.sleep(0.05)
            else:
                sys.exit("launcher did not start")
            idle = resident_kib(instance.proc.pid)
            busy = asyncio.run(hold_clients(root, 45, instance.proc.pid, origin))
            if "--hostile" in sys.argv:
                calm, attacked = asyncio.run(hostile(harness, root, rounds, origin))
        finally:
            for launcher in made:
                launcher.expect_exit = True
                launcher.stop()
            server.stop()
    print("launcher: %s" % ("launcher.exe under " + os.environ.get("LAUNCHER_WINE", "wine64")
                            if harness.WINDOWS else "native"))
    report("HELLO", hello)
    report("relay to echo", relay)
    print(f"connect + TLS + first reply {first * 1e3:.1f} ms")
    print(f"resident memory idle {idle} KiB, with 45 clients {busy} KiB")
    if "--hostile" in sys.argv:
        for what, before, during in zip(["HELLO", "pushed message", "new client"], calm,
                                        attacked):
            report(what + ", idle", before)
            report(what + ", hostile", during)
            print(f"  median {statistics.median(during) / statistics.median(before):.2f}x idle")


if __name__ == "__main__":
    main()
