"""`vesker serve STORE`: the browser view of a store, on this machine unless asked otherwise."""

from __future__ import annotations

import argparse
import ipaddress
import os
import socket
import sys
import webbrowser

from vesker.cli.arguments import Commands, add_store, command, port_number
from vesker.store import UserError

DEFAULT_PORT = 7341


def register(commands: Commands) -> None:
    serve = command(
        commands, "serve", run,
        help="explore a store in the browser",
        description="Serve a browser view of STORE on this machine and open it. The view pages "
        "through the store on demand, so it works on heaps of any size.",
    )
    add_store(serve)
    serve.add_argument("--baseline", metavar="OLD_STORE",
                       help="an earlier store of the same program to compare with")
    serve.add_argument("--host", default="127.0.0.1",
                       help="address to listen on (default: 127.0.0.1, this machine only)")
    serve.add_argument("--allow-host", action="append", default=[], metavar="NAME",
                       help="a further name of this machine that browsers may use in its address "
                       "(repeatable); requests naming any other host are refused")
    serve.add_argument("--port", type=port_number, default=DEFAULT_PORT,
                       help=f"port to listen on, 0 for any free one (default: {DEFAULT_PORT})")
    serve.add_argument("--no-browser", action="store_true", help="do not open a browser")


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _listen(host: str, port: int) -> socket.socket:
    try:
        family, kind, protocol, _, address = socket.getaddrinfo(
            host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)[0]
    except socket.gaierror as error:
        raise UserError(f"cannot listen on {host!r}: {error.strerror}") from None
    listener = socket.socket(family, kind, protocol)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        listener.bind(address)
        listener.listen(128)
    except OSError as error:
        listener.close()
        hint = "; choose another with --port, or 0 for any free one" if port else ""
        raise UserError(f"cannot listen on {host} port {port}: {error.strerror}{hint}") from None
    return listener


def _shown(host: str) -> str:
    """A host as it stands in a URL and in a request's Host header."""
    return f"[{host}]" if ":" in host else host


def _url(listener: socket.socket) -> str:
    host, port = listener.getsockname()[:2]
    return f"http://{_shown(host)}:{port}/"


def _machine_names() -> set[str]:
    """The names and addresses this machine knows itself by."""
    names = {socket.gethostname(), socket.getfqdn()}
    try:
        names |= {str(info[4][0]) for info in socket.getaddrinfo(socket.gethostname(), None)}
    except OSError:
        pass
    return names


def allowed_hosts(asked: str, bound: str, extra: list[str]) -> list[str]:
    """The names a request may give as its Host: the address the server is bound to, the name it
    was asked to listen on, and `extra`; loopback names for a loopback or wildcard address, and
    the machine's own names for a wildcard one. Any other name is refused, so that a page of
    another site whose name an attacker points at this machine (DNS rebinding) gets no answer."""
    names = {asked, bound, *extra}
    address = ipaddress.ip_address(bound)
    if address.is_loopback or address.is_unspecified:
        names |= {"localhost", "127.0.0.1", "::1"}
    if address.is_unspecified:
        names |= _machine_names()
    return sorted({_shown(name.lower()) for name in names if name})


def run(args: argparse.Namespace) -> int:
    try:
        import uvicorn

        from vesker.server.app import create_app
        from vesker.server.queries import StoreQueries
    except ImportError as error:
        raise UserError(
            f"serving needs Starlette and uvicorn ({error}); install them with "
            "pip install 'vesker-analysis[serve]'"
        ) from None
    if args.baseline is not None and os.path.realpath(args.baseline) == os.path.realpath(args.store):
        raise UserError("the baseline is the store itself; give an earlier store of the program")
    queries = StoreQueries(args.store)
    baseline = None
    try:
        baseline = None if args.baseline is None else StoreQueries(args.baseline)
        listener = _listen(args.host, args.port)
        bound = listener.getsockname()[0]
        hosts = allowed_hosts(args.host, bound, args.allow_host)
        if not is_loopback(bound):
            print(f"vesker serve: warning: listening on {args.host}: anyone who can reach this "
                  "machine on that address can read every object of the heap. Only requests "
                  f"naming {', '.join(hosts)} are answered, so that a site whose name is made to "
                  "point at this machine (DNS rebinding) reads nothing; name others with "
                  "--allow-host", file=sys.stderr)
        app = create_app(queries, baseline, allowed_hosts=hosts)
        url = _url(listener)
        print(f"vesker serve: {args.store} at {url} (Ctrl-C stops)", file=sys.stderr, flush=True)
        if not args.no_browser:
            webbrowser.open(url)
        server = uvicorn.Server(uvicorn.Config(app, log_level="warning", access_log=False))
        server.run(sockets=[listener])
    finally:
        queries.close()
        if baseline is not None:
            baseline.close()
    return 0
