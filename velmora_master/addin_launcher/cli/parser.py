"""The command line's grammar: `run` (the default), `demo`, `certs`, `doctor` and `stop`, each with the options it
takes."""

import argparse
from typing import Any

from velmora_master.logging_config import LOG_LEVEL_ENV

from .argtypes import logging_level, port_number, positive_seconds

PROG = "velmora-addin"
DISTRIBUTION = "velmora-master"
CHECKOUT_VERSION = "0.1.0+checkout"


def version() -> str:
    from importlib import metadata

    try:
        return metadata.version(DISTRIBUTION)
    except metadata.PackageNotFoundError:
        return CHECKOUT_VERSION  # running from a checkout that was never installed


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Run the spreadsheet add-in's local HTTPS server, and manage the certificates browsers trust.",
        epilog=(
            "Without a command: run. Exit statuses: 0 done, 1 failure, 2 usage error, 128 + N after signal N "
            "(130 Ctrl-C, 129 a closed terminal, 143 SIGTERM)."
        ),
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    _add_common(parser, top=True)
    _add_server(parser, top=True)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    for name, text in (
        ("run", "start the server and keep it running until Ctrl-C or SIGTERM (default)"),
        ("demo", "start the server, make one verified HTTPS request, stop it"),
    ):
        sub = commands.add_parser(name, help=text, description=text)
        _add_common(sub, top=False)
        _add_server(sub, top=False)
    certs = commands.add_parser(
        "certs",
        help="show, trust, untrust or renew the local certificates",
        description="Show, trust, untrust or renew the local certificates.",
    )
    _add_common(certs, top=False)
    actions = certs.add_subparsers(dest="certs_command", metavar="ACTION", required=True)
    show = actions.add_parser(
        "show", help="paths, names, expiry, fingerprints, where the CA is trusted, and for Node.js"
    )
    show.add_argument("--json", action="store_true", help="one JSON document on stdout (schema in the README)")
    trust = actions.add_parser("trust", help="trust the CA in this user's browser stores (no root needed)")
    untrust = actions.add_parser("untrust", help="take the CA out of this user's browser stores")
    renew = actions.add_parser("renew", help="make a new server certificate (and CA with --ca)")
    renew.add_argument("--ca", action="store_true", help="make a new CA too (it must be trusted again)")
    for changer in (trust, untrust, renew):
        changer.add_argument(
            "--no-prompt",
            action="store_true",
            help="never wait on a password or a confirmation: a store that would ask fails at once, naming the "
            "command to run by hand (the default without a terminal)",
        )
    text = "check the set-up, one line per check, each failure with the command that fixes it; changes nothing"
    doctor = commands.add_parser("doctor", help=text, description=text[0].upper() + text[1:] + ".")
    _add_common(doctor, top=False)
    _add_server(doctor, top=False, only=("--port", "--compiled", "--addin-path"))
    doctor.add_argument("--json", action="store_true", help="one JSON document on stdout (schema in the README)")
    text = "end the server of ours that holds --port (one a killed run left behind); any other holder is refused"
    stop = commands.add_parser("stop", help=text, description=text[0].upper() + text[1:] + ".")
    _add_common(stop, top=False)
    _add_server(stop, top=False, only=("--addin-path",))
    stop.add_argument("--port", type=port_number(False, ""), required=True, help="the port the server holds")
    return parser


def _add_common(parser: argparse.ArgumentParser, top: bool) -> None:
    # Subcommands take the same options; their defaults are suppressed so that an option given before the
    # subcommand is not overwritten by the subcommand's default.
    d = (lambda value: value) if top else (lambda value: argparse.SUPPRESS)
    group = parser.add_argument_group("output")
    group.add_argument(
        "--log-level",
        type=logging_level,
        default=d(None),
        metavar="LEVEL",
        help=f"logging level of this program and the server (default: ${LOG_LEVEL_ENV} or WARNING)",
    )
    group.add_argument("-v", "--verbose", action="count", default=d(0), help="one level more detail (repeatable)")
    group.add_argument(
        "-q", "--quiet", action="count", default=d(0), help="one level less detail (repeatable); no live status line"
    )
    group.add_argument("--debug", action="store_true", default=d(False), help="show tracebacks of errors")


def _add_server(parser: argparse.ArgumentParser, top: bool, only: tuple[str, ...] | None = None) -> None:
    """The server's options; `only` those named, for a command that reads a few of them."""
    d = (lambda value: value) if top else (lambda value: argparse.SUPPRESS)
    group = parser.add_argument_group("server")

    def add(flag: str, **options: Any) -> None:
        if only is None or flag in only:
            group.add_argument(flag, **options)

    for flag, zero_allowed, zero_means, default, text in (
        (
            "--port",
            True,
            "0 picks a free port",
            3000,
            "port of the add-in HTTPS server; 0 picks a free one (default: 3000)",
        ),
        ("--server-port", False, "", 8000, "port of the business layer server (default: 8000)"),
        ("--watchdog-port", True, "0 means none", 0, "port of the watchdog HTTP API (default: none)"),
        ("--docs-port", True, "0 means none", 0, "port of the documentation server (default: none)"),
    ):
        add(flag, type=port_number(zero_allowed, zero_means), default=d(default), help=text)
    add("--auth-token", default=d(""), help="token for the watchdog API (default: none)")
    add(
        "--timeout",
        type=positive_seconds,
        default=d(30.0),
        help="seconds to wait for the server to listen (default: 30)",
    )
    add(
        "--compiled",
        action="store_true",
        default=d(False),
        help="run the pre-compiled server instead of node server.js",
    )
    add("--addin-path", default=d(None), help="add-in folder holding server.js (default: auto-detected)")
    add(
        "--capture",
        action="store_true",
        default=d(False),
        help="capture the server's output and show it line by line, prefixed with its stream",
    )
    # The demo's former spelling.
    add("--once", action="store_true", default=d(False), help=argparse.SUPPRESS)
