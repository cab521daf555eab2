"""Errors raised by the add-in launcher."""


class AddinLauncherError(Exception):
    """Base class of every error of the add-in launcher."""


class ServerStartError(AddinLauncherError):
    """The add-in server could not be started."""


class ServerStopError(AddinLauncherError):
    """The add-in server could not be stopped."""


class ServerNotRunningError(AddinLauncherError):
    """An operation needs a running add-in server and there is none."""


class CertificateStoreError(AddinLauncherError):
    """The certificate folder cannot be trusted to hold private keys."""
