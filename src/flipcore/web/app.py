"""The web app: the page, its assets, and the JSON API the page calls.

Each open page creates a game (POST /api/games) and gets an id; every later
request names that id, so pages never mix their games. Requests of one page
run one at a time: a new one stops the page's running search first (the
stopped request answers 409, a stopped stream ends with a "stopped" line).

Every request is checked before anything runs: the body is a small JSON
object with only known fields of the right types, positions and records
are read by Position and Game, depths and times lie within the caps. A bad
request gets a 4xx answer {"error": message}; nothing a page sends reaches a
file, and no search outlives its time cap (see flipcore.web.engine) or the
request that asked for it. Who may send requests at all is
flipcore.web.guard's to say.

Engines: the engine's move, the analysis and the review use think (the
search on the learned evaluation, values in discs) unless a request says
"engine": "minimax" (the depth-limited search, values in its own units);
the page remembers the engine its last move or new game asked for.
"""

from __future__ import annotations

import asyncio
import json
import math
import os
from collections.abc import AsyncIterator, Awaitable, Callable, Mapping
from contextlib import asynccontextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.requests import ClientDisconnect, Request
from starlette.responses import FileResponse, JSONResponse, Response, StreamingResponse
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from flipcore.cli.engines import ENGINES
from flipcore.game import Game, GameRecordError
from flipcore.position import BLACK, SIDE_CHARS, WHITE, Position, parse_square, square_name
from flipcore.svg import _CELL, _EXTENT, _MARGIN, svg
from flipcore.solve import describe_score, final_score
from flipcore.web.engine import EnginePool, JobStopped, WorkerError
from flipcore.web.games import ENGINE, YOU, Page, PageGame, PageRegistry, Refused
from flipcore.web.guard import Guard

STATIC = Path(__file__).parent / "static"

# No game lasts more than 60 moves, so no search needs to go deeper.
MAX_DEPTH = 60
# The deepest nesting of arrays and objects a request body may have: the
# API's bodies are flat objects, and a deeper one is someone probing.
MAX_NESTING = 16
SHUTTING_DOWN = "the server is shutting down"


@dataclass(frozen=True)
class Limits:
    """The caps every request is held to."""

    move_seconds: float = 30.0  # longest time the engine may take for a move
    depth_move_seconds: float = 10.0  # the cap of a move asked by depth alone
    analyse_seconds: float = 60.0  # longest analysis
    review_seconds: float = 180.0  # longest review of a game
    review_depth: int = 12  # deepest review search
    min_seconds: float = 0.05
    pages: int = 256  # games kept at once; the longest unused goes first
    body_bytes: int = 16384  # largest request body


DEFAULT_DEPTH = 8
# think keeps its own time limit within a tenth plus a few milliseconds; the
# worker's timer, the backstop, waits that long more.
THINK_OVERRUN_SHARE = 0.1
THINK_OVERRUN_SECONDS = 0.1
DEFAULT_REVIEW_DEPTH = 6
DEFAULT_ANALYSE_SECONDS = 10.0


def _fail(status: int, message: str) -> HTTPException:
    return HTTPException(status_code=status, detail=message)


def _field_name(name: str) -> str:
    """A field name the client sent, as a message may show it: plain when it
    is a plain word, else quoted with every odd character escaped."""
    return name if name.isascii() and name.isidentifier() and len(name) <= 40 else json.dumps(name[:40])


def nesting(raw: bytes) -> int:
    """How deeply the JSON text's arrays and objects nest (brackets inside
    strings do not count); counted before parsing, which would recurse."""
    depth = deepest = 0
    in_string = escaped = False
    for byte in raw:
        if in_string:
            if escaped:
                escaped = False
            elif byte == 0x5C:  # backslash
                escaped = True
            elif byte == 0x22:  # quote
                in_string = False
        elif byte == 0x22:
            in_string = True
        elif byte in b"[{":
            depth += 1
            deepest = max(deepest, depth)
        elif byte in b"]}":
            depth -= 1
    return deepest


class Body:
    """A request's JSON object, read field by field with checks."""

    def __init__(self, fields: dict[str, Any], allowed: tuple[str, ...]) -> None:
        unknown = sorted(set(fields) - set(allowed))
        if unknown:
            known = ", ".join(allowed) or "none"
            shown = ", ".join(_field_name(name) for name in unknown)
            raise _fail(400, f"unknown field(s) {shown}; this request takes: {known}")
        self.fields = fields

    def text(self, name: str, longest: int) -> str | None:
        value = self.fields.get(name)
        if value is None:
            return None
        if not isinstance(value, str):
            raise _fail(400, f"{name} must be a string, got {json.dumps(value)}")
        if len(value) > longest:
            raise _fail(400, f"{name} is too long: {len(value)} characters, at most {longest}")
        return value

    def whole(self, name: str, low: int, high: int) -> int | None:
        value = self.fields.get(name)
        if value is None:
            return None
        if type(value) is not int or not low <= value <= high:
            raise _fail(400, f"{name} must be a whole number from {low} to {high}, got {json.dumps(value)}")
        return value

    def seconds(self, name: str, low: float, high: float) -> float | None:
        value = self.fields.get(name)
        if value is None:
            return None
        if type(value) not in (int, float) or not math.isfinite(value) or not low <= value <= high:
            raise _fail(400, f"{name} must be a number of seconds from {low:g} to {high:g}, got {json.dumps(value)}")
        return float(value)

    def engine(self, name: str) -> str | None:
        value = self.fields.get(name)
        if value is None:
            return None
        if value not in ENGINES:
            choices = " or ".join(f'"{engine}"' for engine in ENGINES)
            raise _fail(400, f"{name} must be {choices}, got {json.dumps(value)}")
        return str(value)

    def side(self, name: str) -> int | None:
        value = self.fields.get(name)
        if value is None:
            return None
        if value not in ("X", "O"):
            raise _fail(400, f"{name} must be \"X\" or \"O\", got {json.dumps(value)}")
        return BLACK if value == "X" else WHITE


async def read_body(request: Request, limits: Limits, allowed: tuple[str, ...]) -> Body:
    """The request's JSON object; an empty body is an empty object. (That
    it is declared JSON, Guard has checked.)"""
    declared = request.headers.get("content-length")
    if declared is not None and (not declared.isdigit() or int(declared) > limits.body_bytes):
        raise _fail(413, f"the request body is larger than {limits.body_bytes} bytes")
    raw = b""
    try:
        async for chunk in request.stream():
            raw += chunk
            if len(raw) > limits.body_bytes:
                raise _fail(413, f"the request body is larger than {limits.body_bytes} bytes")
    except ClientDisconnect:
        # Nobody is left to read the answer; a 4xx keeps it out of the log.
        raise _fail(400, "the client went away before sending the whole body") from None
    if not raw.strip():
        return Body({}, allowed)
    if nesting(raw) > MAX_NESTING:
        raise _fail(400, f"the request body is not valid JSON here: it nests more than {MAX_NESTING} levels deep")
    try:
        fields = json.loads(raw)
    except (ValueError, UnicodeDecodeError, RecursionError) as err:
        raise _fail(400, f"the request body is not valid JSON: {err}") from None
    if not isinstance(fields, dict):
        raise _fail(400, "the request body must be a JSON object")
    return Body(fields, allowed)


class Superseded(Exception):
    """A newer request from the same page stopped this one."""


class ClientGone(Exception):
    """The client that asked for the job closed its connection."""


async def _client_gone(request: Request) -> None:
    """Returns when the request's client disconnects (its body already read)."""
    while True:
        message = await request.receive()
        if message["type"] == "http.disconnect":
            return
        await asyncio.sleep(0.01)  # not expected once the body is read; never spin


class Server:
    """The app's state: the pages' games, their running tasks, the engine pool."""

    def __init__(self, limits: Limits, workers: int) -> None:
        self.limits = limits
        self.pages = PageRegistry(limits.pages)
        self.pool = EnginePool(workers)
        self.tasks: dict[str, asyncio.Task[Any]] = {}
        self.closing = False

    # -- the page's one running task ---------------------------------------

    async def replace_task(self, page_id: str, work: Callable[[], Awaitable[Any]]) -> asyncio.Task[Any]:
        """Stops the page's running task, then starts `work` as its new one
        (none once the server is shutting down)."""
        await self.stop_task(page_id)
        if self.closing:
            raise _fail(503, SHUTTING_DOWN)

        async def run() -> Any:
            return await work()

        task = asyncio.create_task(run())
        self.tasks[page_id] = task
        task.add_done_callback(lambda done: self._forget(page_id, done))
        return task

    async def stop_all(self) -> None:
        """Stops every page's task, so that open streams end at once (the
        server is shutting down)."""
        self.closing = True
        for page_id in list(self.tasks):
            await self.stop_task(page_id)

    def _forget(self, page_id: str, task: asyncio.Task[Any]) -> None:
        if self.tasks.get(page_id) is task:
            del self.tasks[page_id]

    async def stop_task(self, page_id: str) -> None:
        """Stops the page's running task and waits until it has ended. Loops
        because another request of the page may start one meanwhile; the
        caller's next step then runs before any other request can."""
        while (old := self.tasks.get(page_id)) is not None and not old.done():
            old.cancel()
            await asyncio.gather(old, return_exceptions=True)

    async def exclusive(self, page_id: str, work: Callable[[], Awaitable[Any]], request: Request) -> Any:
        """Runs `work` as the page's task and waits for it. Superseded when
        a newer request of the page stopped it; ClientGone, with the task
        stopped, when the request's client disconnected meanwhile."""
        task = await self.replace_task(page_id, work)
        gone = asyncio.ensure_future(_client_gone(request))
        try:
            await asyncio.wait((task, gone), return_when=asyncio.FIRST_COMPLETED)
        except asyncio.CancelledError:
            # This request itself is going away.
            task.cancel()
            raise
        finally:
            gone.cancel()
        if not task.done():
            # Nobody waits for the answer any more: free the worker now.
            task.cancel()
            await asyncio.gather(task, return_exceptions=True)
            raise ClientGone()
        if task.cancelled():
            raise Superseded()
        return task.result()

    # -- requests ----------------------------------------------------------

    def page_of(self, request: Request) -> tuple[str, Page]:
        page_id = request.path_params["page"]
        page = self.pages.get(page_id)
        if page is None:
            raise _fail(404, "no such game on this server (it may have been closed); start a new game")
        return page_id, page

    def game_from(self, body: Body, human: int) -> PageGame:
        """A new game from the request's start position and record, if any."""
        start = None
        position_text = body.text("position", 200)
        if position_text is not None:
            try:
                start = Position.from_text(position_text)
            except ValueError as err:
                raise _fail(400, str(err)) from None
        record = body.text("record", 2000)
        if record is None:
            return PageGame(start or Position.start(), human)
        try:
            game = Game.from_record(record, start=start)
        except (GameRecordError, ValueError) as err:
            raise _fail(400, f"bad game record: {err}") from None
        return PageGame.replay(game.start, list(game.moves), human)

    def state(self, page_id: str, page: Page, said: list[str] | None = None) -> dict[str, Any]:
        game = page.game
        position = game.position
        turn = game.turn()
        legal = position.legal_moves() if turn == YOU else []
        x, o = position.discs()
        result = None
        if turn == "over":
            winner = "X" if x > o else "O" if o > x else None
            mine = x if game.human == BLACK else o
            theirs = o if game.human == BLACK else x
            verdict = "You win." if mine > theirs else "The engine wins." if theirs > mine else "A draw."
            words = describe_score(final_score(position))  # empties to the winner
            result = {"X": x, "O": o, "winner": winner, "words": words, "verdict": verdict}
        last = next((ply for ply in reversed(game.plies) if ply.move is not None), None)
        return {
            "id": page_id,
            "position": position.text(),
            "player": SIDE_CHARS[position.player],
            "you": SIDE_CHARS[game.human],
            "turn": turn,
            "legal": [square_name(m) for m in legal],
            "discs": {"X": x, "O": o},
            "empties": 64 - x - o,
            "svg": svg(position, moves=legal, size=480),
            "geometry": {"extent": _EXTENT, "margin": _MARGIN, "cell": _CELL},
            "last_move": last.name() if last else None,
            "plies": [{"side": SIDE_CHARS[p.side], "move": p.name(), "by": p.by} for p in game.plies],
            "record": game.record(),
            "can_undo": any(p.move is not None and p.side == game.human for p in game.plies),
            "announce": said or [],
            "result": result,
            "settings": {"depth": page.depth, "seconds": page.seconds, "engine": page.engine},
        }


class AsciiJSON(JSONResponse):
    """JSON with every character past ASCII escaped: a message that quotes
    what a client sent (a lone surrogate, say) can always be sent."""

    def render(self, content: Any) -> bytes:
        return json.dumps(content, ensure_ascii=True, allow_nan=False, separators=(",", ":")).encode("ascii")


def _json(data: dict[str, Any], status: int = 200, headers: Mapping[str, str] | None = None) -> JSONResponse:
    return AsciiJSON(data, status_code=status, headers=headers)


def create_app(
    limits: Limits | None = None,
    workers: int | None = None,
    allowed_hosts: list[str] | None = None,
) -> Starlette:
    """The web app. `workers`: engine processes (default: up to 2, one per
    core); `allowed_hosts`: Host names accepted besides this machine's own
    names and the address a request arrives on (see flipcore.web.guard)."""
    limits = limits or Limits()
    server = Server(limits, workers or max(1, min(2, os.cpu_count() or 1)))

    async def index(request: Request) -> Response:
        return FileResponse(STATIC / "index.html", headers={"Cache-Control": "no-store"})

    async def create(request: Request) -> Response:
        body = await read_body(request, limits, ("side", "position", "record", "depth", "seconds", "engine"))
        human = body.side("side") or BLACK
        game = server.game_from(body, human)
        page = Page(
            game,
            body.whole("depth", 1, MAX_DEPTH) or DEFAULT_DEPTH,
            body.seconds("seconds", limits.min_seconds, limits.move_seconds),
            body.engine("engine") or "think",
        )
        page_id = server.pages.add(page)
        return _json(server.state(page_id, page), 201)

    async def show(request: Request) -> Response:
        page_id, page = server.page_of(request)
        return _json(server.state(page_id, page))

    async def new_game(request: Request) -> Response:
        page_id, page = server.page_of(request)
        body = await read_body(request, limits, ("side", "position", "record"))
        human = body.side("side") or page.game.human
        game = server.game_from(body, human)
        await server.stop_task(page_id)
        page.game = game
        you = SIDE_CHARS[human]
        if body.fields.get("record") or body.fields.get("position"):
            count = len(game.moves())
            said = [f"Loaded: {count} move{'' if count == 1 else 's'} played; you play {you}."]
        else:
            said = ["You play X, who moves first." if human == BLACK else "You play O; the engine (X) moves first."]
        return _json(server.state(page_id, page, said))

    async def move(request: Request) -> Response:
        page_id, page = server.page_of(request)
        body = await read_body(request, limits, ("move",))
        name = body.text("move", 8)
        if name is None:
            raise _fail(400, "say which square to play, as {\"move\": \"d3\"}")
        try:
            square = parse_square(name)
        except ValueError as err:
            raise _fail(400, str(err)) from None
        await server.stop_task(page_id)
        try:
            said = page.game.play(square, YOU)
        except Refused as err:
            raise _fail(409, str(err)) from None
        return _json(server.state(page_id, page, said))

    async def undo(request: Request) -> Response:
        page_id, page = server.page_of(request)
        await read_body(request, limits, ())
        await server.stop_task(page_id)
        try:
            page.game.undo()
        except Refused as err:
            raise _fail(409, str(err)) from None
        return _json(server.state(page_id, page, ["Your last move was taken back."]))

    async def engine_move(request: Request) -> Response:
        page_id, page = server.page_of(request)
        body = await read_body(request, limits, ("depth", "seconds", "engine"))
        depth = body.whole("depth", 1, MAX_DEPTH)
        seconds = body.seconds("seconds", limits.min_seconds, limits.move_seconds)
        page.engine = body.engine("engine") or page.engine
        if depth is not None:
            page.depth = depth
            page.seconds = seconds
        elif seconds is not None:
            page.seconds = seconds
        cap = page.seconds if page.seconds is not None else limits.depth_move_seconds
        game = page.game
        if game.turn() != ENGINE:
            raise _fail(409, "it is not the engine's turn" if game.turn() == YOU else "the game is over")
        before = game.position
        if page.engine == "think":
            # think keeps to the time itself (by depth alone: the depth cap's
            # time), and by time alone deepens without a depth limit.
            job = {
                "kind": "move",
                "engine": "think",
                "position": before.text(),
                "depth": depth or (page.depth if page.seconds is None else None),
                "seconds": cap,
            }
            cap += cap * THINK_OVERRUN_SHARE + THINK_OVERRUN_SECONDS
        else:
            # By time alone the engine deepens until the time is up.
            depth = depth or (page.depth if page.seconds is None else MAX_DEPTH)
            job = {"kind": "move", "engine": "minimax", "position": before.text(), "depth": depth}

        async def work() -> dict[str, Any]:
            return await server.pool.run(job, cap)

        try:
            found = await server.exclusive(page_id, work, request)
        except Superseded:
            if server.closing:
                raise _fail(503, SHUTTING_DOWN) from None
            raise _fail(409, "stopped: a newer request from this page came first") from None
        except ClientGone:
            raise _fail(499, "the client went away") from None
        except (WorkerError, JobStopped) as err:
            raise _fail(503, f"the engine could not answer: {err}") from None
        if game is not page.game or game.position != before:
            raise _fail(409, "the game changed while the engine was thinking")
        said = [f"The engine ({SIDE_CHARS[before.player]}) plays {found['move']}."]
        if found.get("exact"):
            said.append(f"It has solved the game: {found['exact']['words']} with perfect play from here.")
        elif found.get("depth") and found["depth"].get("units") == "discs":
            said.append(f"It expects {found['depth']['words']} (depth {found['depth']['depth']}).")
        if found.get("timed_out") and found.get("depth"):
            said.append(f"It ran out of time and played its choice at depth {found['depth']['depth']}.")
        said += game.play(parse_square(found["move"]), ENGINE)
        state = server.state(page_id, page, said)
        state["engine"] = {"exact": found.get("exact"), "depth": found.get("depth")}
        return _json(state)

    async def stream(page_id: str, job: dict[str, Any], seconds: float) -> Response:
        """Runs `job` as the page's task and streams its lines as JSON, one a
        line; the last line says how it ended ("done", "stopped", "error")."""
        lines: asyncio.Queue[dict[str, Any] | None] = asyncio.Queue()

        async def work() -> dict[str, Any]:
            return await server.pool.run(job, seconds, lines.put_nowait)

        task = await server.replace_task(page_id, work)
        task.add_done_callback(lambda _: lines.put_nowait(None))

        async def body() -> AsyncIterator[bytes]:
            try:
                while (line := await lines.get()) is not None:
                    yield json.dumps(line).encode() + b"\n"
                if task.cancelled():
                    why = SHUTTING_DOWN if server.closing else "a newer request from this page came first"
                    end = {"type": "stopped", "reason": why}
                elif isinstance(task.exception(), JobStopped):
                    stopped = str(task.exception())
                    why = "out of time" if stopped == "time" else SHUTTING_DOWN if server.closing else "the engine was stopped"
                    end = {"type": "stopped", "reason": why}
                elif task.exception() is not None:
                    end = {"type": "error", "message": f"the engine could not answer: {task.exception()}"}
                else:
                    end = dict(task.result(), type="done")
                yield json.dumps(end).encode() + b"\n"
            finally:
                # The page went away: stop its job.
                if not task.done():
                    task.cancel()

        return StreamingResponse(
            body(), media_type="application/x-ndjson", headers={"Cache-Control": "no-store"}
        )

    async def analyse(request: Request) -> Response:
        page_id, page = server.page_of(request)
        body = await read_body(request, limits, ("seconds", "max_depth", "engine"))
        seconds = body.seconds("seconds", limits.min_seconds, limits.analyse_seconds) or min(
            DEFAULT_ANALYSE_SECONDS, limits.analyse_seconds
        )
        max_depth = body.whole("max_depth", 1, MAX_DEPTH) or MAX_DEPTH
        if page.game.position.is_over():
            raise _fail(409, "the game is over: there is nothing to analyse")
        job = {
            "kind": "analyse",
            "engine": body.engine("engine") or page.engine,
            "position": page.game.position.text(),
            "max_depth": max_depth,
        }
        return await stream(page_id, job, seconds)

    async def review(request: Request) -> Response:
        page_id, page = server.page_of(request)
        body = await read_body(request, limits, ("depth", "engine"))
        depth = body.whole("depth", 1, limits.review_depth) or min(DEFAULT_REVIEW_DEPTH, limits.review_depth)
        moves = page.game.moves()
        if not moves:
            raise _fail(409, "no move has been played yet: there is nothing to review")
        job = {
            "kind": "review",
            "start": page.game.start.text(),
            "moves": [square_name(m) for m in moves],
            "depth": depth,
            "engine": body.engine("engine") or page.engine,
        }
        return await stream(page_id, job, limits.review_seconds)

    async def http_error(request: Request, exc: Exception) -> Response:
        assert isinstance(exc, HTTPException)
        # Its headers too: a 405 says which methods are allowed.
        return _json({"error": exc.detail}, exc.status_code, exc.headers)

    async def server_error(request: Request, exc: Exception) -> Response:
        # Never a stack trace to the page; the server's log has it.
        return _json({"error": "the server failed to answer this request"}, 500)

    @asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        yield
        await server.pool.close()

    api = "/api/games"
    routes = [
        Route("/", index),
        Route(api, create, methods=["POST"]),
        Route(api + "/{page}", show, methods=["GET"]),
        Route(api + "/{page}/new", new_game, methods=["POST"]),
        Route(api + "/{page}/move", move, methods=["POST"]),
        Route(api + "/{page}/undo", undo, methods=["POST"]),
        Route(api + "/{page}/engine", engine_move, methods=["POST"]),
        Route(api + "/{page}/analyse", analyse, methods=["POST"]),
        Route(api + "/{page}/review", review, methods=["POST"]),
        Mount("/static", StaticFiles(directory=STATIC), name="static"),
    ]
    middleware = [Middleware(Guard, allowed_hosts=allowed_hosts or [])]
    app = Starlette(
        routes=routes,
        middleware=middleware,
        exception_handlers={HTTPException: http_error, Exception: server_error},
        lifespan=lifespan,
    )
    app.state.server = server
    return app
