"""The bridge: ports, single instance, TLS, envelopes and the delivery tick."""

import http.client
import json
import socket
import time

import pytest

from conftest import (BRIDGE_PORTS, CATALOGUE_PATH, RawWebSocket, client_context, is_install,
                      project_version)


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


def test_plain_port_holder_moves_it_on(launcher):
    holder = hold_port(BRIDGE_PORTS[0])
    try:
        instance = launcher(port=BRIDGE_PORTS[1])
        assert instance.connect().call({"act": "HELLO"})["act"] == "HELLO"
    finally:
        holder.close()


def test_exits_when_all_five_ports_are_held(launcher):
    holders = [hold_port(port) for port in BRIDGE_PORTS]
    try:
        instance = launcher(start=False).start(port=None)
        assert instance.wait_exit() == 0
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


def nested_envelope(levels):
    """A HELLO envelope nested levels deep in all (the root is level 1)."""
    inner = "[" * (levels - 2) + "]" * (levels - 2)
    return '{"request":{"act":"HELLO","x":%s}}' % inner


def test_frames_without_reply_leave_everyone_served(launcher):
    instance = launcher()
    sender = instance.connect()
    other = instance.connect()
    hello = '{"request":{"act":"HELLO"}}'
    ignored = [
        '{"request":{"act":"HELLO"}} // comment',
        '{"request":{"act":"HELLO"} /* comment */}',
        '{"request":{"act":"HELLO"},"request":{"act":"HELLO"}}',
        '{"request":{"act":"HELLO"}} x',
        '{"request":{"act":"HELLO"}}{}',
        "{'request':{'act':'HELLO'}}",
        '"HELLO"', "42", "null",
        '[{"request":{"act":"HELLO"}}]',
        hello.encode(),  # binary frame
        '{"target":["x"],"request":{"act":"HELLO"}}',
        '{"target":{"x":1},"request":{"act":"HELLO"}}',
        '{"target":"nosuch","request":{"act":"HELLO"}}',
        nested_envelope(1001),
        '{"request":{"act":"HELLO","x":%s}}' % ("[" * 100000 + "]" * 100000),
    ]
    for frame in ignored:
        sender.send(frame)
        # Replies go out in request order, so an answer to the ignored frame
        # would come first.
        reply = sender.call({"act": "LOAD"})
        assert reply == {"act": "LOAD", "result": 1}, frame
        assert not sender.take(), frame
        assert other.call({"act": "HELLO"})["act"] == "HELLO", frame

    # What stays within the reader's limits is answered.
    for frame in [nested_envelope(1000), '{"target":null,"request":{"act":"HELLO"}}']:
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


def test_clients_are_ticked_in_connection_order(launcher, catalogue_server):
    instance = preinstalled(catalogue_server, launcher, "ticker")
    first = instance.connect()
    second = instance.connect()
    second.wait_ready()
    assert second.load("ticker") == {"act": "LOAD", "result": 0}

    def arrivals(client):
        found = {}
        while len(found) < 12:
            message = client.next(lambda m: "seq" in (m.json or {}))
            found[message.json["seq"]] = message.time
        return found
    a, b = arrivals(first), arrivals(second)
    # The counter grows by one per poll. Polled first, the first client's n
    # is followed by the second's n + 1 within the same pass, while the
    # second's n - 1 came a tick earlier; polled the other way round, the
    # two gaps swap. The stream alone repeats either way, so the gaps decide.
    same, previous = [], []
    for n, at in a.items():
        if n + 1 in b and n - 1 in b:
            same.append(b[n + 1] - at)
            previous.append(at - b[n - 1])
    assert len(same) >= 5
    assert sorted(same)[len(same) // 2] < sorted(previous)[len(previous) // 2]


def test_modules_are_polled_in_byte_order_of_their_names(launcher, catalogue_server):
    instance = preinstalled(catalogue_server, launcher, "alpha", "Beta")
    client = instance.connect()
    client.wait_ready()
    assert client.load("alpha")["result"] == 0
    assert client.load("Beta")["result"] == 0
    client.skip_to(lambda m: m.text == "Beta")
    texts = [client.next().text for _ in range(8)]
    assert texts == ["alpha", "Beta"] * 4


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
    after_close = []
    while True:
        frame = raw.read_frame()
        if frame is None:
            break
        after_close.append(frame)
    raw.close()
    # The poll under way finished on the still open connection.
    assert after_close == [(1, b"slept")]

    assert other.call({"act": "HELLO"})["act"] == "HELLO"
    assert instance.connect().call({"act": "HELLO"})["act"] == "HELLO"


def test_queued_messages_precede_module_messages_in_a_tick(launcher, catalogue_server):
    # Listed, but without a package URL: its install ends at once, so its
    # final message is queued at a moment the test chooses.
    catalogue_server.write_catalogue({"nourl": {"latest": "1.0.0", "versions": {"1.0.0": {}}}})
    instance = preinstalled(catalogue_server, launcher, "alpha", "slowpoll")
    client = instance.connect()
    slow = instance.connect()
    client.wait_ready()
    assert client.load("alpha")["result"] == 0
    assert client.load("slowpoll")["result"] == 0
    assert slow.ask("slowpoll", "slow") == "ok"
    # Each tick: client gets [queued..., "alpha"], then slow gets "alpha" and
    # its poll holds the tick for 500 ms before "slept". Queue in that hold.
    slow.skip_to(lambda m: m.text == "slept")
    slow.skip_to(lambda m: m.text == "alpha")
    assert client.load("nourl")["result"] == 2
    final = client.next(is_install)
    assert final.json == {"act": "LOAD", "error": 3, "result": 2}
    client.next(lambda m: m.text == "alpha")

    stream = [m for m in client.received if m.text == "alpha" or is_install(m)]
    at = stream.index(final)
    before, after = stream[at - 1], stream[at + 1]
    assert before.text == "alpha" and after.text == "alpha"
    # The final message opened the client's next delivery: the slow poll
    # that held the tick ended between it and the "alpha" before it.
    assert any(m.text == "slept" and before.index < m.index < final.index
               for m in slow.received)
