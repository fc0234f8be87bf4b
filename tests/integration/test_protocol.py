"""The WebSocket protocol's rules, case by case over raw frames, in the
sections public conformance suites use. Each case runs on a connection of
its own and ends with the client's close, so every reply up to the server's
close is seen."""

import json
import os
import struct

from conftest import SETTINGS, RawWebSocket

HELLO = b'{"request":{"act":"HELLO"}}'
TEXT, BINARY, CLOSE, PING, PONG = 1, 2, 8, 9, 10


def frame(opcode, payload=b"", fin=True, rsv=0, masked=True):
    head = bytes([(0x80 if fin else 0) | rsv << 4 | opcode])
    mask_bit = 0x80 if masked else 0
    if len(payload) < 126:
        head += bytes([mask_bit | len(payload)])
    elif len(payload) < 1 << 16:
        head += bytes([mask_bit | 126]) + struct.pack("!H", len(payload))
    else:
        head += bytes([mask_bit | 127]) + struct.pack("!Q", len(payload))
    if not masked:
        return head + payload
    mask = os.urandom(4)
    key = (mask * (len(payload) // 4 + 1))[:len(payload)]
    return head + mask + (int.from_bytes(payload, "big") ^ int.from_bytes(key, "big")
                          ).to_bytes(len(payload), "big")


def close(code=None, reason=b""):
    return frame(CLOSE, b"" if code is None else struct.pack("!H", code) + reason)


def closed(code):
    return ("close", code)


def outcome(port, *frames):
    """What the server sent back, up to its close: "HELLO" for each HELLO
    reply, ("pong", payload), ("close", code or None)."""
    raw = RawWebSocket(port)
    raw.sock.sendall(b"".join(frames) + close(1000))
    seen = []
    for opcode, payload in iter(raw.read_frame, None):
        if opcode == TEXT:
            seen.append(json.loads(payload)["act"])
        elif opcode == PONG:
            seen.append(("pong", payload))
        elif opcode == CLOSE:
            seen.append(closed(struct.unpack("!H", payload)[0] if payload else None))
        else:
            seen.append((opcode, payload))
    raw.sock.close()
    return seen


def check(launcher, cases):
    port = launcher().port
    failed = [(name, got, want) for name, frames, want in cases
              for got in [outcome(port, *frames)] if got != want]
    assert not failed


def test_framing(launcher):
    check(launcher, [
        ("7-bit length", [frame(TEXT, HELLO)], ["HELLO", closed(1000)]),
        ("16-bit length", [frame(TEXT, HELLO.ljust(300))], ["HELLO", closed(1000)]),
        ("64-bit length", [frame(TEXT, HELLO.ljust(70000))], ["HELLO", closed(1000)]),
        ("unmasked", [frame(TEXT, HELLO, masked=False)], [closed(1002)]),
    ])


def test_pings(launcher):
    check(launcher, [
        ("125 bytes", [frame(PING, b"p" * 125), frame(TEXT, HELLO)],
         [("pong", b"p" * 125), "HELLO", closed(1000)]),
        ("126 bytes", [frame(PING, b"p" * 126)], [closed(1002)]),
        ("fragmented", [frame(PING, b"p", fin=False)], [closed(1002)]),
        ("unasked pong", [frame(PONG, b"x"), frame(TEXT, HELLO)], ["HELLO", closed(1000)]),
    ])


def test_reserved_bits(launcher):
    check(launcher, [("rsv %d on %d" % (rsv, opcode), [frame(opcode, HELLO, rsv=rsv)],
                      [closed(1002)])
                     for rsv in range(1, 8) for opcode in (TEXT, PING)])


def test_opcodes(launcher):
    check(launcher, [("opcode %d" % opcode, [frame(opcode, b"x")], [closed(1002)])
                     for opcode in (3, 4, 5, 6, 7, 11, 12, 13, 14, 15)]
          + [("binary is not served", [frame(BINARY, HELLO), frame(TEXT, HELLO)],
              ["HELLO", closed(1000)])])


def test_fragmentation(launcher):
    cap = SETTINGS["max_message_bytes"]
    check(launcher, [
        ("three fragments", [frame(TEXT, HELLO[:5], fin=False), frame(0, HELLO[5:9], fin=False),
                             frame(0, HELLO[9:])], ["HELLO", closed(1000)]),
        ("control frames between",
         [frame(TEXT, HELLO[:5], fin=False), frame(PING, b"a"), frame(0, HELLO[5:9], fin=False),
          frame(PONG), frame(0, HELLO[9:])], [("pong", b"a"), "HELLO", closed(1000)]),
        ("empty fragments", [frame(TEXT, b"", fin=False), frame(0, HELLO, fin=False), frame(0)],
         ["HELLO", closed(1000)]),
        ("binary in fragments", [frame(BINARY, b"x", fin=False), frame(0, b"y"),
                                 frame(TEXT, HELLO)], ["HELLO", closed(1000)]),
        ("continuation first", [frame(0, HELLO)], [closed(1002)]),
        ("continuation after a whole message", [frame(TEXT, HELLO), frame(0, HELLO)],
         ["HELLO", closed(1002)]),
        ("a new message inside one", [frame(TEXT, HELLO, fin=False), frame(TEXT, HELLO)],
         [closed(1002)]),
        ("over the cap together", [frame(TEXT, b" " * (cap // 2 + 1), fin=False),
                                   frame(0, b" " * (cap // 2))], [closed(1009)]),
    ])


def test_utf8(launcher):
    text = '{"request":{"act":"HELLO","note":"κόσμε €𝄞"}}'.encode()
    split = text.index("€".encode()) + 1
    check(launcher, [
        ("split inside a character", [frame(TEXT, text[:split], fin=False),
                                      frame(0, text[split:])], ["HELLO", closed(1000)]),
    ] + [("invalid %r" % bad, [frame(TEXT, b'"' + bad + b'"')], [closed(1007)])
         for bad in [b"\xff", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80",
                     b"\xe2\x82", b"\x80"]]
      + [("invalid across fragments", [frame(TEXT, b'"\xe2', fin=False), frame(0, b'\x28"')],
          [closed(1007)])])


def test_closing(launcher):
    check(launcher, [
        ("code echoed", [close(3000, b"bye")], [closed(3000)]),
        ("no code", [close()], [closed(None)]),
        ("one byte", [frame(CLOSE, b"\x03")], [closed(1002)]),
        ("reason not UTF-8", [close(1000, b"\xff")], [closed(1007)]),
        ("nothing after the close", [close(1001), frame(TEXT, HELLO)], [closed(1001)]),
    ] + [("code %d" % code, [close(code)], [closed(1002)])
         for code in (0, 999, 1004, 1005, 1006, 1015, 2999, 5000)])
