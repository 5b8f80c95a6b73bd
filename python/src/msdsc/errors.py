"""The exceptions: one per failure a caller handles, all carrying the NTSTATUS and the library's message."""

from __future__ import annotations

from typing import Dict, Optional, Tuple, Type

from . import _native as n

STATUS_SUCCESS = 0x00000000
STATUS_BUFFER_OVERFLOW = 0x80000005
STATUS_UNSUCCESSFUL = 0xC0000001
STATUS_INVALID_HANDLE = 0xC0000008
STATUS_INVALID_PARAMETER = 0xC000000D
STATUS_NO_SUCH_DEVICE = 0xC000000E
STATUS_ACCESS_DENIED = 0xC0000022
STATUS_SHARING_VIOLATION = 0xC0000043
STATUS_OBJECT_NAME_NOT_FOUND = 0xC0000034
STATUS_OBJECT_PATH_NOT_FOUND = 0xC000003A
STATUS_IO_TIMEOUT = 0xC00000B5
STATUS_DEVICE_CONFIGURATION_ERROR = 0xC0000182
STATUS_INVALID_DEVICE_STATE = 0xC0000184
STATUS_NOT_FOUND = 0xC0000225
MSDSC_STATUS_STALE_HANDLE = 0xE0000101

OPERATION_NAMES = {
    n.MsdscOperationOpen: "open",
    n.MsdscOperationGetVersion: "version",
    n.MsdscOperationAddReader: "add reader",
    n.MsdscOperationRemoveReader: "remove reader",
    n.MsdscOperationClose: "close",
    n.MsdscOperationListDevices: "list reader devices",
    n.MsdscOperationWaitForDevice: "wait for reader device",
    n.MsdscOperationReadConfiguration: "read reader configuration",
    n.MsdscOperationRebalanceReader: "rebalance reader",
    n.MsdscOperationFailReader: "fail reader",
}


class MsdscError(Exception):
    """A call of the client library failed.

    ``status`` is the NTSTATUS as an unsigned 32-bit number (0xC0000022), ``message`` the library's
    text for it in that call, ``operation`` the msdscclient.h operation (MsdscOperation*), ``detail``
    what the package adds, if anything (which reader it waited for)."""

    def __init__(self, operation: int, status: int, message: str, detail: Optional[str] = None) -> None:
        self.operation = operation
        self.status = status & 0xFFFFFFFF
        self.message = message
        self.detail = detail
        text = f"{OPERATION_NAMES.get(operation, 'call')}: 0x{self.status:08X} {message}"
        super().__init__(text + (f" ({detail})" if detail else ""))


class AccessDeniedError(MsdscError):
    """The control device refused the open: another session holds it (it admits one client on the
    whole machine), or on Windows the process is not elevated."""


class NotElevatedError(AccessDeniedError):
    """The control device admits only SYSTEM and administrators: run elevated."""


class SessionHeldError(AccessDeniedError):
    """Another session holds the control device; it admits one at a time."""


class NoBusError(MsdscError):
    """No started bus device to serve the request: none installed, or none of them started (removed,
    stopped, or not yet started by Plug and Play)."""


class DriverNotLoadedError(NoBusError):
    """There is no control device at all: the driver is not loaded, which on Windows means no bus
    device is installed (the driver is loaded for its first bus)."""


class NoSuchReaderError(MsdscError):
    """The handle names no reader of an installed bus: removed already, or closed with its session."""


class ClientClosedError(MsdscError):
    """A call on a session that is closed."""


class StaleHandleError(MsdscError):
    """A wait or a look at a reader by a handle this process saw removed, closed with its session, or
    replaced by a later reader of the same number: the handle's reader is gone, whatever reader holds
    its number now. Only this process's sessions are seen (the client library keeps the record)."""


class WaitTimeoutError(MsdscError, TimeoutError):
    """A reader's device node did not reach the state waited for in time."""


class ReaderProblemError(MsdscError):
    """A wait for a reader's start ended early: its device node has a problem code waiting does not
    cure (28 no function driver installed, 31 its AddDevice failed, 10 its start failed, 39 the driver
    could not be loaded, 52 its signature could not be verified, 22 disabled). ``message`` says what
    to do; ``detail`` names the reader and its problem code."""


# (operation or None for any, status) -> class; the operation-specific entry wins.
_CLASSES: Dict[Tuple[Optional[int], int], Type[MsdscError]] = {
    (n.MsdscOperationOpen, STATUS_ACCESS_DENIED): NotElevatedError,
    (n.MsdscOperationOpen, STATUS_SHARING_VIOLATION): SessionHeldError,
    (n.MsdscOperationOpen, STATUS_INVALID_DEVICE_STATE): NoBusError,
    (n.MsdscOperationOpen, STATUS_OBJECT_NAME_NOT_FOUND): DriverNotLoadedError,
    (n.MsdscOperationOpen, STATUS_OBJECT_PATH_NOT_FOUND): DriverNotLoadedError,
    (n.MsdscOperationOpen, STATUS_NO_SUCH_DEVICE): DriverNotLoadedError,
    (n.MsdscOperationGetVersion, STATUS_INVALID_DEVICE_STATE): NoBusError,
    (n.MsdscOperationAddReader, STATUS_INVALID_DEVICE_STATE): NoBusError,
    (n.MsdscOperationAddReader, STATUS_UNSUCCESSFUL): NoBusError,
    (n.MsdscOperationRemoveReader, STATUS_UNSUCCESSFUL): NoSuchReaderError,
    (n.MsdscOperationWaitForDevice, STATUS_IO_TIMEOUT): WaitTimeoutError,
    (n.MsdscOperationWaitForDevice, STATUS_DEVICE_CONFIGURATION_ERROR): ReaderProblemError,
    (None, STATUS_INVALID_HANDLE): ClientClosedError,
    (None, MSDSC_STATUS_STALE_HANDLE): StaleHandleError,
}


def error_for(operation: int, status: int, message: str, detail: Optional[str] = None) -> MsdscError:
    """The exception for a failed call: its class chosen by operation and status."""
    status &= 0xFFFFFFFF
    cls = _CLASSES.get((operation, status)) or _CLASSES.get((None, status)) or MsdscError
    return cls(operation, status, message, detail)
