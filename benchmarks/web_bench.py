"""How the web page's server answers while its engine works.

Starts `flipcore serve` on a free loopback port and measures, over HTTP as a
browser would call it:

- page: loading the page (GET /);
- reply: a move of the person and the engine's reply at depth 8, ten times
  from the start of a game (the person plays the engine's first choice
  too, so every run plays the same game);
- busy: reading a page's state (GET /api/games/ID) while two other pages
  each run a 3-second analysis on both engine workers: the server's event
  loop stays free, so this takes about as long as on an idle server;
- stop: a move on a page whose analysis is running; the move first stops
  the search, so this is the time to stop a search and answer;
- exact: an analysis from 18 empty squares, until the exact result is in.

Prints the median and the largest of each. Every request goes to 127.0.0.1
only; the run is bounded (about 30 seconds).

    python benchmarks/web_bench.py
"""

from __future__ import annotations

import json
import random
import re
import statistics
import subprocess
import sys
import threading
import time
import urllib.request
from typing import Any

from flipcore import Position

HEADERS = {"Content-Type": "application/json"}


def request(base: str, path: str, body: dict[str, Any] | None = None) -> tuple[float, bytes]:
    """Seconds taken and the answer's body."""
    data = None if body is None else json.dumps(body).encode()
    began = time.perf_counter()
    with urllib.request.urlopen(urllib.request.Request(base + path, data=data, headers=HEADERS), timeout=60) as answer:
        content = answer.read()
    return time.perf_counter() - began, content


def post(base: str, path: str, body: dict[str, Any]) -> tuple[float, dict[str, Any]]:
    took, content = request(base, path, body)
    return took, json.loads(content)


def report(name: str, times: list[float]) -> None:
    median = statistics.median(times) * 1000
    print(f"{name:6s} {median:9.1f} ms median {max(times) * 1000:9.1f} ms largest   ({len(times)} requests)")


def position_with_empties(count: int, seed: int) -> Position:
    position, rnd = Position.start(), random.Random(seed)
    while position.text().count("-") > count:
        moves = position.legal_moves()
        position = position.play(rnd.choice(moves)) if moves else position.pass_()
    return position


def main() -> None:
    server = subprocess.Popen(
        [sys.executable, "-P", "-m", "flipcore", "serve", "--port", "0"], stdout=subprocess.PIPE, text=True
    )
    try:
        assert server.stdout is not None
        found = re.search(r"http://127\.0\.0\.1:\d+", server.stdout.readline())
        assert found, "the server printed no address"
        base = found.group(0)

        report("page", [request(base, "/")[0] for _ in range(20)])

        _, state = post(base, "/api/games", {"depth": 8})
        game = f"/api/games/{state['id']}"
        request(base, game + "/analyse", {"max_depth": 1})  # starts a worker
        replies = []
        for _ in range(10):
            # The person's move: the engine's own choice from X's side.
            _, line = request(base, game + "/analyse", {"max_depth": 8})
            best = json.loads(line.splitlines()[-2])["moves"][0]
            move_took, state = post(base, game + "/move", {"move": best})
            reply_took, state = post(base, game + "/engine", {"depth": 8})
            replies.append(move_took + reply_took)
        report("reply", replies)

        pages = [post(base, "/api/games", {})[1]["id"] for _ in range(3)]
        thinking = [
            threading.Thread(target=request, args=(base, f"/api/games/{pid}/analyse", {"seconds": 3}))
            for pid in pages[:2]
        ]
        for thread in thinking:
            thread.start()
        time.sleep(0.3)
        busy = []
        while any(thread.is_alive() for thread in thinking) and len(busy) < 200:
            busy.append(request(base, f"/api/games/{pages[2]}")[0])
            time.sleep(0.01)
        for thread in thinking:
            thread.join()
        report("busy", busy)

        stops = []
        for _ in range(5):
            _, state = post(base, "/api/games", {})
            analysing = threading.Thread(
                target=request, args=(base, f"/api/games/{state['id']}/analyse", {"seconds": 20})
            )
            analysing.start()
            time.sleep(0.5)
            stops.append(post(base, f"/api/games/{state['id']}/move", {"move": "d3"})[0])
            analysing.join()
        report("stop", stops)

        exact = []
        for seed in range(5):
            position = position_with_empties(18, seed)
            side = "X" if position.player == 1 else "O"
            _, state = post(base, "/api/games", {"side": side, "position": position.text()})
            took, content = request(base, f"/api/games/{state['id']}/analyse", {"seconds": 30})
            assert json.loads(content.splitlines()[-1])["reason"] == "exact"
            exact.append(took)
        report("exact", exact)
    finally:
        server.terminate()
        server.wait(timeout=20)


if __name__ == "__main__":
    main()
