#!/usr/bin/python3
"""The launcher's relay and install against the servers and tools it is
built from, side by side in one run.

bench/compare.py BUILD_DIR [--rounds N] [--package-mb M] [--libraries] [--switches S]
                  [--install-only] [--also NAME=EXECUTABLE]

Runs BUILD_DIR's test launcher (relaying to the test module echo), the bare
CivetWeb echo server built from the unpatched sources (BUILD_DIR/bench/
bare_echo) and the ws package's echo server under Node.js (bench/node_echo.js;
`npm install` in bench/ first), each pinned to CPU 1 with the load client
(BUILD_DIR/bench/wss_load, TLS 1.2) on CPU 0. Each round runs every measure
against every server in turn, so all feel the same machine; figures are the
median over rounds (the worst round trip: the worst of all). Then it installs
a package of about M MB (default 52) from the loopback catalogue server,
timed from LOAD to the final message against curl + sha512sum + 7zz x of the
same file (wall and processor time), and records the launcher's peak
resident memory for it and for a package a quarter that size. --libraries
makes the package's incompressible part a library too, so that 7zz packs
most of it under its branch converter, as it does real modules' libraries;
--switches gives 7zz further options for the packages ("-mx9" puts
libraries under BCJ2); --install-only leaves the relay measures out. --also adds another launcher
executable (built with the same test settings, e.g. an older build) as a
further contender.
Uses the fixed test ports: run it alone, e.g. under `unshare --net`.
"""
import argparse
import os
import random
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import json
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "integration"))

SERVER_CPU = "1"
CLIENT_CPU = "0"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def status_kib(pid, field):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    """User and system time of pid so far."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def children_cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def pin(pid):
    """Every thread of pid, and those it makes later, on the server CPU."""
    # A thread that ends meanwhile fails the call; a later try misses it. An
    # unpinned server can share the client's processor, which alone halves
    # its round trip.
    for _ in range(100):
        if subprocess.run(["taskset", "-a", "-p", "-c", SERVER_CPU, str(pid)],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
            return
        time.sleep(0.01)
    sys.exit("could not pin process %d" % pid)


def wait_listening(port, proc):
    for _ in range(600):
        if proc.poll() is not None:
            sys.exit("server on %d exited" % port)
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    sys.exit("server on %d did not start" % port)


class Contender:
    def __init__(self, name, port, pid, target):
        self.name, self.port, self.pid, self.target = name, port, pid, target
        self.runs = {}

    def record(self, measure, figures):
        self.runs.setdefault(measure, []).append(figures)


def load(client, contender, origin, *mode):
    out = subprocess.run(["taskset", "-c", CLIENT_CPU, str(client), str(contender.port), origin,
                          contender.target, *map(str, mode)],
                         check=True, capture_output=True, text=True, timeout=600).stdout
    return json.loads(out)


def make_package_tree(directory, module, library, megabytes, libraries=False):
    """The module's library and about megabytes of package: incompressible
    bytes and text that packs about tenfold, as real modules' resources do.
    With libraries the incompressible bytes follow a library's image in a
    library of their own: 7zz picks its filter from the file's header."""
    directory.mkdir(parents=True)
    shutil.copy2(library, directory / (module + ".so"))
    rng = random.Random(megabytes)
    media = directory / ("media" + library.suffix if libraries else "media.bin")
    with open(media, "wb") as f:
        if libraries:
            f.write(library.read_bytes())
        f.write(rng.randbytes(int(megabytes * 0.75e6)))
    words = [("%x" % rng.getrandbits(24)) for _ in range(4096)]
    with open(directory / "strings.txt", "w") as f:
        for i in range(int(megabytes * 0.75e6 / 40)):
            f.write(" ".join(rng.choice(words) for _ in range(6)) + "\n")


def package_for(harness, work, module, megabytes, libraries=False, switches=()):
    """Packs (once per size and kind, kept under the build) and returns the
    package."""
    package = work / ("%s.7z" % module)
    if not package.exists():
        tree = work / module
        shutil.rmtree(tree, ignore_errors=True)
        make_package_tree(tree, module, harness.TEST_MODULES / harness.library_name("echo"),
                          megabytes, libraries)
        subprocess.run(["7zz", "a", "-t7z", "-bso0", "-bsp0", *switches, str(package), "."],
                       cwd=str(tree), check=True)
        shutil.rmtree(tree)
    return package


def install_once(harness, base, name, made, executable, module):
    """Seconds from LOAD to the final message, the launcher's processor
    seconds meanwhile, and its peak resident memory."""
    for old in (executable.parent / "modules").glob(module + ".*"):
        old.unlink()
    instance = harness.Launcher(base, name, made, executable)
    instance.start()
    pin(instance.proc.pid)
    client = instance.connect()
    client.wait_ready()
    start = time.perf_counter()
    cpu = cpu_seconds(instance.proc.pid)
    client.send({"request": {"act": "LOAD", "module": module}})
    final = client.install_messages()[-1]
    seconds = time.perf_counter() - start
    cpu = cpu_seconds(instance.proc.pid) - cpu
    assert final["error"] == 0, final
    peak = status_kib(instance.proc.pid, "VmHWM")
    instance.stop()
    return seconds, cpu, peak


def tools_once(harness, base, module, url):
    target = base / ("tools-" + module)
    shutil.rmtree(target, ignore_errors=True)
    target.mkdir()
    file = target / (module + ".7z")
    start = time.perf_counter()
    cpu = children_cpu_seconds()
    pinned = ["taskset", "-c", SERVER_CPU]
    subprocess.run(pinned + ["curl", "-sS", "--cacert", str(harness.IDENTITY / "root.pem"),
                             "-o", str(file), url], check=True)
    subprocess.run(pinned + ["sha512sum", str(file)], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(pinned + ["7zz", "x", "-y", "-bso0", "-bsp0", "-o" + str(target / "out"),
                             str(file)], check=True)
    seconds = time.perf_counter() - start
    cpu = children_cpu_seconds() - cpu
    shutil.rmtree(target)
    return seconds, cpu


def median(values):
    return statistics.median(values) if values else float("nan")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--package-mb", type=float, default=52)
    parser.add_argument("--also", action="append", default=[], metavar="NAME=EXECUTABLE")
    parser.add_argument("--no-install", action="store_true")
    parser.add_argument("--libraries", action="store_true")
    parser.add_argument("--switches", default="")
    parser.add_argument("--install-only", action="store_true")
    args = parser.parse_args()
    build = Path(args.build).resolve()
    os.environ["LAUNCHER_BUILD_DIR"] = str(build)
    import conftest as harness

    client = build / "bench" / "wss_load"
    origin = harness.page_origin()
    identity = harness.IDENTITY
    node_modules = HERE / "node_modules" / "ws"
    if not node_modules.exists():
        sys.exit("run `npm install` in bench/ first")

    launchers = [("launcher", harness.TEST_LAUNCHER / harness.EXECUTABLE)]
    for extra in args.also:
        name, _, path = extra.partition("=")
        launchers.append((name, Path(path).resolve()))

    with tempfile.TemporaryDirectory() as scratch:
        base = Path(scratch)
        catalogue = harness.CatalogueServer(base).start()
        made, procs, contenders = [], [], []
        try:
            catalogue.publish("echo")
            for index, (name, executable) in enumerate(launchers):
                directory = base / ("exe%d" % index)
                directory.mkdir()
                shutil.copy2(executable, directory / harness.EXECUTABLE)
                instance = harness.Launcher(base, name, made, directory / harness.EXECUTABLE)
                instance.preinstall("echo")
                instance.start(port=harness.BRIDGE_PORTS[index])
                pin(instance.proc.pid)
                contenders.append(Contender(name, instance.port, instance.proc.pid, "echo"))
            time.sleep(0.5)
            start_rss = {c.name: status_kib(c.pid, "VmRSS") for c in contenders}
            for instance in made:
                probe = instance.connect()
                probe.wait_ready()
                assert probe.load("echo")["result"] == 0
                probe.close()

            port = free_port()
            bare = subprocess.Popen(["taskset", "-c", SERVER_CPU, str(build / "bench" / "bare_echo"),
                                     str(port), str(identity / "bundle.pem")],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            procs.append(bare)
            wait_listening(port, bare)
            contenders.append(Contender("bare CivetWeb", port, bare.pid, "-"))
            port = free_port()
            node = subprocess.Popen(["taskset", "-c", SERVER_CPU, "node", str(HERE / "node_echo.js"),
                                     str(port), str(identity / "server.key"),
                                     str(identity / "chain.pem")],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            procs.append(node)
            wait_listening(port, node)
            contenders.append(Contender("node ws", port, node.pid, "-"))
            time.sleep(0.5)
            for c in contenders[len(launchers):]:
                start_rss[c.name] = status_kib(c.pid, "VmRSS")

            for _ in range(0 if args.install_only else args.rounds):
                for c in contenders:
                    c.record("seq", load(client, c, origin, "seq", 3000))
                    c.record("pipe", load(client, c, origin, "pipe", 100000, 64))
                    c.record("fan", load(client, c, origin, "fan", 50, 1000))
                    c.record("fan-resumed", load(client, c, origin, "fan-resumed", 50, 1000))

            if not args.install_only:
                report(contenders, start_rss, args)
            installs = {}
            if not args.no_install:
                work = build / "bench-packages"
                work.mkdir(exist_ok=True)
                small = args.package_mb / 4
                for module, megabytes in (("bulky", args.package_mb), ("small", small)):
                    kind = str(megabytes) + ("-libraries" if args.libraries else "") + args.switches
                    package = package_for(harness, work / kind, module, megabytes, args.libraries,
                                          args.switches.split())
                    shutil.copy2(package, catalogue.root / "packages" / package.name)
                    subprocess.run([sys.executable, str(harness.SOURCE_DIR / "tools" / "catalogue_entry.py"),
                                    "--catalogue", str(catalogue.catalogue_file), "--module", module,
                                    "--library", str(harness.TEST_MODULES / harness.library_name("echo")),
                                    "--package", str(package), "--url",
                                    "https://%s:%d/packages/%s" % (harness.CATALOGUE_HOST, harness.CATALOGUE_PORT,
                                                                          package.name)],
                                   check=True)
                    installs[module] = {"size": package.stat().st_size}
                for instance in made:
                    instance.stop()
                url = "https://%s:%d/packages/bulky.7z" % (harness.CATALOGUE_HOST, harness.CATALOGUE_PORT)
                for r in range(args.rounds):
                    for name, executable in launchers:
                        seconds, cpu, peak = install_once(harness, base, "i%d%s" % (r, name), made,
                                                     base / ("exe%d" % launchers.index((name, executable)))
                                                     / harness.EXECUTABLE, "bulky")
                        installs.setdefault(name, []).append((seconds, cpu, peak))
                        # The peak again for a smaller package.
                        _, _, small_peak = install_once(harness, base, "s%d%s" % (r, name), made,
                                                           base / ("exe%d" % launchers.index((name, executable)))
                                                           / harness.EXECUTABLE, "small")
                        installs.setdefault(name + " small", []).append(small_peak)
                    installs.setdefault("tools", []).append(tools_once(harness, base, "bulky", url))
        finally:
            for instance in made:
                instance.expect_exit = True
                instance.stop()
            for proc in procs:
                proc.kill()
                proc.wait()
            catalogue.stop()

    if installs:
        report_installs(launchers, installs)


def report(contenders, start_rss, args):
    bare = next(c for c in contenders if c.name == "bare CivetWeb")
    node = next(c for c in contenders if c.name == "node ws")

    def fig(c, measure, key, pick=median):
        return pick([run[key] for run in c.runs[measure]])

    print("load average %s, %d rounds" % (os.getloadavg(), args.rounds))
    rows = [
        ("sequential relay round trip, median (us)", lambda c: fig(c, "seq", "median_us"), "lower"),
        ("pipelined requests on one connection (/s)", lambda c: fig(c, "pipe", "rate"), "higher"),
        ("50 clients x 1,000 round trips (/s)", lambda c: fig(c, "fan", "rate"), "higher"),
        ("  worst single round trip (ms)", lambda c: fig(c, "fan", "worst_us", max) / 1000, "lower"),
        ("  99.9th percentile round trip (ms)", lambda c: fig(c, "fan", "p999_us") / 1000, "lower"),
        ("the same, resuming one TLS session (/s)", lambda c: fig(c, "fan-resumed", "rate"), "higher"),
        ("  worst single round trip (ms)", lambda c: fig(c, "fan-resumed", "worst_us", max) / 1000,
         "lower"),
        ("  99.9th percentile round trip (ms)", lambda c: fig(c, "fan-resumed", "p999_us") / 1000,
         "lower"),
        ("resident memory after start (MiB)", lambda c: start_rss[c.name] / 1024, "lower"),
    ]
    names = [c.name for c in contenders]
    print("| measure | " + " | ".join(names) + " |")
    print("|---" * (len(names) + 1) + "|")
    for title, value, _ in rows:
        cells = []
        for c in contenders:
            v = value(c)
            cell = "%.1f" % v if v < 1000 else "%.0f" % v
            if c is not bare and c is not node:
                cell += " (%.2fx bare, %.2fx node)" % (v / value(bare), v / value(node))
            cells.append(cell)
        print("| %s | %s |" % (title, " | ".join(cells)))
    faults = {c.name: sum(run.get("wrong", 0) + run.get("lost", 0) + run.get("failed", 0)
                          for runs in c.runs.values() for run in runs) for c in contenders}
    print("replies lost, misrouted or failed: %s" % faults, flush=True)


def report_installs(launchers, installs):
    if installs:
        tools = median([s for s, _ in installs["tools"]])
        tools_cpu = median([c for _, c in installs["tools"]])
        print("install of a %.1f MB package, LOAD to final message (processor time); "
              "curl + sha512sum + 7zz x: %.2f s (%.2f s)"
              % (installs["bulky"]["size"] / 1e6, tools, tools_cpu))
        for name, _ in launchers:
            seconds = median([s for s, _, _ in installs[name]])
            cpu = median([c for _, c, _ in installs[name]])
            peak = max(p for _, _, p in installs[name]) / 1024
            small_peak = max(installs[name + " small"]) / 1024
            print("  %s: %.2f s (%.2f s), %.2fx the tools (%.2fx), peak resident %.1f MiB "
                  "(%.1f MiB for a %.1f MB package)"
                  % (name, seconds, cpu, seconds / tools, cpu / tools_cpu, peak, small_peak,
                     installs["small"]["size"] / 1e6))


if __name__ == "__main__":
    main()
