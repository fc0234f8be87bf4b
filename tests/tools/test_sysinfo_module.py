"""The example module: its requests and messages, called in-process, and what its Windows build imports."""

import ctypes
import json
import os
import re
import shutil
import subprocess

import pytest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MODULE_DIR = os.path.join(SOURCE, "examples", "sysinfo")
FLAGS = ["-O1", "-Wall", "-Wextra", "-Wpedantic", "-Werror", "-I", os.path.join(SOURCE, "src", "modules")]


def sources(platform):
    return [os.path.join(MODULE_DIR, name) for name in ("sysinfo.c", "sysinfo_%s.c" % platform)]

REQUEST = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p)
POLL = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p)
RELEASE = ctypes.CFUNCTYPE(None, ctypes.c_void_p)


class Handler(ctypes.Structure):
    _fields_ = [("handleRequest", REQUEST), ("pollMessages", POLL),
                ("releaseReply", RELEASE), ("releaseMessages", RELEASE)]


@pytest.fixture(scope="module")
def handler(tmp_path_factory):
    library = str(tmp_path_factory.mktemp("sysinfo") / "sysinfo.so")
    subprocess.run(["cc", "-shared", "-fPIC", "-fvisibility=hidden"] + FLAGS + sources("linux")
                   + ["-o", library, "-lpthread"], check=True)
    register = ctypes.CDLL(library).registerHandler
    register.restype = ctypes.POINTER(Handler)
    return register().contents


def ask(handler, request):
    reply = handler.handleRequest(0x1000, request)
    assert reply
    text = ctypes.string_at(reply)
    handler.releaseReply(reply)
    return json.loads(text.decode("utf-8"))  # strict: a frame must be valid UTF-8


def poll(handler, connection):
    array = handler.pollMessages(connection)
    if not array:
        return []
    entries = ctypes.cast(array, ctypes.POINTER(ctypes.c_char_p))
    texts = []
    while entries[len(texts)] is not None:
        texts.append(json.loads(entries[len(texts)].decode("utf-8")))
    handler.releaseMessages(array)
    return texts


def test_facts_describe_this_machine(handler):
    facts = ask(handler, b'{"op":"facts"}')
    uname = os.uname()
    assert [facts[name] for name in ("host", "os", "release", "version", "machine")] == \
        [uname.nodename, uname.sysname, uname.release, uname.version, uname.machine]
    assert facts["cpus"] == os.cpu_count()
    assert facts["memory"]["total"] == os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    assert 0 < facts["memory"]["free"] <= facts["memory"]["total"]
    assert facts["uptime"] > 0


@pytest.mark.parametrize("request_text, text", [
    (rb'{"op":"echo","text":"plain"}', "plain"),
    (rb'{"text":"\"q\" \\ \/ \b\f\n\r\t", "op":"echo"}', '"q" \\ / \b\f\n\r\t'),
    (rb'{"op":"echo","text":"a\u0000b\u001f\u00e9\u2713\ud83d\ude00"}', "a\x00b\x1f\u00e9\u2713\U0001F600"),
    (rb'{"op":"echo","text":"lone \ud800 and \udc00"}', "lone \ufffd and \ufffd"),
    ('{"op":"echo","text":"raw ünï ✓"}'.encode(), "raw ünï ✓"),
    (b'{"op":"echo","text":"bad \xff\xc0\x80 bytes"}', "bad \ufffd\ufffd\ufffd bytes"),
    (rb'{"op":"echo","text":""}', ""),
    (rb' {"skip":[1,-2.5e3,{"a":[true,false,null]}],"op":"echo","text":"x"} ', "x"),
])
def test_echo_returns_the_decoded_text(handler, request_text, text):
    assert ask(handler, request_text) == {"op": "echo", "text": text}


@pytest.mark.parametrize("request_text", [
    b"", b"null", b"[]", b'"op"', b'{"op":"facts"', b'{"op":"facts",}', b'{"op":"facts"} x',
    b'{"op":"echo","text":"open', b'{"op":"echo","text":"\\x"}', b'{"op":"echo","text":"\\u12"}',
    b'{"op":"echo","text":"tab\there"}', b'{"op" "facts"}', b'{"op":facts}',
    b'{"deep":' + b"[" * 100000 + b"]" * 100000 + b',"op":"facts"}',
])
def test_malformed_requests_get_an_error(handler, request_text):
    assert set(ask(handler, request_text)) == {"error"}


@pytest.mark.parametrize("request_text", [
    b'{"op":1}', b'{"op":"Facts"}', b'{"op":"facts\\u0000"}', b'{"op":"echo"}', b'{"op":"echo","text":5}',
])
def test_wrong_operations_get_an_error(handler, request_text):
    assert set(ask(handler, request_text)) == {"error"}


def test_each_connection_is_timed_on_its_own(handler):
    first = poll(handler, 0x10)
    assert len(first) == 1 and first[0]["tick"] == 1
    assert set(first[0]) == {"clock", "load", "tick"} and len(first[0]["load"]) == 3
    assert poll(handler, 0x10) == []  # not yet due again
    assert [m["tick"] for m in poll(handler, 0x20)] == [1]


@pytest.mark.parametrize("arch", ["i686", "x86_64"])
def test_windows_build_needs_only_system_dlls(tmp_path, arch):
    compiler = shutil.which("%s-w64-mingw32-gcc-posix" % arch)
    objdump = shutil.which("%s-w64-mingw32-objdump" % arch)
    if compiler is None or objdump is None:
        pytest.skip("the %s mingw-w64 tools are not installed" % arch)
    library = str(tmp_path / "sysinfo.dll")
    subprocess.run([compiler, "-shared"] + FLAGS + sources("win32")
                   + ["-o", library, "-static", "-static-libgcc"], check=True)
    headers = subprocess.run([objdump, "-p", library], check=True, capture_output=True, text=True).stdout
    imports = {line.split(":", 1)[1].strip().lower() for line in headers.splitlines() if "DLL Name:" in line}
    # What the module needs today; any other DLL, system or not, is a new dependency to weigh.
    assert imports and imports <= {"kernel32.dll", "msvcrt.dll", "ntdll.dll"}
    exports = headers.split("[Ordinal/Name Pointer] Table", 1)[1].split("\n\n", 1)[0]
    assert re.findall(r"\]\s*(\S+)", exports) == ["registerHandler"]
