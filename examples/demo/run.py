#!/usr/bin/python3
"""Runs the demo against a built tree: a local HTTPS catalogue and package
server, the launcher in a run directory of its own, and the demo page over
HTTPS on loopback, all with the build's certificate.

    run.py --build DIR [--headless] [--screenshot FILE] [--page-port N]

Interactive (the default) prints where to open the page and waits for Ctrl-C.
--headless drives the page in Chromium (tests/browser/demo_test.js), prints
the transcript and exits with its status. Used by scripts/demo and by the
browser test. Exits 77 when the build's catalogue URL is not a loopback one
this script can serve.
"""

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import urllib.parse

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PAGE_DIR = os.path.join(SOURCE, "examples", "demo")
sys.path.insert(0, os.path.join(SOURCE, "tools"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))
import catalogue_entry  # noqa: E402
import page_server  # noqa: E402

MODULE = "sysinfo"
BRIDGE_PORTS = range(11651, 11656)
SKIP = 77
# Fetched by scripts/setup --browser beside the other dependencies.
NODE_MODULES = os.path.join(SOURCE, "third_party", "node", "node_modules")


def fail(message, code=1):
    print("demo: " + message, file=sys.stderr)
    sys.exit(code)


def cache_value(build, name):
    try:
        with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as stream:
            for line in stream:
                match = re.match(r"^%s:[A-Z]+=(.*)$" % re.escape(name), line.rstrip("\n"))
                if match:
                    return match.group(1)
    except OSError:
        pass
    return None


def launcher_settings(build, launcher_dir):
    """The launcher to run, its catalogue URL and the identity it trusts:
    the build's own launcher, or the test launcher of a directory with its
    settings.json."""
    if launcher_dir:
        with open(os.path.join(launcher_dir, "settings.json"), encoding="utf-8") as stream:
            settings = json.load(stream)
        return os.path.join(launcher_dir, "launcher"), settings["catalogue_url"], \
            settings["identity"]
    trusts_root = (cache_value(build, "LAUNCHER_CATALOGUE_TRUST_BUILD_ROOT") or "").upper() in \
        ("ON", "TRUE", "YES", "1") and not cache_value(build, "LAUNCHER_TLS_IDENTITY")
    if not trusts_root:
        fail("the build does not trust its own root for the catalogue "
             "(configure with -DLAUNCHER_CATALOGUE_TRUST_BUILD_ROOT=ON)", SKIP)
    return os.path.join(build, "launcher"), cache_value(build, "LAUNCHER_CATALOGUE_URL") or "", \
        os.path.join(build, "identity")


def catalogue_site(url):
    """The host, port and path of the catalogue URL when it is ours to serve;
    the packages are served under the same name."""
    parts = urllib.parse.urlsplit(url)
    if parts.scheme != "https" or parts.hostname not in ("localhost", "127.0.0.1") \
            or not parts.port:
        fail("the catalogue URL %r is not https://localhost:PORT/..." % url, SKIP)
    return parts.hostname, parts.port, parts.path


def prepare(build, executable, run_dir, host, port, catalogue_path):
    """A fresh run directory: the launcher's copy and the served tree."""
    shutil.rmtree(run_dir, ignore_errors=True)
    www = os.path.join(run_dir, "www")
    os.makedirs(os.path.join(www, "packages"))
    os.makedirs(os.path.join(www, os.path.dirname(catalogue_path.lstrip("/"))), exist_ok=True)
    os.makedirs(os.path.join(run_dir, "tmp"))
    shutil.copy2(executable, os.path.join(run_dir, "launcher"))
    package = os.path.join(www, "packages", MODULE + ".7z")
    shutil.copy2(os.path.join(build, "examples", MODULE + ".7z"), package)
    status = catalogue_entry.main([
        "--catalogue", os.path.join(www, catalogue_path.lstrip("/")),
        "--module", MODULE,
        "--library", os.path.join(build, "examples", MODULE + ".so"),
        "--package", package,
        "--url", "https://%s:%d/packages/%s.7z" % (host, port, MODULE)])
    if status != 0:
        fail("making the catalogue failed")
    return os.path.getsize(package)


def serve_demo_page(identity, port):
    files = {"/index.html": os.path.join(PAGE_DIR, "index.html"),
             "/demo.js": os.path.join(PAGE_DIR, "demo.js"),
             page_server.CLIENT_LIBRARY[0]: page_server.CLIENT_LIBRARY[1]}
    try:
        return page_server.serve_page(identity, port, files)
    except OSError as error:
        fail("cannot serve the page on 127.0.0.1:%d: %s" % (port, error))


def start_catalogue_server(identity, port, www, log):
    process = subprocess.Popen(
        [sys.executable, os.path.join(SOURCE, "tests", "support", "https_server.py"),
         "--port", str(port), "--cert", os.path.join(identity, "chain.pem"),
         "--key", os.path.join(identity, "server.key"), "--root", www],
        stdout=subprocess.PIPE, stderr=log, text=True, start_new_session=True)
    line = process.stdout.readline()
    if not line.startswith("PORT "):
        process.kill()
        fail("the catalogue server did not start on 127.0.0.1:%d (port taken?)" % port)
    return process


def listening_ports(pid):
    """Loopback TCP ports on which the process listens, from /proc."""
    inodes = set()
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            if target.startswith("socket:["):
                inodes.add(target[8:-1])
    except OSError:
        return set()
    ports = set()
    with open("/proc/net/tcp", encoding="ascii") as stream:
        next(stream)
        for line in stream:
            fields = line.split()
            address, state, inode = fields[1], fields[3], fields[9]
            if state == "0A" and inode in inodes:
                ports.add(int(address.split(":")[1], 16))
    return ports


def start_launcher(run_dir, log):
    environment = dict(os.environ, TMPDIR=os.path.join(run_dir, "tmp"))
    process = subprocess.Popen([os.path.join(run_dir, "launcher")], cwd=run_dir,
                               env=environment, stdout=log, stderr=log,
                               start_new_session=True)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if process.poll() is not None:
            fail("the launcher exited with %s (all of ports 11651-11655 taken?); see %s"
                 % (process.returncode, log.name))
        ports = sorted(p for p in listening_ports(process.pid) if p in BRIDGE_PORTS)
        if ports:
            return process, ports[0]
        time.sleep(0.1)
    process.kill()
    fail("the launcher did not start listening; see %s" % log.name)


def interrupt(signum, frame):
    raise KeyboardInterrupt


def stop(processes):
    # Children run in sessions of their own, so a terminal's Ctrl-C reaches
    # only this script, which stops them in order; a second one is ignored.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    for process in processes:
        if process.poll() is None:
            process.terminate()
    for process in processes:
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()


def main():
    parser = argparse.ArgumentParser(description="Run the launcher demo.")
    parser.add_argument("--build", required=True, help="a built tree (with the example package)")
    parser.add_argument("--headless", action="store_true", help="drive the page in headless Chromium")
    parser.add_argument("--screenshot", help="with --headless: save a picture of the page here")
    parser.add_argument("--page-port", type=int, default=11660,
                        help="port for the page (default 11660, the origin the demo build lets in)")
    parser.add_argument("--launcher", help="run this directory's test launcher (with its "
                        "settings.json) instead of the build's own")
    args = parser.parse_args()
    if args.screenshot:
        args.headless = True
        args.screenshot = os.path.abspath(args.screenshot)

    build = os.path.abspath(args.build)
    executable, url, identity = launcher_settings(build, args.launcher)
    for needed in (executable, os.path.join(build, "examples", MODULE + ".so"),
                   os.path.join(build, "examples", MODULE + ".7z"),
                   os.path.join(identity, "root.pem"), os.path.join(identity, "chain.pem"),
                   os.path.join(identity, "server.key")):
        if not os.path.exists(needed):
            fail("%s is missing; build the tree first" % needed)
    host, port, catalogue_path = catalogue_site(url)
    if args.headless:
        for needed in ("/usr/bin/chromium", "/usr/bin/certutil",
                       os.path.join(NODE_MODULES, "playwright-core")):
            if not os.path.exists(needed):
                fail("%s is missing; run scripts/setup --browser" % needed)
    run_dir = os.path.join(build, "demo-run")
    package_size = prepare(build, executable, run_dir, host, port, catalogue_path)

    processes = []
    # SIGTERM (as from ctest's timeout) cleans up like Ctrl-C.
    signal.signal(signal.SIGTERM, interrupt)
    log = open(os.path.join(run_dir, "servers.log"), "w")
    try:
        processes.append(start_catalogue_server(identity, port, os.path.join(run_dir, "www"), log))
        page_port = serve_demo_page(identity, args.page_port).server_address[1]
        launcher, bridge_port = start_launcher(run_dir, log)
        processes.append(launcher)
        version = catalogue_entry.library_version(open(os.path.join(run_dir, "launcher"), "rb").read())
        page = "https://127.0.0.1:%d/index.html" % page_port
        if bridge_port != BRIDGE_PORTS[0]:
            page += "?port=%d" % bridge_port  # a port before ours is someone else's

        if args.headless:
            command = ["node", os.path.join(SOURCE, "tests", "browser", "demo_test.js"),
                       "--url", "%s%sport=%d" % (page, "&" if "?" in page else "?", bridge_port),
                       "--root", os.path.join(identity, "root.pem"),
                       "--version", version, "--package-size", str(package_size)]
            if args.screenshot:
                command += ["--screenshot", args.screenshot]
            print("launcher %s on wss://127.0.0.1:%d, catalogue https://%s:%d%s"
                  % (version, bridge_port, host, port, catalogue_path), flush=True)
            status = subprocess.call(command, env=dict(os.environ, NODE_PATH=NODE_MODULES))
            if status != 0:
                log.flush()
                with open(log.name, encoding="utf-8", errors="replace") as stream:
                    sys.stdout.write("--- launcher and server output ---\n" + stream.read())
            elif args.screenshot:
                print("screenshot: " + args.screenshot)
            return status

        root = os.path.join(identity, "root.pem")
        print("Launcher %s listens on wss://127.0.0.1:%d" % (version, bridge_port))
        print("Catalogue and packages: https://%s:%d%s" % (host, port, catalogue_path))
        print("Open the demo page:     %s" % page)
        print()
        print("The browser must trust the build's root certificate %s:" % root)
        print("  Chromium:  certutil -d sql:$HOME/.pki/nssdb -A -t C,, -n launcher-root -i %s" % root)
        print("             (libnss3-tools; create the database first with certutil -N -d sql:$HOME/.pki/nssdb"
              " --empty-password)")
        print("  Firefox:   Settings > Privacy & Security > Certificates > View Certificates >"
              " Authorities > Import")
        print("Logs are in %s. Ctrl-C stops everything." % run_dir, flush=True)
        while launcher.poll() is None:
            time.sleep(0.5)
        print("demo: the launcher exited with %s" % launcher.returncode)
        return 1
    except KeyboardInterrupt:
        print("\ndemo: stopping")
        return 130
    finally:
        stop(processes)
        log.close()


if __name__ == "__main__":
    sys.exit(main())
