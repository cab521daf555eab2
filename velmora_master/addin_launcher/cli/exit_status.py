"""How a run of the command line ends: its exit statuses, and the error that carries one."""

from enum import IntEnum


class ExitStatus(IntEnum):
    """What the command line's exit status tells the shell or the program that ran it."""

    DONE = 0
    FAILURE = 1  # the server failed to start or stopped on its own, or another failure
    USAGE = 2  # what was asked cannot work as given: an option, a port taken, a program or folder missing
    SIGNALLED = 128  # plus the signal's number, as a shell reports a program that a signal ended

    @staticmethod
    def after_signal(signum: int) -> int:
        """The status after the signal `signum`: 130 after SIGINT, 143 after SIGTERM."""
        return ExitStatus.SIGNALLED + signum


class CliError(Exception):
    """A failure reported as one line on stderr, ending the run with `status`."""

    def __init__(self, message: str, status: ExitStatus = ExitStatus.FAILURE) -> None:
        super().__init__(message)
        self.status = status
