"""flipcore serve: the local web page to play and analyse on."""

from __future__ import annotations

import argparse
import asyncio
import errno
import ipaddress
import re
import socket
import sys
import webbrowser
from typing import TYPE_CHECKING

from flipcore.cli.common import UsageError

if TYPE_CHECKING:
    from flipcore.web.connections import ConnectionLimits

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8000
SHUTDOWN_SECONDS = 2


def is_loopback(host: str) -> bool:
    """True for names and addresses that only this machine can reach."""
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def port_arg(text: str) -> int:
    try:
        port = int(text)
    except ValueError:
        port = -1
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"port must be a whole number from 0 to 65535, got {text!r}")
    return port


def host_name_arg(text: str) -> str:
    """A name for --allow-host, as the Host check compares it."""
    name = text.strip().strip("[]").lower()
    try:
        ipaddress.ip_address(name)
        return name
    except ValueError:
        pass
    labels = name.split(".")
    if not name or len(name) > 253 or not all(re.fullmatch(r"[a-z0-9]([a-z0-9-]{0,61}[a-z0-9])?", label) for label in labels):
        raise argparse.ArgumentTypeError(f"a host name is letters, digits, dots and hyphens (no port), got {text!r}")
    return name


def listening_socket(host: str, port: int) -> socket.socket:
    """A socket bound to `host` and `port`, for the server to listen on, or
    a UsageError saying in one line why there can be none: an address that
    is not one, a name that does not resolve, an address of another machine,
    or a port in use."""
    name = host.strip("[]")
    if re.fullmatch(r"[\d.]+", name):
        try:
            ipaddress.ip_address(name)
        except ValueError:
            raise UsageError(f"cannot listen on {host}: not an IPv4 address") from None
    try:
        family, kind, proto, _, address = socket.getaddrinfo(
            name, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE
        )[0]
    except (socket.gaierror, UnicodeError) as err:
        reason = err.strerror if isinstance(err, socket.gaierror) else str(err)
        raise UsageError(f"cannot listen on {host}: not an address or a name of this machine ({reason})") from None
    sock = socket.socket(family, kind, proto)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
    except OSError as err:
        sock.close()
        if err.errno == errno.EADDRINUSE:
            raise UsageError(f"port {port} on {host} is in use: stop what listens there or choose another --port") from None
        if err.errno == errno.EADDRNOTAVAIL:
            raise UsageError(f"cannot listen on {host}: it is not an address of this machine") from None
        raise UsageError(f"cannot listen on {host} port {port}: {err.strerror or err}") from None
    return sock


def page_address(host: str, port: int) -> str:
    shown = f"[{host}]" if ":" in host and not host.startswith("[") else host
    return f"http://{shown}:{port}/"


def run_serve(args: argparse.Namespace) -> int:
    return serve(args.host, args.port, args.allow_host, args.open)


def serve(
    host: str,
    port: int,
    allow_hosts: list[str] | None = None,
    open_page: bool = False,
    connections: ConnectionLimits | None = None,
) -> int:
    """Serves the page on host:port until Ctrl-C; `connections` are the
    limits on the server's connections (flipcore.web.connections)."""
    try:
        import uvicorn

        from flipcore.web.app import Server, create_app
        from flipcore.web.connections import AcceptFailures, ConnectionLimits, protocol_class
    except ImportError as err:
        raise UsageError(f"flipcore serve needs the web extra ({err.name} is missing): pip install 'flipcore[web]'") from None

    # Bound here, so that an address or a port that cannot be had is said in
    # one line before anything else.
    sock = listening_socket(host, port)
    if not is_loopback(host):
        print(
            f"warning: listening on {host}, so other machines can reach this server and "
            "use its engine; it has no login. Use the default 127.0.0.1 to keep it to this machine.",
            file=sys.stderr,
        )
    limits = connections or ConnectionLimits()
    app = create_app(allowed_hosts=allow_hosts or [])
    # On Ctrl-C, open requests (an analysis streams for up to a minute) get
    # a moment to end, then are closed, and the workers with them.
    config = uvicorn.Config(
        app,
        host=host,
        port=port,
        log_level="warning",
        timeout_graceful_shutdown=SHUTDOWN_SECONDS,
        http=protocol_class(limits),
        timeout_keep_alive=limits.keep_alive_seconds,
    )
    pages: Server = app.state.server

    class Serving(uvicorn.Server):
        async def shutdown(self, sockets: list[socket.socket] | None = None) -> None:
            # Running analyses and reviews end first, so that their streams
            # close cleanly instead of being cut off.
            await pages.stop_all()
            await super().shutdown(sockets)

    server = Serving(config)

    async def announce() -> None:
        # The address once the socket listens (port 0 picks a free port).
        while not server.started:
            await asyncio.sleep(0.02)
        listening_port = port
        for listening in server.servers:
            for sock in listening.sockets:
                listening_port = sock.getsockname()[1]
        address = page_address("127.0.0.1" if host in ("0.0.0.0", "::") else host, listening_port)
        print(f"flipcore is serving the board at {address} (Ctrl-C stops it)", flush=True)
        if open_page:
            webbrowser.open(address)

    async def main() -> None:
        asyncio.get_running_loop().set_exception_handler(AcceptFailures())
        watcher = asyncio.create_task(announce())
        try:
            await server.serve(sockets=[sock])
        finally:
            watcher.cancel()

    try:
        asyncio.run(main())
    except SystemExit:
        # uvicorn exits when it cannot start, after logging why.
        pass
    finally:
        sock.close()
    if not server.started:
        raise UsageError(f"could not listen on {host} port {port} (is it in use?)")
    return 0


def register(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = commands.add_parser(
        "serve",
        help="play and analyse in the browser",
        description="Serve a local web page to play the engine and watch its analysis.",
    )
    parser.add_argument(
        "--host", default=DEFAULT_HOST, help=f"address to listen on (default {DEFAULT_HOST}: this machine only)"
    )
    parser.add_argument("--port", type=port_arg, default=DEFAULT_PORT, help=f"port (default {DEFAULT_PORT}; 0 picks a free one)")
    parser.add_argument("--open", action="store_true", help="open the page in the default browser")
    parser.add_argument(
        "--allow-host",
        action="append",
        type=host_name_arg,
        default=[],
        metavar="NAME",
        help="also answer requests addressed to this host name (this machine's own names and the "
        "address listened on are always answered); may be repeated",
    )
    parser.set_defaults(run=run_serve)
