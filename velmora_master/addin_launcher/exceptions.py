"""Errors raised by the add-in launcher."""

from __future__ import annotations

import errno
import os

# What a failed file operation means for the certificate store, in words a user can act on.
_STORE_CAUSES = {
    "ENOTDIR": "a file stands where a folder should be",
    "EISDIR": "a folder stands where a file should be",
    "ELOOP": "a symbolic link stands where a file should be",
    "ENOSPC": "the disk is full",
    "EDQUOT": "the disk quota is used up",
    "EROFS": "the store is read-only",
    "EACCES": "the store is read-only or not yours",
    "EPERM": "the store is read-only or not yours",
}
_STORE_CAUSE_BY_ERRNO = {getattr(errno, name): cause for name, cause in _STORE_CAUSES.items() if hasattr(errno, name)}


class AddinLauncherError(Exception):
    """Base class of every error of the add-in launcher."""


class ServerStartError(AddinLauncherError):
    """The add-in server could not be started."""


class ServerStopError(AddinLauncherError):
    """The add-in server could not be stopped."""


class ServerNotRunningError(AddinLauncherError):
    """An operation needs a running add-in server and there is none."""


class CertificateStoreError(AddinLauncherError):
    """The certificate store cannot be used: it is not safe to keep keys in, or it cannot be read or written.

    The message names the path and the cause.
    """

    @classmethod
    def from_os_error(cls, doing: str, path: str | os.PathLike[str], error: OSError) -> CertificateStoreError:
        """The error for a file operation on the store that failed with `error`: what it means, then the
        system's own words."""
        cause = _STORE_CAUSE_BY_ERRNO.get(error.errno or 0)
        words = error.strerror or str(error)
        return cls(f"certificate store: cannot {doing} {os.fspath(path)}: {f'{cause} ({words})' if cause else words}")
