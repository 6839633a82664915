"""The web server as a real process on a free port of 127.0.0.1, held to
what a hostile page or client may try: requests from other sites and other
host names, clients that give up on a search, hostile JSON, idle and slow
sockets and floods of them, and what the engine workers hold and do when
the server is gone. Every load is bounded in count and time, and talks only
to 127.0.0.1."""

import asyncio
import http.client
import json
import os
import re
import resource
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

import httpx2 as httpx
from starlette.testclient import TestClient

from flipcore.web.app import create_app
from flipcore.web.guard import machine_names

HOST = "127.0.0.1"
JSON = {"Content-Type": "application/json"}
TRACEBACK = re.compile(r"Traceback|KeyboardInterrupt|ClientDisconnect|Exception in")
# 40 empty squares, X to move: the engine has long searches ahead of it.
MIDGAME = "-------X------X--XXXXX----OXXX--OOOOXO----OOOX-----XX------X---- X"
SHUTTING_DOWN = "the server is shutting down"


class Server:
    """flipcore.cli.serve.serve with the given connection limits, in a
    process of its own (of its own group with group=True); its log goes to
    a file."""

    def __init__(self, log_path, host=HOST, allow_hosts=(), limits="", files=None, group=False):
        code = (
            "import sys\nfrom flipcore.cli.serve import serve\nfrom flipcore.web.connections import ConnectionLimits\n"
            f"try:\n    serve({host!r}, 0, {list(allow_hosts)!r}, connections=ConnectionLimits({limits}))\n"
            "except KeyboardInterrupt:\n    sys.exit(130)\n"
        )
        limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (files, files))) if files else None
        self.log_path = log_path
        with open(log_path, "w") as log:
            self.process = subprocess.Popen(
                [sys.executable, "-P", "-c", code], stdout=subprocess.PIPE, stderr=log, text=True,
                preexec_fn=limit, start_new_session=group,
            )
        line = self.process.stdout.readline()
        found = re.search(r"http://([\d.]+):(\d+)/", line)
        if not found:
            self.stop()
            pytest.fail(f"the server did not start: {line!r} {self.logged()}")
        self.host, self.port = found.group(1), int(found.group(2))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()

    def logged(self):
        return Path(self.log_path).read_text()

    def workers(self):
        with open(f"/proc/{self.process.pid}/task/{self.process.pid}/children") as listed:
            return [int(pid) for pid in listed.read().split()]

    def connection(self):
        return http.client.HTTPConnection(self.host, self.port, timeout=30)

    def request(self, method, path, body=None, headers=JSON):
        """(status, headers, answer) on a new connection; a dict body is sent as JSON."""
        connection = self.connection()
        try:
            connection.request(method, path, json.dumps(body) if isinstance(body, dict) else body, headers)
            answer = connection.getresponse()
            return answer.status, dict(answer.getheaders()), answer.read()
        finally:
            connection.close()

    def json(self, method, path, body=None, headers=JSON):
        status, _, raw = self.request(method, path, body, headers)
        return status, json.loads(raw)

    def new_page(self, **fields):
        status, state = self.json("POST", "/api/games", fields)
        assert status == 201, state
        return state

    def connect(self, head=b""):
        """A raw socket, sent `head` if given."""
        sock = socket.create_connection((self.host, self.port), timeout=10)
        sock.sendall(head)
        return sock


def post_head(path, length, body=b""):
    return (f"POST {path} HTTP/1.1\r\nHost: {HOST}\r\nContent-Type: application/json\r\n"
            f"Content-Length: {length}\r\n\r\n").encode() + body


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    """The server of most tests: short connection limits, one extra name."""
    log = tmp_path_factory.mktemp("web") / "server.log"
    with Server(log, allow_hosts=["board.example"], limits="request_seconds=1.0, keep_alive_seconds=1") as started:
        yield started
    assert not TRACEBACK.search(started.logged()), started.logged()


@pytest.fixture
def closing():
    """Closes the sockets and connections passed to it after the test."""
    opened = []
    yield lambda sock: opened.append(sock) or sock
    for sock in opened:
        sock.close()


def error_of(status_and_answer, status):
    got, answer = status_and_answer
    assert got == status and answer["error"], answer
    return answer["error"]


def proc_stat(pid):
    return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()


def cpu_seconds(pid):
    fields = proc_stat(pid)
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def gone(pid):
    try:
        return proc_stat(pid)[0] == "Z"
    except FileNotFoundError:
        return True


def memory_mb(pid):
    """(resident now, resident at most) of a process, in MiB."""
    found = dict(re.findall(r"^(VmRSS|VmHWM):\s+(\d+) kB", Path(f"/proc/{pid}/status").read_text(), re.MULTILINE))
    return int(found["VmRSS"]) / 1024, int(found["VmHWM"]) / 1024


def closed_within(sock, seconds):
    """True when the server closes the socket within `seconds`."""
    sock.settimeout(seconds)
    try:
        while sock.recv(4096):
            pass
    except TimeoutError:
        return False
    except ConnectionResetError:
        pass
    return True


class TestOriginAndHost:
    def test_other_sites_cannot_create_or_change_games(self, server):
        page = server.new_page()
        own = f"http://{HOST}:{server.port}"
        # Among them the "simple" requests a page may send without a preflight.
        for origin in ("https://evil.example", "null", f"http://{HOST}:{server.port + 1}", f"https://{HOST}:{server.port}"):
            for kind in ("text/plain", "application/x-www-form-urlencoded", "application/json"):
                headers = {"Origin": origin, "Content-Type": kind}
                for path in ("/api/games", f"/api/games/{page['id']}/new"):
                    assert "other sites" in error_of(server.json("POST", path, b"", headers), 403)
        # Without an Origin, a POST must still be declared JSON, empty or not.
        for path in ("/api/games", f"/api/games/{page['id']}/undo"):
            for headers in ({"Content-Type": "text/plain"}, {}):
                assert "as JSON" in error_of(server.json("POST", path, b"", headers), 415)
        # The page's own origin is welcome, and the game is as it was.
        assert server.json("POST", f"/api/games/{page['id']}/move", {"move": "d3"}, {**JSON, "Origin": own})[0] == 200
        assert server.json("GET", f"/api/games/{page['id']}")[1]["record"] == "d3"

    def test_no_site_may_frame_the_page_and_refusals_keep_their_headers(self, server):
        page = server.new_page()
        for path in ("/", "/static/app.js", "/api/games/nope", f"/api/games/{page['id']}/move"):
            status, headers, raw = server.request("GET", path)
            assert headers["x-frame-options"] == "DENY"
            assert "frame-ancestors 'none'" in headers["content-security-policy"]
        assert status == 405 and headers["allow"] == "POST" and json.loads(raw)["error"]

    def test_host_names(self, server, tmp_path):
        port = server.port
        for host in ("evil.example", f"evil.example:{port}", f"127.0.0.2:{port}", "", "a b"):
            assert "does not answer to the host name" in error_of(server.json("GET", "/", headers={"Host": host}), 400)
        for host in (f"127.0.0.1:{port}", f"localhost:{port}", "board.example", f"BOARD.example:{port}", *machine_names()):
            assert server.request("GET", "/", headers={"Host": host})[0] == 200, host
        # The address listened on is answered by the address the server shows.
        with Server(tmp_path / "server.log", host="127.0.0.2") as other:
            assert other.host == "127.0.0.2" and other.request("GET", "/")[0] == 200
        # Listening on every address (0.0.0.0), a request that came in on
        # 10.1.2.3 may name it, but a web site's name is still refused.
        with TestClient(create_app(workers=1), base_url="http://10.1.2.3") as client:
            assert client.get("/").status_code == 200
            refused = client.get("/", headers={"host": "rebound.example"})
            assert refused.status_code == 400 and "host name" in refused.json()["error"]


class TestCancellation:
    @pytest.mark.parametrize("engine", ["think", "minimax"])
    def test_engine_moves_nobody_waits_for_stop_and_free_the_workers(self, server, closing, engine):
        # Ten clients ask for 30-second moves and give up: the workers must
        # not go on with them, and a page's next move must not wait.
        clients = []
        ask = json.dumps({"seconds": 30, "engine": engine}).encode()
        for _ in range(10):
            page = server.new_page(side="O", position=MIDGAME)
            clients.append(closing(server.connect(post_head(f"/api/games/{page['id']}/engine", len(ask), ask))))
        time.sleep(0.5)
        workers = server.workers()
        started = [cpu_seconds(pid) for pid in workers]
        time.sleep(0.5)
        busy = [cpu_seconds(pid) - b for pid, b in zip(workers, started)]
        assert len(workers) == 2 and all(b > 0.1 for b in busy), busy
        for sock in clients:
            sock.close()
        began = time.monotonic()
        page = server.new_page(side="O")
        assert server.json("POST", f"/api/games/{page['id']}/engine", {"depth": 2})[1]["turn"] == "you"
        assert time.monotonic() - began < 5
        time.sleep(0.5)
        idle = [cpu_seconds(pid) for pid in workers]
        time.sleep(1.0)
        assert all(cpu_seconds(pid) - b < 0.1 for pid, b in zip(workers, idle))


HOSTILE_BODIES = [
    (b"[" * 5000 + b"]" * 5000, "nests more than"),
    (b'{"a":' * 2000 + b"1" + b"}" * 2000, "nests more than"),
    (b'{"\\ud800": 1}', 'unknown field(s) "\\ud800"'),
    ('{"\ud800\udfff": 1}'.encode("utf-8", "surrogatepass"), 'unknown field(s) "\\ud800\\udfff"'),
    (b'{"move": "d3", "x\\u0000y": 1}', 'unknown field(s) "x\\u0000y"'),
    (b'{"move": "\\ud800"}', "not a square name"),
    ('{"move": "\u00e93"}'.encode(), "not a square name (a1 to h8): '\u00e93'"),
    (b'{"move": "d3", "\xff": 1}', "not valid JSON"),
    (b'{"move": 1' + b"0" * 5000 + b"}", "not valid JSON"),
    (b'{"move": "d3", "move": [[["d3"]]]}', "move must be a string"),
    (b'["[[[[[[[[[[[[[[[[[[[[[[["]', "JSON object"),
]


class TestHostileBodies:
    def test_hostile_json_gets_a_400_in_plain_ascii(self, server):
        page = server.new_page()
        for body, words in HOSTILE_BODIES:
            status, _, raw = server.request("POST", f"/api/games/{page['id']}/move", body)
            assert status == 400 and words in json.loads(raw.decode("ascii"))["error"], (body[:40], raw)

    def test_a_client_leaving_amid_its_body_is_not_an_error(self, server):
        page = server.new_page()
        before = server.logged()
        sock = server.connect(post_head(f"/api/games/{page['id']}/move", 100, b'{"mo'))
        time.sleep(0.3)
        sock.close()
        time.sleep(0.3)
        assert server.logged() == before and server.json("GET", f"/api/games/{page['id']}")[0] == 200


class TestConnectionLimits:
    def test_idle_and_slow_sockets_are_closed(self, server, closing):
        idle = [closing(server.connect()) for _ in range(20)]
        slow_head = closing(server.connect())
        slow_body = closing(server.connect(post_head("/api/games", 50)))
        # After one answer, the second request comes as slowly.
        slow_second = closing(server.connect(f"GET /api/games/nope HTTP/1.1\r\nHost: {HOST}\r\n\r\n".encode()))
        assert b"404" in slow_second.recv(4096)
        began = time.monotonic()
        # A byte every 0.2 s: each of them arrives in time, the request never.
        open_for = {}
        for byte in b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n":
            for sock, sent in ((slow_head, byte), (slow_body, ord(" ")), (slow_second, byte)):
                try:
                    if sock not in open_for:
                        sock.sendall(bytes([sent]))
                except OSError:
                    open_for[sock] = time.monotonic() - began
            if len(open_for) == 3:
                break
            time.sleep(0.2)
        # Cut off after the 1-second limit (a send fails a little after the
        # close), well before the last byte.
        assert len(open_for) == 3 and max(open_for.values()) < 2.0, open_for
        assert all(closed_within(sock, 1) for sock in idle)
        assert server.request("GET", "/")[0] == 200

    def test_a_flood_of_idle_sockets_under_a_low_descriptor_limit(self, tmp_path, closing):
        # 256 descriptors, 300 idle sockets: the oldest idle ones make room,
        # so a page is answered at once, and the log says once that
        # accepting failed rather than a traceback per attempt.
        with Server(tmp_path / "server.log", limits="request_seconds=30", files=256) as flooded:
            flood = [closing(flooded.connect()) for _ in range(300)]
            time.sleep(1.5)
            began = time.monotonic()
            assert flooded.new_page()["turn"] == "you" and time.monotonic() - began < 5
            log = flooded.logged()
            assert not TRACEBACK.search(log) and log.count("cannot accept connections") <= 1, log[:3000]
            assert sum(closed_within(sock, 0.01) for sock in flood) >= 300 - 64


class TestWorkerMemoryAndOrphans:
    # Each on a server of its own, whose workers ran nothing else: a worker
    # may keep a table of up to 32 MiB from an earlier job. minimax's table
    # grows to hundreds of MB in 2.5 s; think's search table alone is 12 MiB,
    # filled as the search starts. What stays is the interpreter (and
    # think's weights, 5 MB).
    @pytest.mark.parametrize("engine, given_back_mb", [("minimax", 40), ("think", 10)])
    def test_an_idle_worker_gives_its_tables_back(self, tmp_path, engine, given_back_mb):
        with Server(tmp_path / "server.log") as server:
            page = server.new_page()
            # 2.5 s: longer than the 1-second limit on reading a request, which
            # must not cut its answer short.
            status, _, raw = server.request(
                "POST", f"/api/games/{page['id']}/analyse", {"seconds": 2.5, "engine": engine}
            )
            assert status == 200 and json.loads(raw.splitlines()[-1]) == {"type": "done", "reason": "time"}
            workers = server.workers()

            def given_back(memory):
                # Each idle worker is small again, and one held much more.
                return all(now <= 48 for now, _ in memory) and any(peak - now >= given_back_mb for now, peak in memory)

            # The worker gives its tables back just after its last line.
            deadline = time.monotonic() + 3
            while not given_back(memory := [memory_mb(pid) for pid in workers]) and time.monotonic() < deadline:
                time.sleep(0.1)
            assert given_back(memory), memory
            # The same workers search on.
            assert server.json("POST", f"/api/games/{page['id']}/move", {"move": "d3"})[0] == 200
            assert server.json("POST", f"/api/games/{page['id']}/engine", {"depth": 3})[0] == 200
            assert server.workers() == workers

    def test_a_worker_ends_when_its_server_is_killed(self, tmp_path, closing):
        with Server(tmp_path / "server.log") as killed:
            page = killed.new_page()
            connection = closing(killed.connection())
            connection.request("POST", f"/api/games/{page['id']}/analyse", b'{"seconds": 60}', JSON)
            answer = connection.getresponse()
            # Once a depth takes half a second, the next takes longer: a
            # worker left to itself would search on, and only fail to send
            # its line then.
            while json.loads(answer.readline())["seconds"] < 0.5:
                pass
            (worker,) = killed.workers()
            killed.process.kill()
            killed.process.wait()
            deadline = time.monotonic() + 0.25
            while not gone(worker) and time.monotonic() < deadline:
                time.sleep(0.01)
            assert gone(worker)


class TestShutdown:
    def test_ctrl_c_ends_searches_saying_so_and_starting_workers_quietly(self, tmp_path, closing):
        # Ctrl-C at a terminal signals the whole process group: the server
        # and, unless kept apart, its workers.
        with Server(tmp_path / "server.log", group=True) as stopping:
            analysed, moving = stopping.new_page(), stopping.new_page(side="O", position=MIDGAME)
            stream, move = closing(stopping.connection()), closing(stopping.connection())
            stream.request("POST", f"/api/games/{analysed['id']}/analyse", b'{"seconds": 60}', JSON)
            analysis = stream.getresponse()
            assert json.loads(analysis.readline())["type"] == "depth"
            move.request("POST", f"/api/games/{moving['id']}/engine", b'{"seconds": 30}', JSON)
            time.sleep(0.15)  # the second worker is starting (it takes longer)
            os.killpg(stopping.process.pid, signal.SIGINT)
            assert json.loads(analysis.read().splitlines()[-1]) == {"type": "stopped", "reason": SHUTTING_DOWN}
            answer = move.getresponse()
            assert answer.status == 503 and json.loads(answer.read())["error"] == SHUTTING_DOWN
            stopping.process.wait(timeout=20)
            assert not TRACEBACK.search(stopping.logged()), stopping.logged()

    def test_no_job_starts_once_the_server_is_shutting_down(self):
        async def main():
            app = create_app(workers=1)
            async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url=f"http://{HOST}") as client:
                page = (await client.post("/api/games", json={"side": "O"})).json()
                await app.state.server.stop_all()
                answers = [await client.post(f"/api/games/{page['id']}/{what}", json={}) for what in ("engine", "analyse")]
            return answers, app.state.server.pool.pids()

        answers, pids = asyncio.run(main())
        assert pids == [] and all(a.status_code == 503 and a.json()["error"] == SHUTTING_DOWN for a in answers)
