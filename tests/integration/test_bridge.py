"""The bridge: ports, single instance, TLS, envelopes and the delivery tick."""

import http.client
import json
import os
import re
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time

import pytest

from conftest import (BRIDGE_PORTS, CATALOGUE_PATH, IDENTITY, SETTINGS, WAIT, WINDOWS, RawWebSocket,
                      client_context, is_install, page_origin, project_version, wait_until)


def hold_port(port):
    holder = socket.socket()
    holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    holder.bind(("127.0.0.1", port))
    holder.listen()
    return holder


def test_serves_on_the_first_port_over_verified_tls(launcher):
    first = launcher()
    client = first.connect()
    assert client.call({"act": "HELLO"})["version"] == project_version()
    # Any path, and the host name the certificate also names.
    for path, host in [("/online/win.json", "127.0.0.1"), ("/a/b?c=d", "127.0.0.1"),
                       ("/", "localhost")]:
        assert first.connect(path, host).call({"act": "HELLO"})["act"] == "HELLO"


@pytest.mark.skipif(WINDOWS, reason="reads the process's memory natively")
def test_the_private_key_text_is_gone_once_the_server_listens(launcher):
    instance = launcher()
    assert instance.connect().call({"act": "HELLO"})["act"] == "HELLO"
    key_line = (IDENTITY / "server.key").read_text().splitlines()[1].encode()
    found = []
    with open("/proc/%d/maps" % instance.proc.pid) as maps, \
            open("/proc/%d/mem" % instance.proc.pid, "rb", 0) as mem:
        for line in maps:
            span, perms = line.split()[:2]
            if not perms.startswith("rw"):
                continue
            start, end = (int(x, 16) for x in span.split("-"))
            if end - start > 1 << 30:
                continue  # a sanitizer's shadow, not data
            try:
                mem.seek(start)
                found += [span] if key_line in mem.read(end - start) else []
            except OSError:
                pass
    assert not found


def test_a_reconnecting_page_resumes_its_tls_session(launcher):
    """A reload or another tab of the same browser skips the key exchange."""
    instance = launcher()
    context = client_context()
    first = RawWebSocket(instance.port, context=context)
    assert not first.sock.session_reused
    session = first.sock.session
    first.sock.close()
    for _ in range(2):
        again = RawWebSocket(instance.port, context=context, session=session)
        assert again.sock.session_reused
        again.send_frame(1, b'{"request":{"act":"HELLO"}}')
        opcode, payload = again.read_frame()
        assert json.loads(payload)["act"] == "HELLO"
        again.sock.close()


def test_held_ports_are_passed_over_until_none_is_left(launcher):
    holders = [hold_port(port) for port in BRIDGE_PORTS]
    try:
        assert launcher(start=False).start(port=None).wait_exit() == 0
        holders.pop().close()
        assert launcher(port=BRIDGE_PORTS[-1]).connect().call({"act": "HELLO"})["act"] == "HELLO"
    finally:
        for holder in holders:
            holder.close()


def test_second_start_of_the_same_executable_exits(launcher, catalogue_server):
    catalogue_server.write_catalogue({})
    first = launcher()
    client = first.connect()
    client.wait_ready()

    second = first.same_executable("again").start(port=None)
    assert second.wait_exit() == 0
    assert client.call({"act": "HELLO"})["ready"] == 1
    # The refused start touched nothing: no catalogue fetch of its own.
    assert len(catalogue_server.requests(CATALOGUE_PATH)) == 1

    # A copy elsewhere is another executable, so it runs, on the next port.
    other = launcher(port=BRIDGE_PORTS[1])
    assert other.connect().call({"act": "HELLO"})["act"] == "HELLO"


def test_a_stop_request_closes_pages_going_away_unloads_modules_and_exits(launcher,
                                                                         catalogue_server):
    instance = preinstalled(catalogue_server, launcher, "farewell")
    client, raw = instance.connect(), RawWebSocket(instance.port)
    client.wait_ready()
    assert client.load("farewell") == {"act": "LOAD", "result": 0}

    instance.request_stop()
    assert raw.read_frame() == (8, b"\x03\xe9")
    assert instance.wait_exit() == 0
    wait_until(lambda: client.closed, "the page's close")
    assert client.ws.close_code == 1001
    assert (instance.tmpdir / "farewell.unloaded").exists()


def test_plain_https_request_gets_no_response(launcher):
    instance = launcher()
    for path in ["/", "/index.html", "/online/win.json"]:
        connection = http.client.HTTPSConnection("127.0.0.1", instance.port,
                                                 context=client_context(), timeout=20)
        connection.request("GET", path)
        # Closed without a byte of response (a timeout would mean left open).
        with pytest.raises(http.client.RemoteDisconnected):
            connection.getresponse()
        connection.close()
    assert instance.connect().call({"act": "HELLO"})["act"] == "HELLO"


def handshake_status(port, origin_header, key="dGhlIHNhbXBsZSBub25jZQ=="):
    """The status line a WebSocket handshake gets, with the header given."""
    tls = client_context().wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=20),
                                       server_hostname="127.0.0.1")
    tls.sendall(("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                 "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
                 "Sec-WebSocket-Version: 13\r\n%s\r\n" % (key, origin_header)).encode())
    head = b""
    while b"\r\n" not in head:
        chunk = tls.recv(4096)
        if not chunk:
            break
        head += chunk
    tls.close()
    return head.split(b"\r\n", 1)[0].decode()


def test_only_the_publishers_origins_open_the_bridge(launcher):
    origin = page_origin()
    instance = launcher()
    port = instance.port
    scheme, host = origin.split("://", 1)
    for header in ["Origin: https://evil.example\r\n", "",
                   "Origin: %s\r\n" % origin.upper(), "Origin: %s/\r\n" % origin,
                   "Origin: %s://%s.evil.example\r\n" % (scheme, host), "Origin: null\r\n"]:
        assert handshake_status(port, header).startswith("HTTP/1.1 403"), header
    assert handshake_status(port, "Origin: %s\r\n" % origin).startswith("HTTP/1.1 101")
    # The refused handshakes left nothing behind: a client's tick and replies
    # go on as before.
    client = instance.connect()
    assert client.call({"act": "HELLO"})["act"] == "HELLO"


# A handshake from another process: on stdout, its reply's head, or what
# came before the launcher closed the connection.
FOREIGN_HANDSHAKE = """
import socket, ssl, sys
context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
tls = context.wrap_socket(socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=20))
tls.sendall(("GET / HTTP/1.1\\r\\nHost: 127.0.0.1\\r\\nUpgrade: websocket\\r\\n"
             "Connection: Upgrade\\r\\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\\r\\n"
             "Sec-WebSocket-Version: 13\\r\\nOrigin: %s\\r\\n\\r\\n" % sys.argv[2]).encode())
reply = b""
while b"\\r\\n\\r\\n" not in reply and (chunk := tls.recv(4096)):
    reply += chunk
print(repr(reply))
"""


@pytest.mark.skipif(WINDOWS or os.geteuid() != 0 or not shutil.which("setpriv"),
                    reason="two real users: natively, as root")
def test_only_the_launchers_own_user_is_served(launcher):
    instance = launcher()
    as_nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    for prefix, served in [(as_nobody, False), ([], True)]:
        reply = subprocess.run(prefix + [sys.executable, "-c", FOREIGN_HANDSHAKE,
                                         str(instance.port), page_origin()],
                               capture_output=True, text=True, timeout=WAIT, check=True)
        assert reply.stdout.startswith("b'HTTP/1.1 101") == served, reply.stdout
        # Closed with nothing said: the page's library tries the next port.
        assert served or reply.stdout.strip() == "b''"
    assert instance.connect().call({"act": "HELLO"})["act"] == "HELLO"


def client_records(pid):
    """The length of the launcher's client registry, read with a debugger: a
    leaked record is never ready, so nothing a page sees would show it."""
    registry = "'(anonymous namespace)::clientRegistry'._M_impl"
    result = subprocess.run(
        ["gdb", "-p", str(pid), "-batch", "-nx",
         "-ex", "print %s._M_finish - %s._M_start" % (registry, registry)],
        capture_output=True, text=True, timeout=120)
    match = re.search(r"^\$1 = (\d+)$", result.stdout, re.M)
    assert match, result.stdout + result.stderr
    return int(match.group(1))


@pytest.mark.skipif(WINDOWS or not shutil.which("gdb"), reason="read with gdb, natively")
def test_refused_and_failed_handshakes_leave_no_client_record(launcher):
    instance = launcher()
    held = instance.connect()
    held.call({"act": "HELLO"})
    pid = instance.proc.pid
    assert client_records(pid) == 1
    # Refused before the record is made, and failed after it was: a key too
    # long for the server's buffer.
    for _ in range(25):
        assert handshake_status(instance.port, "Origin: https://evil.example\r\n") \
            .startswith("HTTP/1.1 403")
        assert not handshake_status(instance.port, "Origin: %s\r\n" % page_origin(),
                                    key="k" * 80).startswith("HTTP/1.1 101")
    assert client_records(pid) == 1
    held.close()
    wait_until(lambda: client_records(pid) == 0, "the held client's record to go")


def test_a_message_over_the_cap_closes_only_its_connection_unread(launcher):
    cap = SETTINGS["max_message_bytes"]
    instance = launcher()
    other = instance.connect()
    raw = RawWebSocket(instance.port)
    # Announce one byte more than the cap and send only the first bytes:
    # the answer must not wait for the rest.
    raw.sock.sendall(struct.pack("!BBQ", 0x81, 0x80 | 127, cap + 1) + b"mask" + b"x" * 100)
    assert raw.read_frame() == (8, struct.pack("!H", 1009))
    assert raw.read_frame() is None
    assert other.call({"act": "HELLO"})["act"] == "HELLO"
    # At the cap a message is read and answered as any other.
    sender = instance.connect()
    hello = '{"request":{"act":"HELLO"}}'
    sender.send(hello + " " * (cap - len(hello)))
    assert sender.next().json["act"] == "HELLO"


def test_drops_and_bad_input_write_nothing(launcher):
    """The launcher writes nothing anywhere, also when peers misbehave."""
    instance = launcher()
    port = instance.port
    # A port probe, and bytes that are no TLS at all.
    socket.create_connection(("127.0.0.1", port)).close()
    with socket.create_connection(("127.0.0.1", port)) as raw:
        raw.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        raw.settimeout(20)
        try:
            raw.recv(100)
        except OSError:
            pass
    # An upgrade without a key, one for another protocol version, and one
    # whose key is too long for the server after the page was let in.
    for headers in ["Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n",
                    "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 8\r\n"
                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n",
                    "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                    "Sec-WebSocket-Key: %s\r\nOrigin: %s\r\n" % ("k" * 80, page_origin())]:
        tls = client_context().wrap_socket(socket.create_connection(("127.0.0.1", port)),
                                           server_hostname="127.0.0.1")
        tls.sendall(("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n%s\r\n" % headers).encode())
        tls.settimeout(20)
        try:
            tls.recv(4096)
        except OSError:
            pass
        tls.close()
    # Clients that vanish without a close frame or a TLS close: mid-frame,
    # after an unmasked frame, after a reserved opcode, and idle.
    for abuse in [b"\x81\xfe\x10", b"\x81\x05hello", b"\x83\x80abcd", b""]:
        raw = RawWebSocket(port)
        raw.sock.sendall(abuse)
        time.sleep(0.2)
        raw.sock.close()
    assert instance.connect().call({"act": "HELLO"})["act"] == "HELLO"
    time.sleep(0.5)
    assert instance.output.read_bytes() == b""


def test_peers_silent_in_the_tls_handshake_are_let_go(launcher):
    """A connection that stops before its handshake ends holds a worker only
    for a bounded time, however many there are."""
    instance = launcher()
    silent = []
    for opening in [b"", b"\x16\x03\x01\x02\x00\x01"]:
        peer = socket.create_connection(("127.0.0.1", instance.port))
        peer.sendall(opening)
        silent.append(peer)
    assert instance.connect().call({"act": "HELLO"})["act"] == "HELLO"
    # One that sends a byte a second: the deadline is the whole handshake's,
    # not each read's.
    trickler = socket.create_connection(("127.0.0.1", instance.port))
    trickler.sendall(b"\x16\x03\x01\x02\x00")
    trickler.settimeout(1)
    for _ in range(60):
        try:
            trickler.sendall(b"\x00")
            if trickler.recv(100) in (b"", b"\x15\x03\x03\x00\x02\x02\x28"):
                break
        except socket.timeout:
            continue
        except (ConnectionResetError, BrokenPipeError):
            break
    else:
        pytest.fail("a peer trickling its handshake was never let go")
    trickler.close()
    for peer in silent:
        peer.settimeout(60)
        try:
            assert peer.recv(100) in (b"", b"\x15\x03\x03\x00\x02\x02\x28")
        except ConnectionResetError:
            pass
        peer.close()


def test_a_frame_left_unfinished_is_not_waited_for(launcher):
    instance = launcher()
    raw = RawWebSocket(instance.port)
    raw.sock.sendall(struct.pack("!BBH", 0x81, 0x80 | 126, 1000) + b"mask" + b"x" * 10)
    raw.sock.settimeout(60)
    assert raw.read_frame() is None
    assert instance.connect().call({"act": "HELLO"})["act"] == "HELLO"


def test_a_client_that_stops_reading_holds_up_only_itself(launcher, catalogue_server):
    instance = preinstalled(catalogue_server, launcher, "echo")
    client = instance.connect()
    client.wait_ready()
    assert client.load("echo")["result"] == 0
    # Requests whose replies and pushes fill every buffer on the way, from
    # a client that never reads.
    stalled = RawWebSocket(instance.port)
    text = "x" * 60000
    request = json.dumps({"target": "echo", "request": "push:" + text}).encode()
    frame = struct.pack("!BBH", 0x81, 0x80 | 126, len(request)) + b"\0\0\0\0" + request

    def flood():
        try:
            for _ in range(400):
                stalled.sock.sendall(frame)
        except OSError:
            pass

    sender = threading.Thread(target=flood, daemon=True)
    sender.start()
    for n in range(5):
        assert client.ask("echo", "push:%d" % n) == '"push:%d"' % n
        assert client.next().text == str(n)
        time.sleep(0.5)
    # The stalled client itself is let go.
    sender.join(WAIT)
    assert not sender.is_alive()
    stalled.sock.close()
    assert client.ask("echo", "push:after") == '"push:after"'
    # One whose unsent pushes pass the bound is told why it is dropped, also
    # while the replies to its further requests wait to leave together: its
    # last frame is a 1008 close.
    slow = RawWebSocket(instance.port)
    text = "x" * (8 * 1024 * 1024 + 1)
    request = json.dumps({"target": "echo", "request": "push:" + text}).encode()
    small = json.dumps({"target": "echo", "request": 0}).encode()
    slow.sock.sendall(struct.pack("!BBQ", 0x81, 0x80 | 127, len(request)) + b"\0\0\0\0" + request
                      + (struct.pack("!BB", 0x81, 0x80 | len(small)) + b"\0\0\0\0" + small) * 3000)
    frames = list(iter(slow.read_frame, None))
    # The server closes with the client's requests unread, so the reset may
    # cut the last frames on their way (seen under wine and natively).
    assert frames[-1] == (8, struct.pack("!H", 1008)) or frames[-1][1] is None
    assert {opcode for opcode, _ in frames[:-1]} <= {1}


def nested_envelope(levels):
    """A HELLO envelope nested levels deep in all (the root is level 1)."""
    inner = "[" * (levels - 2) + "]" * (levels - 2)
    return '{"request":{"act":"HELLO","x":%s}}' % inner


def test_frames_without_reply_leave_everyone_served(launcher):
    instance = launcher()
    sender = instance.connect()
    other = instance.connect()
    hello = '{"request":{"act":"HELLO"}}'
    # Strict reading itself is tested in json_text_test.cpp; these show that
    # frames go through it and that only an object is an envelope.
    ignored = [
        '{"request":{"act":"HELLO"} /* comment */}',
        '{"request":{"act":"HELLO"},"request":{"act":"HELLO"}}',
        '{"request":{"act":"HELLO"}} x',
        '"HELLO"', "null",
        '[{"request":{"act":"HELLO"}}]',
        hello.encode(),  # binary frame
        '{"target":["x"],"request":{"act":"HELLO"}}',
        '{"target":{"x":1},"request":{"act":"HELLO"}}',
        '{"target":"nosuch","request":{"act":"HELLO"}}',
        nested_envelope(1001),
        '{"request":{"act":"HELLO","x":%s}}' % ("[" * 100000 + "]" * 100000),
    ] + [json.dumps({"request": request}) for request in [
        {"act": "hello"}, {"act": "HELLO "}, {"act": "HELL"}, {"act": "LOADS"},
        {"act": 1}, {"act": True}, {"act": ["HELLO"]}, {"act": {"HELLO": 1}},
        {"act": None}, {}, "HELLO", ["HELLO"], None]]
    for frame in ignored:
        sender.send(frame)
        # Replies go out in request order, so an answer to the ignored frame
        # would come first.
        reply = sender.call({"act": "LOAD"})
        assert reply == {"act": "LOAD", "result": 1}, frame
        assert not sender.take(), frame
        assert other.call({"act": "HELLO"})["act"] == "HELLO", frame

    # What stays within the reader's limits is answered.
    for frame in [nested_envelope(1000), '{"target":null,"request":{"act":"HELLO"}}',
                  '{"x":[1],"request":{"act":"HELLO"}}']:
        sender.send(frame)
        assert sender.next().json["act"] == "HELLO"


def preinstalled(catalogue_server, launcher, *modules):
    """A started launcher with current libraries of modules in modules/."""
    for module in modules:
        catalogue_server.publish(module)
    instance = launcher(start=False)
    for module in modules:
        instance.preinstall(module)
    return instance.start()


def test_requests_sent_together_are_answered_in_order_and_none_held_back(launcher,
                                                                        catalogue_server):
    # Replies to requests that are already waiting leave together: they must
    # still go when what waits is only part of the next request (its first
    # byte, or its header and some payload), and none may change places.
    instance = preinstalled(catalogue_server, launcher, "echo")
    other = instance.connect()
    other.wait_ready()
    assert other.load("echo")["result"] == 0
    count = 300
    frames = []
    for n in range(count):
        payload = json.dumps({"target": "echo", "request": {"n": n}}).encode()
        frames.append(struct.pack("!BB", 0x81, 0x80 | len(payload)) + b"\0\0\0\0" + payload)
    for sent_of_last in (1, len(frames[-1]) - 20):
        raw = RawWebSocket(instance.port)
        raw.sock.sendall(b"".join(frames[:-1]) + frames[-1][:sent_of_last])
        replies = [raw.read_frame() for _ in range(count - 1)]
        raw.sock.sendall(frames[-1][sent_of_last:])
        replies.append(raw.read_frame())
        assert [json.loads(payload)["n"] for _, payload in replies] == list(range(count))
        raw.sock.close()


def test_replies_and_pushes_share_each_session_soundly(launcher, catalogue_server):
    # Workers read and answer while the tick writes pushes to the same TLS
    # sessions: under ThreadSanitizer any use of a session by two threads
    # at once shows; here every reply and push must arrive whole, in order.
    instance = preinstalled(catalogue_server, launcher, "echo")
    loader = instance.connect()
    loader.wait_ready()
    assert loader.load("echo")["result"] == 0
    count, burst = 400, 20

    def drive(raw, seen):
        for start in range(0, count, burst):
            raw.sock.sendall(b"".join(
                struct.pack("!BB", 0x81, 0x80 | len(p)) + b"\0\0\0\0" + p
                for p in (json.dumps({"target": "echo", "request": "push:%d" % n}).encode()
                          for n in range(start, start + burst))))
            time.sleep(0.01)
        while len(seen) < 2 * count:
            opcode, payload = raw.read_frame()
            seen.append(payload.decode())

    raws = [RawWebSocket(instance.port) for _ in range(4)]
    seen = [[] for _ in raws]
    threads = [threading.Thread(target=drive, args=pair) for pair in zip(raws, seen)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for raw, texts in zip(raws, seen):
        assert [t for t in texts if t.startswith('"')] == ['"push:%d"' % n for n in range(count)]
        assert [t for t in texts if not t.startswith('"')] == [str(n) for n in range(count)]
    # Large pushes then a record that fails its check, unread for a while:
    # the writer waits on a full socket with a record half sent while the
    # worker's read answers the bad record with an alert into the same
    # session. The client must then meet that alert or the end, never a
    # record broken by two writers (and ThreadSanitizer no unlocked use).
    big = json.dumps({"target": "echo", "request": "push:" + "x" * 60000}).encode()
    raws += [RawWebSocket(instance.port) for _ in range(4)]
    for n, raw in enumerate(raws):
        raw.sock.sendall((struct.pack("!BBH", 0x81, 0xFE, len(big)) + b"\0\0\0\0" + big)
                         * (4 + 2 * n))
        with socket.socket(fileno=os.dup(raw.sock.fileno())) as beside:
            beside.sendall(b"\x17\x03\x03\x00\x28" + os.urandom(40))
    time.sleep(2)
    for raw in raws:
        ending = None
        while ending is None:
            try:
                ending = None if raw.sock.recv(65536) else "end"
            except ssl.SSLError as error:
                ending = error.reason
            except ConnectionError:
                ending = "end"
        assert ending in ("end", "SSLV3_ALERT_BAD_RECORD_MAC")
        raw.sock.close()


def test_every_tick_polls_every_ready_client_in_connection_order(launcher, catalogue_server):
    instance = preinstalled(catalogue_server, launcher, "pollorder")
    clients = [instance.connect() for _ in range(3)]
    clients[0].wait_ready()
    # Only the first asks for the module; all three are polled.
    assert clients[0].load("pollorder")["result"] == 0
    handles = [int(client.ask("pollorder", "whoami")) for client in clients]
    assert len(set(handles)) == 3
    wait_until(lambda: len(json.loads(clients[0].ask("pollorder", "order"))) >= 64,
               "64 recorded polls")
    time.sleep(0.5)
    order = json.loads(clients[1].ask("pollorder", "order"))[-30:]
    # A slice of first, second, third, first, ... (a tick may be under way).
    assert all(handles.index(b) == (handles.index(a) + 1) % 3
               for a, b in zip(order, order[1:])), (handles, order)


def test_client_closing_while_ticked_is_removed_after_delivery(launcher, catalogue_server):
    instance = preinstalled(catalogue_server, launcher, "slowpoll")
    other = instance.connect()
    other.wait_ready()
    assert other.load("slowpoll") == {"act": "LOAD", "result": 0}

    raw = RawWebSocket(instance.port)
    raw.send_frame(1, json.dumps({"target": "slowpoll", "request": "slow"}).encode())
    assert raw.read_frame() == (1, b"ok")
    # From now on each tick spends 500 ms polling this client, then sends
    # "slept", and the next tick follows 100 ms later: close mid-poll.
    assert raw.read_frame() == (1, b"slept")
    time.sleep(0.3)
    raw.send_frame(8, b"\x03\xe8")
    after_close = list(iter(raw.read_frame, None))
    raw.sock.close()
    # The close is answered at once and nothing follows it: the poll under
    # way finishes on the still open connection, its reply unsent. On a slow
    # emulated machine the poll may have ended before the close was read.
    assert after_close[-1] == (8, b"\x03\xe8")
    assert after_close[:-1] in ([], [(1, b"slept")])
    assert other.call({"act": "HELLO"})["act"] == "HELLO"
    assert instance.connect().call({"act": "HELLO"})["act"] == "HELLO"


def test_a_tick_sends_the_queue_then_modules_in_byte_order_of_names(launcher, catalogue_server):
    # Listed, but without a package URL: its install ends at once, so its
    # final message is queued at a moment the test chooses.
    catalogue_server.write_catalogue({"nourl": {"latest": "1.0.0", "versions": {"1.0.0": {}}}})
    instance = preinstalled(catalogue_server, launcher, "alpha", "Beta", "slowpoll")
    client, slow = instance.connect(), instance.connect()
    client.wait_ready()
    for module in ["alpha", "Beta", "slowpoll"]:
        assert client.load(module)["result"] == 0
    client.skip_to(lambda m: m.text == "alpha")
    assert [client.next().text for _ in range(8)] == ["Beta", "alpha"] * 4

    slow.send({"target": "slowpoll", "request": "slow"})
    slow.next(lambda m: m.text == "ok")
    # Each tick: client gets [queued..., "Beta", "alpha"], then slow gets
    # those two and its poll holds the tick for 500 ms before "slept". Queue
    # in that hold.
    slow.skip_to(lambda m: m.text == "slept")
    slow.skip_to(lambda m: m.text == "alpha")
    assert client.load("nourl")["result"] == 2
    final = client.next(is_install)
    assert final.json == {"act": "LOAD", "error": 3, "result": 2}
    client.next(lambda m: m.text == "Beta" and m.index > final.index)

    stream = [m for m in client.received if m.text in ("Beta", "alpha") or is_install(m)]
    at = stream.index(final)
    assert (stream[at - 1].text, stream[at + 1].text) == ("alpha", "Beta")
    # The final message opened the client's next delivery: the "alpha"
    # before it came from the tick that the slow poll held. (Each client has
    # its own writer, so "slept" and the final message may arrive in either
    # order.)
    assert any(m.text == "slept" and stream[at - 1].index < m.index
               for m in slow.received)
