"""What `run` and `demo` check before launching: the port is free (or who holds it), and the server's program
is there to run.

Each failure is a usage error that says what to change, rather than a server that cannot start.
"""

import argparse
import os
import shutil
from pathlib import Path

from .._ports import Availability, availability
from ..config import ADDIN_PATH_ENV, SERVER_BINARY_ENV, SERVER_SCRIPT, Config
from .exit_status import CliError, ExitStatus
from .port_holder import held_by, port_holders, stop_command


def check_port(port: int, addin_path: str | None) -> None:
    """Refuse a port another program holds: the readiness probe would take that program for our server. Name the
    holder where the system shows it; a server of ours can be ended with `stop`."""
    state = availability(port)
    if state is Availability.PRIVILEGED:
        raise CliError(f"port {port} needs privileges; choose one above 1023 with --port", ExitStatus.USAGE)
    if state is Availability.FREE:
        return
    holders = port_holders(port, addin_path)
    if holders and all(holder.ours for holder in holders):
        raise CliError(
            f"{held_by(port, holders)}; end it with: {stop_command(port)}, or choose another port with --port "
            "(--port 0 picks a free one)",
            ExitStatus.USAGE,
        )
    if holders:
        said = held_by(port, holders)
    elif state is Availability.IN_USE:
        said = f"port {port} is already in use by another program"
    else:
        said = f"port {port} already accepts connections"
    raise CliError(f"{said}; choose another with --port (--port 0 picks a free one)", ExitStatus.USAGE)


def check_server_program(args: argparse.Namespace) -> None:
    """Refuse a missing compiled server, add-in folder, server.js or node, naming what to pass instead."""
    config = Config(args.addin_path)
    if args.compiled:
        binary = Path(config.get_binary_path())
        if not binary.is_file():
            raise CliError(
                f"no server executable at {binary}; build it or name it with ${SERVER_BINARY_ENV}", ExitStatus.USAGE
            )
        if not os.access(binary, os.X_OK):
            raise CliError(f"server executable {binary} is not executable; chmod +x {binary}", ExitStatus.USAGE)
        return
    folder = config.addin_path
    if folder is None:
        raise CliError(f"no add-in folder found; pass --addin-path DIR or set ${ADDIN_PATH_ENV}", ExitStatus.USAGE)
    if not folder.is_dir():
        raise CliError(
            f"add-in folder {folder} does not exist; pass the folder holding {SERVER_SCRIPT} with --addin-path",
            ExitStatus.USAGE,
        )
    if not (folder / SERVER_SCRIPT).is_file():
        raise CliError(
            f"no {SERVER_SCRIPT} in add-in folder {folder}; pass the folder holding it with --addin-path",
            ExitStatus.USAGE,
        )
    if shutil.which("node") is None:
        raise CliError(
            "node not found on PATH; install Node.js (Debian: apt-get install nodejs) or use --compiled",
            ExitStatus.USAGE,
        )
