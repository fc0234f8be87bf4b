#!/usr/bin/python3
"""Round-trip latency of the real launcher over WSS.

bench/roundtrip.py BUILD_DIR [ROUNDS]: starts BUILD_DIR/launcher from a
scratch copy, sends HELLO ROUNDS times one after another and prints the
median and 99th percentile, the time from connect to first reply, and the
launcher's resident memory idle and with 45 clients connected.
"""
import asyncio
import os
import shutil
import ssl
import statistics
import subprocess
import sys
import tempfile
import time

import websockets


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


async def hold_clients(root_pem, count, pid):
    ctx = ssl.create_default_context(cafile=root_pem)
    clients = [await websockets.connect("wss://127.0.0.1:11651/", ssl=ctx)
               for _ in range(count)]
    await asyncio.sleep(0.5)
    rss = resident_kib(pid)
    for client in clients:
        await client.close()
    return rss


async def measure(root_pem, rounds):
    ctx = ssl.create_default_context(cafile=root_pem)
    start = time.perf_counter()
    async with websockets.connect("wss://127.0.0.1:11651/", ssl=ctx) as ws:
        await ws.send('{"request":{"act":"HELLO"}}')
        await ws.recv()
        first = time.perf_counter() - start
        times = []
        for _ in range(rounds):
            t = time.perf_counter()
            await ws.send('{"request":{"act":"HELLO"}}')
            await ws.recv()
            times.append(time.perf_counter() - t)
    return first, times


def main():
    build = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    with tempfile.TemporaryDirectory() as scratch:
        exe = os.path.join(scratch, "launcher")
        shutil.copy(os.path.join(build, "launcher"), exe)
        proc = subprocess.Popen([exe], env=dict(os.environ, TMPDIR=scratch))
        try:
            root = os.path.join(build, "identity", "root.pem")
            for _ in range(100):
                try:
                    first, times = asyncio.run(measure(root, rounds))
                    break
                except OSError:
                    time.sleep(0.05)
            else:
                sys.exit("launcher did not start")
            idle = resident_kib(proc.pid)
            busy = asyncio.run(hold_clients(root, 45, proc.pid))
        finally:
            proc.kill()
            proc.wait()
    times.sort()
    print(f"HELLO round trip  median {statistics.median(times) * 1e3:.3f} ms"
          f"  p99 {times[int(len(times) * 0.99)] * 1e3:.3f} ms  ({rounds} rounds)")
    print(f"connect + TLS + first reply {first * 1e3:.1f} ms")
    print(f"resident memory idle {idle} KiB, with 45 clients {busy} KiB")


if __name__ == "__main__":
    main()
