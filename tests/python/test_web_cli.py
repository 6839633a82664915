"""flipcore serve as a user runs it: the address it prints, the page behind
it, Ctrl-C, the warning off this machine, and its usage errors."""

import json
import re
import signal
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import pytest

from flipcore.cli import main
from flipcore.cli.serve import is_loopback, page_address

SERVE = [sys.executable, "-P", "-m", "flipcore", "serve"]
JSON = {"Content-Type": "application/json"}


def children(pid):
    """The process ids of a process's children (Linux)."""
    with open(f"/proc/{pid}/task/{pid}/children") as listed:
        return [int(child) for child in listed.read().split()]


def test_serves_the_page_at_the_address_it_prints_and_stops_on_ctrl_c():
    server = subprocess.Popen([*SERVE, "--port", "0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = server.stdout.readline()
        found = re.fullmatch(r"flipcore is serving the board at (http://127\.0\.0\.1:\d+/) \(Ctrl-C stops it\)\n", line)
        assert found, line
        with urllib.request.urlopen(found.group(1), timeout=10) as page:
            assert b"<title>flipcore" in page.read()
        request = urllib.request.Request(found.group(1) + "api/games", data=b'{"side": "X"}', headers=JSON)
        with urllib.request.urlopen(request, timeout=10) as answer:
            assert answer.status == 201
            page = json.load(answer)
        # A long analysis is running when Ctrl-C comes: the server still ends
        # at once, and its engine worker with it.
        analysis = urllib.request.urlopen(
            urllib.request.Request(
                f"{found.group(1)}api/games/{page['id']}/analyse", data=b'{"seconds": 60}', headers=JSON
            ),
            timeout=60,
        )
        assert json.loads(analysis.readline())["type"] == "depth"
        workers = children(server.pid)
        assert len(workers) == 1
        began = time.monotonic()
        server.send_signal(signal.SIGINT)
        try:
            out, err = server.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            server.kill()
            pytest.fail(f"the server did not stop on Ctrl-C; it wrote {server.communicate()}")
        assert time.monotonic() - began < 8
        analysis.close()
        assert not Path(f"/proc/{workers[0]}").exists()
    finally:
        if server.poll() is None:
            server.kill()
            server.communicate()
    assert server.returncode == 130 and "Traceback" not in err, err


@pytest.mark.parametrize(
    "host, words",
    [
        # A documentation address no machine has: nothing to warn about, as
        # nothing will listen.
        ("192.0.2.1", "cannot listen on 192.0.2.1: it is not an address of this machine"),
        ("999.1.1.1", "cannot listen on 999.1.1.1: not an IPv4 address"),
        ("no-such-host.invalid", "cannot listen on no-such-host.invalid: not an address or a name of this machine"),
    ],
)
def test_an_address_that_cannot_be_listened_on_is_one_line(capsys, host, words):
    assert main(["serve", "--host", host, "--port", "0"]) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"flipcore: error: {words}") and err.count("\n") == 1


def test_a_port_in_use_is_one_line(capsys):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        assert main(["serve", "--port", str(port)]) == 2
    err = capsys.readouterr().err
    assert err == f"flipcore: error: port {port} on 127.0.0.1 is in use: stop what listens there or choose another --port\n"


@pytest.mark.parametrize(
    "args, words",
    [
        (["--port", "70000"], "port must be a whole number from 0 to 65535, got '70000'"),
        (["--port", "web"], "port must be a whole number"),
        (["--colour", "X"], "unrecognized arguments: --colour X"),
        (["--allow-host", "board.example:8000"], "a host name is letters, digits, dots and hyphens (no port)"),
        (["--allow-host", "http://board.example/"], "a host name is letters"),
    ],
)
def test_usage_errors(capsys, args, words):
    assert main(["serve", *args]) == 2
    assert words in capsys.readouterr().err


def test_without_the_web_extra_says_what_to_install(capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "uvicorn", None)
    assert main(["serve", "--port", "0"]) == 2
    assert "flipcore serve needs the web extra (uvicorn is missing): pip install 'flipcore[web]'" in capsys.readouterr().err


def test_loopback_names_and_addresses():
    assert all(is_loopback(h) for h in ("127.0.0.1", "127.5.0.1", "localhost", "::1", "[::1]"))
    assert not any(is_loopback(h) for h in ("0.0.0.0", "::", "192.168.1.4", "example.org", ""))
    assert page_address("::1", 8000) == "http://[::1]:8000/"
    assert page_address("127.0.0.1", 80) == "http://127.0.0.1:80/"
