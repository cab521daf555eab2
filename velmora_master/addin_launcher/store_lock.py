"""The inter-process lock that serialises everyone who reads or makes the certificate store.

Roughly::

    with open(folder / ".lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # msvcrt.locking on Windows
        ...  # read the store, make what is missing

A lock taken with flock (or msvcrt.locking) belongs to an open file, and the kernel drops it when the file is
closed, however its holder ends: a process that dies holding it leaves no stale lock behind. The lock file
lives in the owner-only store folder, so no other user can take it.
"""

from __future__ import annotations

import errno
import os
import sys
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

from .exceptions import CertificateStoreError

LOCK_NAME = ".lock"
# Making a store takes milliseconds; a holder this slow is stuck, and waiting on would only hang the caller.
WAIT_LIMIT = 60.0
# Errors that mean the folder cannot be written by us, so nobody of ours can write into it either.
READ_ONLY = frozenset({errno.EROFS, errno.EACCES, errno.EPERM})

if sys.platform == "win32":
    import msvcrt

    def _try_lock(fd: int) -> bool:
        os.lseek(fd, 0, os.SEEK_SET)  # msvcrt locks bytes from the current position: always the first one
        try:
            msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)
        except OSError as error:
            if error.errno in (errno.EACCES, errno.EDEADLK):  # held by another
                return False
            raise
        return True

    def _unlock(fd: int) -> None:
        os.lseek(fd, 0, os.SEEK_SET)
        msvcrt.locking(fd, msvcrt.LK_UNLCK, 1)

else:
    import fcntl

    def _try_lock(fd: int) -> bool:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return False
        return True

    def _unlock(fd: int) -> None:
        fcntl.flock(fd, fcntl.LOCK_UN)


@contextmanager
def store_lock(folder: Path) -> Iterator[OSError | None]:
    """Hold the store's lock for the block; yields None.

    A store we may not write to cannot be locked, and needs no lock as long as nobody writes into it: the
    block then runs unlocked, gets the error that refused the lock file, and must not write. Raises
    CertificateStoreError when the lock file cannot be opened otherwise or cannot be locked, or when another
    process holds the lock longer than WAIT_LIMIT seconds.
    """
    path = folder / LOCK_NAME
    refused: OSError | None = None
    try:
        fd = os.open(path, os.O_RDWR | os.O_CREAT | getattr(os, "O_NOFOLLOW", 0), 0o600)
    except OSError as error:
        if error.errno not in READ_ONLY:
            raise CertificateStoreError.from_os_error("open the lock file", path, error) from error
        refused = error
    if refused is not None:
        yield refused
        return
    try:
        try:
            if hasattr(os, "fchmod"):
                os.fchmod(fd, 0o600)  # a umask that took the owner's write bit would lock everyone out next time
            _acquire(fd, path)
        except OSError as error:  # a file system without locks (ENOLCK on some network homes), ...
            raise CertificateStoreError.from_os_error("lock", path, error) from error
        try:
            yield None
        finally:
            _unlock(fd)
    finally:
        os.close(fd)


def _acquire(fd: int, path: Path) -> None:
    # Polled rather than blocking, so that a stuck holder ends in an error instead of a hang; the first
    # retries come quickly because a holder is usually done within milliseconds.
    deadline = time.monotonic() + WAIT_LIMIT
    pause = 0.001
    while not _try_lock(fd):
        if time.monotonic() >= deadline:
            raise CertificateStoreError(
                f"certificate store: another process has held the lock {path} for more than {WAIT_LIMIT:g} s"
            )
        time.sleep(pause)
        pause = min(pause * 2, 0.05)
