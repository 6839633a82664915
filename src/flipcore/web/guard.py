"""Who may talk to the server: the checks every request passes before the
app sees it.

- Host: only names of this machine (and names given with --allow-host), or
  the address the request arrived on. A web site that points a name of its
  own at this machine (DNS rebinding) is refused, whatever address the
  server listens on.
- Origin: a request that says it comes from a page must come from this
  server's own page. Browsers send Origin with every cross-site POST, also
  with the "simple" ones that need no preflight, so no other site can
  change a game.
- Every POST must be declared JSON. A cross-site request can only send
  JSON after a preflight, which this server never grants.
- No other site may show the page in a frame (X-Frame-Options and the
  frame-ancestors rule), so none can trick a click on it.

A refusal is the usual JSON answer {"error": message}.
"""

from __future__ import annotations

import ipaddress
import json
import socket
from collections.abc import Iterable
from urllib.parse import urlsplit

from starlette.types import ASGIApp, Message, Receive, Scope, Send

# Names by which only this machine reaches the server.
LOCAL_HOSTS = ["127.0.0.1", "localhost", "::1"]
# Added to every answer: the page may not be framed by any site.
FRAME_HEADERS = [
    (b"x-frame-options", b"DENY"),
    (b"content-security-policy", b"frame-ancestors 'none'"),
    (b"x-content-type-options", b"nosniff"),
]
DEFAULT_PORTS = {"http": 80, "https": 443}


def machine_names() -> list[str]:
    """This machine's own host names, as its owner may type them."""
    names = []
    for find in (socket.gethostname, socket.getfqdn):
        try:
            names.append(find())
        except OSError:
            pass
    return [name for name in names if name]


def split_host(host: str) -> tuple[str, int | None] | None:
    """(name, port) of a Host header; None when it is not one."""
    try:
        parts = urlsplit("//" + host)
        port = parts.port
    except ValueError:
        return None
    if parts.hostname is None or parts.username is not None or parts.path or parts.query or parts.fragment:
        return None
    return parts.hostname.lower(), port


def _same_address(name: str, address: str) -> bool:
    try:
        return ipaddress.ip_address(name) == ipaddress.ip_address(address)
    except ValueError:
        return False


def _refusal(status: int, message: str, extra: list[tuple[bytes, bytes]] | None = None) -> list[Message]:
    body = json.dumps({"error": message}).encode()  # ASCII: nothing sent comes back raw
    headers = [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode())]
    return [
        {"type": "http.response.start", "status": status, "headers": headers + FRAME_HEADERS + (extra or [])},
        {"type": "http.response.body", "body": body},
    ]


def _shown(text: str, longest: int = 60) -> str:
    """A value a client sent, quoted and escaped for a message."""
    return json.dumps(text[:longest])


class Guard:
    """ASGI middleware: the Host, Origin and content-type rules, and the
    frame headers on every answer."""

    def __init__(self, app: ASGIApp, allowed_hosts: Iterable[str] = ()) -> None:
        self.app = app
        self.names = {name.strip("[]").lower() for name in [*LOCAL_HOSTS, *machine_names(), *allowed_hosts]}

    def host_allowed(self, name: str, scope: Scope) -> bool:
        if name in self.names:
            return True
        # The address the request came in on is this machine's, whatever
        # the server listens on (127.0.0.2, or one address of 0.0.0.0).
        server = scope.get("server")
        return server is not None and _same_address(name, str(server[0]))

    def refusal(self, scope: Scope) -> list[Message] | None:
        headers = {key.lower(): value for key, value in scope["headers"]}
        host_text = headers.get(b"host", b"").decode("latin-1")
        host = split_host(host_text)
        if host is None or not self.host_allowed(host[0], scope):
            return _refusal(
                400,
                f"this server does not answer to the host name {_shown(host_text)}; "
                "start it with --allow-host NAME to add a name",
            )
        origin = headers.get(b"origin")
        if origin is not None:
            scheme = scope.get("scheme", "http")
            own = (scheme, host[0], host[1] or DEFAULT_PORTS.get(scheme))
            try:
                parts = urlsplit(origin.decode("latin-1"))
                theirs = (parts.scheme, (parts.hostname or "").lower(), parts.port or DEFAULT_PORTS.get(parts.scheme))
            except ValueError:
                theirs = None
            if theirs != own:
                return _refusal(403, f"requests from other sites are refused (Origin {_shown(origin.decode('latin-1'))})")
        if scope["method"] == "POST":
            kind = headers.get(b"content-type", b"").split(b";")[0].strip().lower()
            if kind != b"application/json":
                return _refusal(415, "send the request as JSON (Content-Type: application/json), also when it has no body")
        return None

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        refused = self.refusal(scope)
        if refused is not None:
            for message in refused:
                await send(message)
            return

        async def send_framed(message: Message) -> None:
            if message["type"] == "http.response.start":
                message = dict(message, headers=[*message.get("headers", []), *FRAME_HEADERS])
            await send(message)

        await self.app(scope, receive, send_framed)

