"""Logging set-up shared by the package and the processes it starts."""

from __future__ import annotations

import logging
import os
import sys

LOG_LEVEL_ENV = "VELMORA_LOG_LEVEL"
LOG_FORMAT = "%(asctime)s %(levelname)-8s %(name)s: %(message)s"


def get_logger(name: str) -> logging.Logger:
    """Return the standard logger called `name`.

    Loggers of the package inherit their level and handlers from the
    "velmora_master" logger, so one call to `setup_logging_subprocess` (or the
    application's own logging set-up) configures them all.
    """
    return logging.getLogger(name)


def setup_logging_subprocess(level: int | str | None = None) -> logging.Logger:
    """Configure logging in a child process of the add-in.

    Installs one handler writing to standard error on the package's logger, at
    `level`, or at the level named by the VELMORA_LOG_LEVEL environment variable
    (default INFO). Calling it again replaces the handler instead of adding one.
    """
    if level is None:
        level = os.environ.get(LOG_LEVEL_ENV, "INFO")
    if isinstance(level, str):
        resolved = logging.getLevelName(level.upper())
        if not isinstance(resolved, int):
            raise ValueError(f"unknown logging level: {level!r}")
        level = resolved
    package_logger = logging.getLogger("velmora_master")
    for handler in list(package_logger.handlers):
        if getattr(handler, "_velmora_subprocess", False):
            package_logger.removeHandler(handler)
            handler.close()
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter(LOG_FORMAT))
    handler._velmora_subprocess = True  # type: ignore[attr-defined]
    package_logger.addHandler(handler)
    package_logger.setLevel(level)
    return package_logger
