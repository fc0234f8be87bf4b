"""The catalogue's three states as HELLO shows them, and INITMC."""

import time

import pytest

from conftest import CATALOGUE_PATH, project_version


def test_ready_while_fetching_then_loaded_for_good(launcher, catalogue_server):
    catalogue_server.publish("echo")
    catalogue_server.rule(CATALOGUE_PATH, {"stall": 2})
    client = launcher().connect()
    assert client.call({"act": "HELLO"})["ready"] == 0
    # Nothing is listed until the document has arrived.
    assert client.load("echo")["result"] == 6
    # A fetch runs already: INITMC starts no other.
    assert client.call({"act": "INITMC"}) == {"act": "INITMC"}
    client.wait_ready(1)
    client.send({"request": {"act": "HELLO"}})
    assert client.next().text == ('{\n\t"act" : "HELLO",\n\t"ready" : 1,\n\t"version" : "%s"\n}'
                                  % project_version())
    assert client.load("echo")["result"] == 2

    # Loaded is final: INITMC answers at once and fetches nothing.
    assert client.call({"act": "INITMC"}) == {"act": "INITMC"}
    assert client.call({"act": "HELLO"})["ready"] == 1
    time.sleep(0.5)  # time for a wrongly started fetch to reach the server
    assert len(catalogue_server.requests(CATALOGUE_PATH)) == 1


# Each fault is a change to the served text or a server rule for the path.
BROKEN = {
    "not found": {"status": 404},
    "empty body": {"empty": True},
    "partial content": {"force_206": True},
    # /r/N/x is N redirects to x: with the first one, four in all.
    "four redirects": {"redirect": "/r/3" + CATALOGUE_PATH},
    # What strict reading refuses beyond the reader's own strict mode (the
    # rest is tested in json_text_test.cpp).
    "comment": lambda doc: doc.replace('"latest"', '/* c */ "latest"', 1),
    "byte-order mark": lambda doc: "\ufeff" + doc,
}


@pytest.mark.parametrize("fault", list(BROKEN) + ["no server"])
def test_failed_fetch_reads_minus_one_until_initmc_succeeds(launcher, catalogue_site, fault):
    catalogue_site.publish("echo")
    good = catalogue_site.catalogue_file.read_text()
    if fault != "no server":
        catalogue_site.start()
        if isinstance(BROKEN[fault], dict):
            catalogue_site.rule(CATALOGUE_PATH, dict(BROKEN[fault], times=1))
        else:
            catalogue_site.write_catalogue(BROKEN[fault](good))

    client = launcher().connect()
    client.wait_ready(-1)
    assert client.load("echo")["result"] == 6

    catalogue_site.write_catalogue(good)
    if fault == "no server":
        catalogue_site.start()
    # Three redirects are followed.
    catalogue_site.rule(CATALOGUE_PATH, {"stall": 0.5, "redirect": "/r/2" + CATALOGUE_PATH,
                                         "times": 1})
    assert client.call({"act": "INITMC"}) == {"act": "INITMC"}
    assert client.call({"act": "HELLO"})["ready"] == 0
    client.wait_ready(1)
    assert client.load("echo")["result"] == 2
