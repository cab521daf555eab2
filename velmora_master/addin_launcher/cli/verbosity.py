"""How much this program and the server say: --log-level, else $VELMORA_LOG_LEVEL, moved by -v and -q."""

import argparse
import logging
import os

from velmora_master import logging_config

from .exit_status import CliError, ExitStatus

LEVELS = ("DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL")
DEFAULT_LEVEL = "WARNING"
# The certificate store's logger. It notes a replaced CA, which the command line tells in its own words at any
# level (certs.tell_ca_replacement): its note would say it twice.
STORE_LOGGER = "velmora_master.addin_launcher.certificate_manager"


def configure_logging(args: argparse.Namespace) -> int:
    """Configure the package's logging; the server's --logging-level follows the manager logger's level."""
    base: str | None = args.log_level
    if base is None:
        name = logging_config.LOG_LEVEL_ENV
        from_env = os.environ.get(name)
        if from_env and from_env.upper() not in LEVELS:
            raise CliError(
                f"{name}={from_env} is not a logging level; use one of {', '.join(LEVELS)}", ExitStatus.USAGE
            )
        base = from_env.upper() if from_env else DEFAULT_LEVEL
    quieter: int = args.quiet - args.verbose
    value = logging.getLevelNamesMapping()[base] + 10 * quieter
    value = min(max(value, logging.DEBUG), logging.CRITICAL)
    logging_config.setup_logging_subprocess(value)
    store_logger = logging.getLogger(STORE_LOGGER)
    if _not_a_replacement_note not in store_logger.filters:
        store_logger.addFilter(_not_a_replacement_note)
    return value


def _not_a_replacement_note(record: logging.LogRecord) -> bool:
    return record.funcName != "_replaced"  # CertificateManager._replaced, which notes a replaced CA
