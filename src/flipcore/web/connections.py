"""How the server holds its connections (uvicorn's HTTP/1.1 protocol, with
limits added):

- a request's head and body must arrive within `request_seconds` of the
  connection opening or of the last answer on it, so that sockets left idle
  or fed a byte a second are closed rather than kept for ever;
- a connection idle after an answer closes after `keep_alive_seconds`;
- at most `connections` are open at once (fewer when the process may open
  few files): one beyond that closes the oldest connection that is waiting
  for a request, or else is closed itself, so that a flood of idle sockets
  can neither use up the process's file descriptors nor keep a page out;
- when accepting fails for want of descriptors, the log says so once a
  minute, not once per attempt (asyncio tries again and again).
"""

from __future__ import annotations

import asyncio
import logging
import resource
import time
from dataclasses import dataclass
from typing import Any

from uvicorn.protocols.http.h11_impl import H11Protocol

# File descriptors left for the engine workers' pipes, the files the server
# reads and the event loop itself, below the process's limit.
RESERVED_DESCRIPTORS = 48
ACCEPT_FAILED = "socket.accept() out of system resource"
ACCEPT_REPORT_SECONDS = 60.0

log = logging.getLogger("uvicorn.error")


@dataclass(frozen=True)
class ConnectionLimits:
    """The limits on the server's connections (tests shorten them)."""

    request_seconds: float = 10.0  # for a request's head and body to arrive
    keep_alive_seconds: int = 5  # an idle connection's life after an answer
    connections: int = 64  # open at once at most


def connection_cap(wanted: int) -> int:
    """`wanted`, or fewer when the process's descriptor limit is low."""
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY:
        return wanted
    return max(1, min(wanted, soft - RESERVED_DESCRIPTORS))


def protocol_class(limits: ConnectionLimits) -> type[H11Protocol]:
    """uvicorn's HTTP/1.1 protocol held to `limits`."""
    cap = connection_cap(limits.connections)

    class Limited(H11Protocol):
        def __init__(self, *args: Any, **kwargs: Any) -> None:
            super().__init__(*args, **kwargs)
            self.opened = time.monotonic()
            self.request_timer: asyncio.TimerHandle | None = None

        def waiting(self) -> bool:
            """True while no request is being read or answered."""
            return self.cycle is None or self.cycle.response_complete

        def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
            super().connection_made(transport)
            # Closed connections stay in the set until their end is handled.
            open_now = [c for c in self.connections if isinstance(c, Limited) and not c.transport.is_closing()]
            if len(open_now) > cap:
                idle = [c for c in open_now if c is not self and c.waiting()]
                oldest = min(idle, key=lambda c: c.opened) if idle else self
                oldest.transport.close()
            if not self.transport.is_closing():
                self.expect_request()

        def expect_request(self) -> None:
            self.stop_timer()
            self.request_timer = self.loop.call_later(limits.request_seconds, self.too_slow)

        def stop_timer(self) -> None:
            if self.request_timer is not None:
                self.request_timer.cancel()
                self.request_timer = None

        def too_slow(self) -> None:
            self.request_timer = None
            if not self.transport.is_closing():
                self.transport.close()

        def handle_events(self) -> None:
            super().handle_events()
            # The whole request is in: the app's answer may take its time.
            if self.cycle is not None and not self.cycle.more_body and not self.cycle.response_complete:
                self.stop_timer()

        def on_response_complete(self) -> None:
            if not self.transport.is_closing():
                self.expect_request()
            super().on_response_complete()

        def connection_lost(self, exc: Exception | None) -> None:
            self.stop_timer()
            super().connection_lost(exc)

    return Limited


def _late_retry(context: dict[str, Any]) -> bool:
    """True for asyncio's retry of accepting, due a second after a failed
    accept, that finds the listening socket closed by the server's shutdown:
    nothing is wrong then."""
    handle = context.get("handle")
    callback = getattr(handle, "_callback", None)
    return isinstance(context.get("exception"), ValueError) and getattr(callback, "__name__", "") == "_start_serving"


class AcceptFailures:
    """An event loop exception handler that reports failed accepts (out of
    descriptors) once per ACCEPT_REPORT_SECONDS with a count, and passes
    everything else to the loop's default handler."""

    def __init__(self) -> None:
        self.reported_at: float | None = None
        self.since = 0

    def __call__(self, loop: asyncio.AbstractEventLoop, context: dict[str, Any]) -> None:
        if _late_retry(context):
            return
        if context.get("message") != ACCEPT_FAILED:
            loop.default_exception_handler(context)
            return
        self.since += 1
        now = time.monotonic()
        if self.reported_at is None or now - self.reported_at >= ACCEPT_REPORT_SECONDS:
            log.warning(
                "cannot accept connections for now (%s); %d attempt(s) refused; "
                "this is said at most once a minute",
                context.get("exception"),
                self.since,
            )
            self.reported_at = now
            self.since = 0
