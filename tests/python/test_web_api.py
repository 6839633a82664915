"""The web app's JSON API through an ASGI test client: whole games, passes,
illegal moves, bad positions and records, the caps, several pages at once,
stopping a page's search by a newer request, and the engine workers."""

import asyncio
import json
import os
import random
import re
import signal
import time
from pathlib import Path

import pytest

# The web extras (pip install '.[webtest]'); the test command installs them.
import httpx2 as httpx
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from starlette.testclient import TestClient

from flipcore import Game, Position, review, search, table_limit, think
from flipcore.solve import EXACT_EMPTIES
from flipcore.think import release_table
from flipcore.web.worker import describe_value
from flipcore.web.app import STATIC, Limits, create_app
from flipcore.web.engine import STOP_GRACE_SECONDS, EnginePool, JobStopped, WorkerError

LOCAL = "http://127.0.0.1"
# X to move; d8 leaves O without a move while X still has some.
BEFORE_PASS = "----XXX------X-----OOO----OOO---OO-OOO---OOXOOO---OOXO----X-OX-- X"
BEFORE_PASS_RECORD = "c4e3f2c6e6f3d6f6e7e8d7c7f7f1c8g6g1d3b6b5f8a5e1f5"


@pytest.fixture(scope="module")
def client():
    with TestClient(create_app(workers=2), base_url=LOCAL) as c:
        yield c


def new_page(client, **fields):
    answer = client.post("/api/games", json=fields)
    assert answer.status_code == 201, answer.text
    return answer.json()


def post(client, state, what, **fields):
    return client.post(f"/api/games/{state['id']}/{what}", json=fields)


def stream_lines(client, state, what, **fields):
    with client.stream("POST", f"/api/games/{state['id']}/{what}", json=fields) as answer:
        assert answer.status_code == 200, answer.read()
        return [json.loads(line) for line in answer.iter_lines() if line.strip()]


def error_of(answer, status):
    assert answer.status_code == status, answer.text
    message = answer.json()["error"]
    assert isinstance(message, str) and message
    assert "Traceback" not in answer.text
    return message


def cpu_seconds(pid):
    """The processor time a process has used so far."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def empties(text):
    return Position.from_text(text).text().count("-")


def position_with_empties(count, seed):
    position, rnd = Position.start(), random.Random(seed)
    while position.text().count("-") > count:
        moves = position.legal_moves()
        position = position.play(rnd.choice(moves)) if moves else position.pass_()
    return position


class TestGames:
    def test_a_whole_game_to_the_end_then_its_review(self, client):
        state = new_page(client, depth=1)
        assert state["turn"] == "you" and state["you"] == "X"
        assert state["legal"] == ["d3", "c4", "f5", "e6"]
        assert state["svg"].count('class="move"') == 4
        rnd = random.Random(7)
        positions = [Position.start()]
        while state["turn"] != "over":
            if state["turn"] == "you":
                state = post(client, state, "move", move=rnd.choice(state["legal"])).json()
            else:
                answer = post(client, state, "engine", depth=1)
                assert answer.status_code == 200, answer.text
                state = answer.json()
                assert state["announce"][0].startswith("The engine (O) plays ")
            positions.append(Position.from_text(state["position"]))
        # The page's record is the game: replayed, it ends in the same position.
        game = Game.from_record(state["record"])
        assert game.is_over() and game.positions()[-1] == Position.from_text(state["position"])
        x, o = game.result()
        assert state["result"]["X"] == x and state["result"]["O"] == o
        assert state["legal"] == [] and state["svg"].count('class="move"') == 0
        assert error_of(post(client, state, "move", move="a1"), 409).startswith("the game is over")
        assert error_of(post(client, state, "analyse"), 409).startswith("the game is over")

        lines = stream_lines(client, state, "review", depth=2)
        progress = [line for line in lines if line["type"] == "progress"]
        assert progress and progress[-1]["done"] == progress[-1]["total"]
        review = lines[-1]["review"]
        assert lines[-1]["type"] == "done" and review["record"] == state["record"]
        assert [m["move"] for m in review["moves"]] == [p["move"] for p in state["plies"] if p["move"] != "pass"]
        assert any(m["exact"] for m in review["moves"])  # the last moves are solved

    def test_passes_happen_by_themselves_and_are_announced(self, client):
        state = new_page(client, position=BEFORE_PASS)
        state = post(client, state, "move", move="d8").json()
        assert state["announce"] == ["O has no legal move and passes."]
        assert state["turn"] == "you" and state["player"] == "X"
        assert [p["move"] for p in state["plies"]] == ["d8", "pass"]
        # A pass leaves no move in the record.
        assert state["record"].endswith(" d8")

        # Loaded as a record, the pass comes the same way, and undo takes back
        # the move with the pass after it.
        state = post(client, state, "new", record=BEFORE_PASS_RECORD + "d8").json()
        assert state["plies"][-1] == {"side": "O", "move": "pass", "by": "rules"}
        assert state["announce"] == ["Loaded: 25 moves played; you play X."]
        assert state["turn"] == "you"
        state = post(client, state, "undo").json()
        assert state["record"] == BEFORE_PASS_RECORD and state["position"] == BEFORE_PASS

    def test_engine_moves_first_when_you_play_O_and_undo_rules(self, client):
        state = new_page(client, side="O")
        assert state["turn"] == "engine" and not state["can_undo"]
        assert error_of(post(client, state, "move", move="d3"), 409) == "it is the engine's turn, not yours"
        assert "no move of yours (O)" in error_of(post(client, state, "undo"), 409)
        state = post(client, state, "engine", depth=2).json()
        assert state["turn"] == "you" and len(state["plies"]) == 1
        assert error_of(post(client, state, "engine"), 409) == "it is not the engine's turn"
        state = post(client, state, "move", move=state["legal"][0]).json()
        state = post(client, state, "engine", depth=2).json()
        before_undo = state["plies"]
        state = post(client, state, "undo").json()
        assert state["plies"] == before_undo[:1] and state["turn"] == "you"

    def test_near_the_end_the_analysis_and_the_engine_solve_exactly(self, client):
        position = position_with_empties(14, seed=3)
        assert empties(position.text()) <= EXACT_EMPTIES and position.legal_moves()
        side = "X" if position.player == 1 else "O"
        state = new_page(client, side=side, position=position.text())
        lines = stream_lines(client, state, "analyse", seconds=20)
        assert lines[-1] == {"type": "done", "reason": "exact"}
        solved = next(line for line in lines if line["type"] == "exact")
        # The bounds close in on the score the solver proves.
        bounds = [line for line in lines if line["type"] == "bounds"]
        assert bounds and bounds[-1]["lower"] <= solved["score"] <= bounds[-1]["upper"]
        assert set(solved["moves"]) <= set(state["legal"]) and solved["line"][0] in solved["moves"]
        assert solved["words"].startswith(("X wins", "O wins", "draw"))

        state = post(client, state, "move", move=solved["moves"][0]).json()
        assert state["turn"] == "engine"
        state = post(client, state, "engine", depth=2).json()
        exact = state["engine"]["exact"]
        assert exact is not None and state["engine"]["depth"] is None
        # Both sides played perfectly: the score stays the one proved.
        assert exact["score"] == solved["score"]
        assert f"It has solved the game: {exact['words']} with perfect play from here." in state["announce"]


class TestEngines:
    """think is the page's engine unless a request names minimax; a value
    the page shows is think's own, in discs, or minimax's, in its units."""

    def test_an_engine_move_is_think_at_the_same_depth_or_minimax_in_its_units(self, client):
        position = position_with_empties(44, seed=7)
        you = "O" if position.player == 1 else "X"
        state = new_page(client, side=you, position=position.text())
        moved = post(client, state, "engine", depth=5).json()
        release_table()  # the worker's table is new for each job: so is this one
        expected = think(position, depth=5)
        line = moved["engine"]["depth"]
        assert line["units"] == "discs" and line["depth"] == 5
        assert line["value"] == expected.value and line["moves"] == expected.line_names()
        assert moved["record"].endswith(expected.name()) and moved["settings"]["engine"] == "think"
        assert f"It expects {line['words']} (depth 5)." in moved["announce"]

        state = new_page(client, side=you, position=position.text())
        moved = post(client, state, "engine", depth=3, engine="minimax").json()
        expected_search = search(position, 3)
        line = moved["engine"]["depth"]
        assert line["units"] == "engine" and line["value"] == expected_search.value
        assert line["words"] == describe_value(expected_search.value)
        assert moved["settings"]["engine"] == "minimax"
        assert not any(said.startswith("It expects") for said in moved["announce"])
        # The page keeps the engine it last asked for: the analysis is minimax's.
        assert moved["turn"] == "you"
        lines = stream_lines(client, moved, "analyse", max_depth=2)
        assert [line["units"] for line in lines if line["type"] == "depth"] == ["engine"] * 2
        lines = stream_lines(client, moved, "analyse", max_depth=3, engine="think")
        assert [line["units"] for line in lines if line["type"] == "depth"] == ["discs"] * 3

    @pytest.mark.parametrize("engine", ["think", "minimax"])
    def test_the_review_is_the_engines_own(self, client, engine):
        record = "f5d6c3d3c4f4f6f3e6e7d7c6"
        state = new_page(client, record=record)
        lines = stream_lines(client, state, "review", depth=3, engine=engine)
        got = lines[-1]["review"]
        expected = review(record, depth=3, engine=engine).to_dict()
        assert got["engine"] == engine
        assert [(m["value"], m["best_value"], m["loss"], m["mark"]) for m in got["moves"]] == [
            (m["value"], m["best_value"], m["loss"], m["mark"]) for m in expected["moves"]
        ]

    def test_cancelling_stops_a_think_at_once(self):
        async def main():
            pool = EnginePool(1)
            try:
                lines = []
                job = asyncio.create_task(
                    pool.run({"kind": "analyse", "engine": "think", "position": Position.start().text(), "max_depth": 60}, 30, lines.append)
                )
                # Deep enough that each depth takes a while, then stop it.
                while not any(line["depth"] >= 12 for line in lines) and not job.done():
                    await asyncio.sleep(0.01)
                (pid,) = pool.pids()
                began = time.monotonic()
                job.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await job
                assert time.monotonic() - began < 0.5
                assert all(line["units"] == "discs" for line in lines)
                # The worker did stop: it uses no more processor time, and
                # its next job runs at once.
                spent = cpu_seconds(pid)
                await asyncio.sleep(0.5)
                assert cpu_seconds(pid) - spent < 0.05
                done = await pool.run({"kind": "move", "engine": "think", "position": Position.start().text(), "depth": 4, "seconds": 5}, 6)
                assert done["depth"]["depth"] == 4 and pool.pids() == [pid]
            finally:
                await pool.close()

        asyncio.run(main())


class TestBadRequests:
    def test_illegal_and_malformed_moves(self, client):
        state = new_page(client)
        message = error_of(post(client, state, "move", move="a1"), 409)
        assert message == "a1 is not a legal move for X; legal moves: d3 c4 f5 e6"
        assert "not a square name" in error_of(post(client, state, "move", move="z9"), 400)
        assert "say which square" in error_of(post(client, state, "move"), 400)
        assert "move must be a string" in error_of(post(client, state, "move", move=[3, 2]), 400)
        assert "too long" in error_of(post(client, state, "move", move="d3" * 10), 400)
        # Nothing changed.
        assert client.get(f"/api/games/{state['id']}").json()["plies"] == []

    @pytest.mark.parametrize(
        "fields, status, words",
        [
            ({"position": "X" * 63 + " X"}, 400, "board has 63 squares instead of 64"),
            ({"position": "Q" + "-" * 63 + " X"}, 400, "unknown character 'Q'"),
            ({"position": "-" * 64 + " Y"}, 400, "side to move must be X or O"),
            ({"position": 64}, 400, "position must be a string"),
            ({"record": "f5d6c3q9"}, 400, "bad game record: move 4 'q9'"),
            ({"record": "f5f5"}, 400, "bad game record: move 2"),
            ({"record": "f5 pass"}, 400, "bad game record: move 2"),
            ({"record": "d3" * 1001}, 400, "record is too long"),
            ({"side": "Z"}, 400, 'side must be "X" or "O"'),
            ({"colour": "X"}, 400, "unknown field(s) colour"),
        ],
    )
    def test_bad_positions_and_records(self, client, fields, status, words):
        state = new_page(client)
        assert words in error_of(post(client, state, "new", **fields), status)
        if "colour" not in fields:
            assert words in error_of(client.post("/api/games", json=fields), status)

    def test_bodies_that_are_not_small_json_objects(self, client):
        state = new_page(client)
        url = f"/api/games/{state['id']}/move"
        assert "not valid JSON" in error_of(client.post(url, content=b"{", headers={"content-type": "application/json"}), 400)
        assert "JSON object" in error_of(client.post(url, json=["d3"]), 400)
        assert "as JSON" in error_of(client.post(url, content=b"move=d3", headers={"content-type": "text/plain"}), 415)
        huge = json.dumps({"move": "d3", "pad": "x" * 20000})
        assert "larger than" in error_of(client.post(url, content=huge, headers={"content-type": "application/json"}), 413)
        assert "no such game" in error_of(client.post("/api/games/nope/move", json={"move": "d3"}), 404)
        assert client.get("/api/games/nope").status_code == 404
        assert client.get(f"/api/games/{state['id']}/move").status_code == 405
        # Files are served from the package's static folder only.
        assert client.get("/static/../app.py").status_code == 404
        assert client.get("/static/%2e%2e/app.py").status_code == 404

    @pytest.mark.parametrize(
        "what, fields, words",
        [
            ("engine", {"depth": 0}, "depth must be a whole number from 1 to 60"),
            ("engine", {"depth": 61}, "from 1 to 60"),
            ("engine", {"depth": "8"}, "from 1 to 60"),
            ("engine", {"depth": True}, "from 1 to 60"),
            ("engine", {"seconds": 0}, "seconds must be a number of seconds from 0.05 to 30"),
            ("engine", {"seconds": 31}, "from 0.05 to 30"),
            ("engine", {"seconds": float("nan")}, "from 0.05 to 30"),
            ("analyse", {"seconds": 61}, "from 0.05 to 60"),
            ("analyse", {"max_depth": 100}, "from 1 to 60"),
            ("review", {"depth": 13}, "from 1 to 12"),
            ("engine", {"engine": "alpha"}, 'engine must be "think" or "minimax", got "alpha"'),
            ("analyse", {"engine": 1}, 'engine must be "think" or "minimax", got 1'),
            ("review", {"engine": None, "x": 1}, "unknown field(s) x"),
            ("review", {"engine": ["think"]}, 'engine must be "think" or "minimax"'),
        ],
    )
    def test_caps(self, client, what, fields, words):
        state = new_page(client, side="O")
        if what == "review":
            state = post(client, state, "engine", depth=1).json()
        answer = client.post(
            f"/api/games/{state['id']}/{what}", content=json.dumps(fields), headers={"content-type": "application/json"}
        )
        assert words in error_of(answer, 400)

    def test_other_host_names_are_refused(self, client):
        answer = client.get("/", headers={"host": "attacker.example"})
        assert 'does not answer to the host name "attacker.example"' in error_of(answer, 400)

    @settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(
        what=st.sampled_from(["move", "new", "undo", "engine"]),
        fields=st.dictionaries(
            st.sampled_from(["move", "side", "position", "record", "depth", "seconds", "x"]),
            st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=80)),
            max_size=3,
        ),
    )
    def test_no_request_gets_a_server_error(self, client, what, fields):
        state = new_page(client, side="O")
        answer = client.post(
            f"/api/games/{state['id']}/{what}",
            content=json.dumps(fields),
            headers={"content-type": "application/json"},
        )
        assert answer.status_code < 500, answer.text
        if answer.status_code >= 400:
            assert answer.json()["error"]


class TestTimeAndPages:
    @pytest.mark.parametrize("engine", ["think", "minimax"])
    def test_the_engine_and_the_analysis_keep_to_their_time(self, client, engine):
        state = new_page(client, side="O", position=position_with_empties(40, seed=1).text())
        began = time.monotonic()
        state = post(client, state, "engine", seconds=0.3, engine=engine).json()
        took = time.monotonic() - began
        assert took < 2.0
        assert state["engine"]["depth"]["depth"] >= 1 and state["turn"] == "you"
        # minimax deepens until the time is up and plays the last depth it
        # finished; think keeps to the time itself and says what it expects.
        if engine == "minimax":
            assert any("ran out of time" in line for line in state["announce"])
        else:
            assert any(line.startswith("It expects ") for line in state["announce"])

        began = time.monotonic()
        lines = stream_lines(client, state, "analyse", seconds=0.5)
        assert time.monotonic() - began < 2.5
        assert lines[-1] == {"type": "done", "reason": "time"}
        depths = [line["depth"] for line in lines if line["type"] == "depth"]
        assert depths == list(range(1, len(depths) + 1)) and depths

    def test_analysis_stops_at_the_depth_asked(self, client):
        state = new_page(client)
        lines = stream_lines(client, state, "analyse", max_depth=3)
        assert [line["depth"] for line in lines[:-1]] == [1, 2, 3]
        assert lines[-1] == {"type": "done", "reason": "depth"}

    def test_pages_keep_their_own_games(self, client):
        first, second = new_page(client), new_page(client, side="O")
        assert first["id"] != second["id"]
        post(client, first, "move", move="f5")
        assert client.get(f"/api/games/{second['id']}").json()["plies"] == []
        assert client.get(f"/api/games/{first['id']}").json()["record"] == "f5"

    def test_the_oldest_page_is_forgotten_beyond_the_limit(self):
        with TestClient(create_app(Limits(pages=2), workers=1), base_url=LOCAL) as c:
            pages = [new_page(c) for _ in range(3)]
            assert c.get(f"/api/games/{pages[0]['id']}").status_code == 404
            assert all(c.get(f"/api/games/{p['id']}").status_code == 200 for p in pages[1:])


def run_async(work):
    """Runs work(client, app) against a fresh app on one event loop, with the
    requests truly concurrent."""

    async def main():
        app = create_app(workers=2)
        transport = httpx.ASGITransport(app=app)
        try:
            async with httpx.AsyncClient(transport=transport, base_url=LOCAL) as client:
                return await work(client, app)
        finally:
            await app.state.server.pool.close()

    return asyncio.run(main())


def test_a_newer_request_stops_the_page_search_and_other_pages_go_on():
    async def work(client, app):
        first = (await client.post("/api/games", json={})).json()
        other = (await client.post("/api/games", json={})).json()
        began = time.monotonic()
        long_analysis = asyncio.create_task(client.post(f"/api/games/{first['id']}/analyse", json={"seconds": 30}))
        other_analysis = asyncio.create_task(client.post(f"/api/games/{other['id']}/analyse", json={"seconds": 1.5}))
        await asyncio.sleep(0.8)
        moved = await client.post(f"/api/games/{first['id']}/move", json={"move": "d3"})
        stopped = await long_analysis
        took = time.monotonic() - began
        return moved, stopped, took, await other_analysis

    moved, stopped, took, other = run_async(work)
    assert moved.status_code == 200 and moved.json()["record"] == "d3"
    lines = [json.loads(line) for line in stopped.text.splitlines()]
    assert lines[-1]["type"] == "stopped" and "newer request" in lines[-1]["reason"]
    assert any(line["type"] == "depth" for line in lines)
    assert took < 5  # not the 30 seconds asked for
    other_lines = [json.loads(line) for line in other.text.splitlines()]
    assert other_lines[-1] == {"type": "done", "reason": "time"}


def test_requests_of_one_page_at_the_same_moment_leave_one_search_running():
    async def work(client, app):
        page = (await client.post("/api/games", json={})).json()
        url = f"/api/games/{page['id']}/analyse"
        began = time.monotonic()
        analyses = [asyncio.create_task(client.post(url, json={"seconds": 20})) for _ in range(3)]
        await asyncio.sleep(1.0)
        running = [t for t in app.state.server.tasks.values() if not t.done()]
        moved = await client.post(f"/api/games/{page['id']}/move", json={"move": "f5"})
        answers = await asyncio.gather(*analyses)
        return running, moved, answers, time.monotonic() - began

    running, moved, answers, took = run_async(work)
    assert len(running) == 1 and moved.status_code == 200
    for answer in answers:
        assert json.loads(answer.text.splitlines()[-1])["type"] == "stopped"
    assert took < 6


def test_an_engine_move_stopped_by_a_new_game_answers_409():
    async def work(client, app):
        page = (await client.post("/api/games", json={"side": "O", "position": position_with_empties(40, 2).text()})).json()
        thinking = asyncio.create_task(client.post(f"/api/games/{page['id']}/engine", json={"seconds": 20}))
        await asyncio.sleep(0.8)
        fresh = await client.post(f"/api/games/{page['id']}/new", json={"side": "X"})
        return await thinking, fresh

    thinking, fresh = run_async(work)
    assert "a newer request" in error_of(thinking, 409)
    assert fresh.status_code == 200 and fresh.json()["position"] == Position.start().text()


class TestWorkers:
    def test_jobs_are_stopped_by_their_own_timer_or_by_cancelling(self):
        async def main():
            pool = EnginePool(1)
            try:
                began = time.monotonic()
                with pytest.raises(JobStopped):
                    await pool.run({"kind": "sleep", "seconds": 10}, 0.3)
                assert time.monotonic() - began < 1.5
                pids = pool.pids()
                job = asyncio.create_task(pool.run({"kind": "sleep", "seconds": 10}, 20))
                await asyncio.sleep(0.5)
                began = time.monotonic()
                job.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await job
                assert time.monotonic() - began < 1.0
                # The same worker goes on with the next job.
                assert pool.pids() == pids
                done = await pool.run({"kind": "move", "position": Position.start().text(), "depth": 2}, 5)
                assert done["move"] in ("d3", "c4", "f5", "e6")
            finally:
                await pool.close()
            assert pool.pids() == []

        asyncio.run(main())


    def test_a_job_cancelled_twice_leaves_its_worker_clean_for_the_next(self):
        # A page's new request and the page dropping its stream can both
        # cancel the same job; the worker must finish stopping it before it
        # takes another job, or the next job would read the old one's lines.
        async def main():
            pool = EnginePool(1)
            try:
                job = asyncio.create_task(pool.run({"kind": "sleep", "seconds": 10}, 20))
                await asyncio.sleep(0.3)
                (pid,) = pool.pids()
                # Frozen, the worker answers the first cancel only once thawed.
                os.kill(pid, signal.SIGSTOP)
                job.cancel()
                await asyncio.sleep(0.1)
                job.cancel()
                await asyncio.sleep(0.1)
                os.kill(pid, signal.SIGCONT)
                done = await pool.run({"kind": "move", "position": Position.start().text(), "depth": 1}, 5)
                assert done["type"] == "result" and done["move"] in ("d3", "c4", "f5", "e6")
                assert job.cancelled() and pool.pids() == [pid]
            finally:
                await pool.close()

        asyncio.run(main())

    def test_a_job_is_stopped_whenever_the_cancel_comes_amid_its_lines(self):
        # A cancel that lands just as a line arrives must still stop the job.
        async def main():
            pool = EnginePool(1)
            rnd = random.Random(5)
            try:
                for _ in range(40):
                    job = asyncio.create_task(pool.run({"kind": "sleep", "seconds": 5, "tick": 0.0005}, 10, lambda line: None))
                    await asyncio.sleep(0.05 + rnd.random() * 0.02)
                    began = time.monotonic()
                    job.cancel()
                    await asyncio.gather(job, return_exceptions=True)
                    assert job.cancelled() and time.monotonic() - began < 1.0
            finally:
                await pool.close()

        asyncio.run(main())

    def test_a_worker_that_does_not_answer_is_killed_and_replaced(self):
        async def main():
            pool = EnginePool(1)
            try:
                await pool.run({"kind": "sleep", "seconds": 0}, 5)
                (frozen,) = pool.pids()
                job = asyncio.create_task(pool.run({"kind": "sleep", "seconds": 10}, 20))
                await asyncio.sleep(0.3)
                os.kill(frozen, signal.SIGSTOP)  # deaf to the stop signal
                began = time.monotonic()
                job.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await job
                assert time.monotonic() - began < STOP_GRACE_SECONDS + 1.5
                assert pool.pids() == []
                with pytest.raises(ProcessLookupError):
                    os.kill(frozen, 0)  # gone, not left behind
                done = await pool.run({"kind": "move", "position": Position.start().text(), "depth": 1}, 5)
                assert done["move"] in ("d3", "c4", "f5", "e6") and pool.pids() != [frozen]

                # Overrunning its own limit (here: frozen again) ends the same way.
                (frozen,) = pool.pids()
                os.kill(frozen, signal.SIGSTOP)
                with pytest.raises(WorkerError, match="stopped answering"):
                    await pool.run({"kind": "sleep", "seconds": 0}, 0.2)
                assert pool.pids() == []
            finally:
                await pool.close()

        asyncio.run(main())

    def test_deepening_stops_when_the_table_is_full_and_workers_share_the_ceiling(self):
        async def main():
            small = EnginePool(1, table_bytes=1 << 20)
            shared = EnginePool(2)
            try:
                lines = []
                began = time.monotonic()
                done = await small.run(
                    {"kind": "analyse", "engine": "minimax", "position": Position.start().text(), "max_depth": 60},
                    20,
                    lines.append,
                )
                assert done == {"type": "result", "reason": "memory"} and time.monotonic() - began < 10
                depths = [line["depth"] for line in lines]
                assert depths == list(range(1, len(depths) + 1)) and len(depths) >= 3
                # Its next job starts from an empty table and works as usual.
                move = await small.run({"kind": "move", "position": Position.start().text(), "depth": 3}, 5)
                assert move["depth"]["depth"] == 3 and not move["timed_out"]
                assert small._worker_environment()["FLIPCORE_TABLE_LIMIT"] == str(1 << 20)
                assert shared._worker_environment()["FLIPCORE_TABLE_LIMIT"] == str(table_limit() // 2)
            finally:
                await small.close()
                await shared.close()

        asyncio.run(main())

    def test_a_worker_killed_from_outside_between_jobs_is_replaced(self):
        async def main():
            pool = EnginePool(1)
            try:
                await pool.run({"kind": "sleep", "seconds": 0}, 5)
                (dead,) = pool.pids()
                os.kill(dead, signal.SIGKILL)
                await asyncio.sleep(0.3)
                done = await pool.run({"kind": "move", "position": Position.start().text(), "depth": 2}, 5)
                assert done["move"] in ("d3", "c4", "f5", "e6") and pool.pids() != [dead]
            finally:
                await pool.close()

        asyncio.run(main())

    def test_a_job_waits_for_a_free_worker_only_so_long(self):
        async def main():
            pool = EnginePool(1, queue_seconds=0.3)
            try:
                first = asyncio.create_task(pool.run({"kind": "sleep", "seconds": 3}, 5))
                await asyncio.sleep(0.2)
                began = time.monotonic()
                with pytest.raises(WorkerError, match="busy with other pages"):
                    await pool.run({"kind": "sleep", "seconds": 0}, 5)
                assert time.monotonic() - began < 1.0
                first.cancel()
                await asyncio.gather(first, return_exceptions=True)
                assert (await pool.run({"kind": "sleep", "seconds": 0}, 5)) == {"type": "result"}
            finally:
                await pool.close()

        asyncio.run(main())


def test_page_assets_are_local():
    """The page loads nothing from elsewhere: every address is this server's."""
    for path in STATIC.iterdir():
        for found in re.finditer(r"https?://[^\s\"'`)]*|@import|<link[^>]*href=\"(?!/static/|data:)", path.read_text()):
            # The SVG namespace is a name, not something fetched.
            assert found.group(0) == "http://www.w3.org/2000/svg", f"{path.name}: {found.group(0)}"
    assert {"index.html", "app.js", "style.css"} <= {p.name for p in STATIC.iterdir()}


def test_the_page_and_its_assets_are_served(client):
    page = client.get("/")
    assert page.status_code == 200 and "text/html" in page.headers["content-type"]
    for asset in ("/static/app.js", "/static/style.css"):
        assert asset in page.text
        assert client.get(asset).status_code == 200
