"""A session with the driver: the control device open, readers added and removed, and the readers as
Plug and Play sees them, over the client library."""

from __future__ import annotations

import ctypes
import re
import weakref
from dataclasses import dataclass
from typing import List, NamedTuple, Optional, Union

from . import _native as n
from .errors import STATUS_BUFFER_OVERFLOW, STATUS_NOT_FOUND, error_for

DEFAULT_TIMEOUT = 10.0
_UINT32_MAX = 0xFFFFFFFF
_HANDLE_SIZE = 16

# Sessions not yet closed, so that the simulated machine (and the pytest plugin, for a session a
# test left open) can close them.
_open_clients: "weakref.WeakSet[Client]" = weakref.WeakSet()


def _text(value: Optional[bytes]) -> str:
    return value.decode("utf-8", "replace") if value else ""


def _check(operation: int, status: int, message: ctypes.c_char_p, detail: Optional[str] = None) -> int:
    """Raises for a failed call; STATUS_BUFFER_OVERFLOW is a warning the caller handles."""
    if status < 0 and (status & 0xFFFFFFFF) != STATUS_BUFFER_OVERFLOW:
        raise error_for(operation, status, _text(message.value), detail)
    return status & 0xFFFFFFFF


# ---- Arguments, checked before they reach ctypes (which would wrap -1 to 4294967295) ----------------

def _uint32(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int (unsigned 32-bit), not {type(value).__name__}")
    if not 0 <= value <= _UINT32_MAX:
        raise ValueError(f"{name} must be from 0 to {_UINT32_MAX}, not {value}")
    return value


def _timeout_ms(timeout: object) -> int:
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, not {type(timeout).__name__}")
    if not timeout >= 0:
        raise ValueError(f"timeout must be 0 or more seconds, not {timeout}")
    # The library's longest wait (about 49 days) stands for anything longer, infinity included.
    return int(min(timeout * 1000, _UINT32_MAX))


def _handle_bytes(name: str, value: object) -> bytes:
    """A Reader's handle, or 16 bytes of one."""
    if isinstance(value, Reader):
        return value.handle
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(f"{name} must be a Reader or a handle's 16 bytes, not {type(value).__name__}"
                        + (" (parse a handle the tools printed with msdsc.parse_handle)" if isinstance(value, str) else ""))
    data = bytes(value)
    if len(data) != _HANDLE_SIZE:
        raise ValueError(f"{name} must be 16 bytes, not {len(data)}")
    return data


def _record(handle: bytes) -> n.MsdscReaderHandle:
    record = n.MsdscReaderHandle()
    record.bytes[:] = handle
    return record


def format_handle(handle: Union[bytes, "Reader"]) -> str:
    """A handle as the tools print it and `msdscctl remove` takes it: BUS:READER, each 64-bit
    little-endian half in hexadecimal. The reader half is the reader number."""
    data = _handle_bytes("handle", handle)
    return f"{int.from_bytes(data[:8], 'little'):016x}:{int.from_bytes(data[8:], 'little'):016x}"


# One half as the tools take it: 1 to 16 ASCII hexadecimal digits, "0x" before them optional, and
# nothing else (int(..., 16) would also take blanks, '_', a sign and other scripts' digits).
_HANDLE_HALF = re.compile(r"(?:0[xX])?[0-9A-Fa-f]{1,16}")


def parse_handle(text: str) -> bytes:
    """The 16 bytes of a handle printed as BUS:READER (hexadecimal halves, 0x optional): exactly the
    text msdscctl's remove takes."""
    if not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}")
    halves = text.split(":")
    if len(halves) != 2 or not all(_HANDLE_HALF.fullmatch(half) for half in halves):
        raise ValueError(f"a handle is BUS:READER, two 64-bit halves in hexadecimal, not {text!r}")
    return b"".join(int(half, 16).to_bytes(8, "little") for half in halves)


def status_message(operation: int, status: int) -> str:
    """The library's text for a status of an operation (MsdscOperation*)."""
    signed = ctypes.c_int32(status & 0xFFFFFFFF).value
    return _text(n.client_library().MsdscStatusMessage(operation, signed))


@dataclass(frozen=True)
class ReaderDevice:
    """A reader's device node as Plug and Play sees it."""
    reader_number: int
    present: bool
    started: bool
    problem: int  # CM_PROB_*, 0 for none
    instance_path: str
    driver: str = ""  # the service of its function driver; empty when none is installed (problem 28)
    # False where Plug and Play reports no node state (Wine): see msdscclient.h's stateReported.
    state_reported: bool = True

    @classmethod
    def _from(cls, record: n.MsdscReaderDevice) -> "ReaderDevice":
        return cls(record.readerNumber, bool(record.present), bool(record.started), record.problem,
                   _text(record.instancePath), _text(record.driver), bool(record.stateReported))


class ReaderConfiguration(NamedTuple):
    """A started reader's configuration as the sample reader driver read it at its start."""
    number: int
    drive: int
    log: int
    exists: int
    driver_version: tuple


def read_configuration(reader_number):
    """What the sample reader driver over that reader read from its hardware key, through the
    sample's interface. Raises MsdscError (status STATUS_NOT_FOUND) when no started reader of that
    number has the sample as its driver. Needs no session."""
    record = n.MsdscReaderConfiguration()
    message = ctypes.c_char_p()
    status = n.client_library().MsdscReadReaderConfiguration(reader_number, ctypes.byref(record),
                                                             ctypes.byref(message))
    _check(n.MsdscOperationReadConfiguration, status, message, f"reader number {reader_number}")
    return ReaderConfiguration(record.number, record.drive, record.log, record.exists, tuple(record.driverVersion))


def list_readers() -> List[ReaderDevice]:
    """Every reader device node, present or not, in increasing reader number. Needs no session."""
    library = n.client_library()
    capacity = 16
    while True:
        records = (n.MsdscReaderDevice * capacity)()
        count = ctypes.c_uint32()
        message = ctypes.c_char_p()
        status = library.MsdscListReaderDevices(records, capacity, ctypes.byref(count), ctypes.byref(message))
        if _check(n.MsdscOperationListDevices, status, message) != STATUS_BUFFER_OVERFLOW:
            return [ReaderDevice._from(records[i]) for i in range(count.value)]
        capacity = count.value + 4  # readers may come between two calls


def bus_devices() -> int:
    """The bus devices present on the machine; 0 means no bus device is installed. Needs no session."""
    count = ctypes.c_uint32()
    message = ctypes.c_char_p()
    _check(n.MsdscOperationListDevices,
           n.client_library().MsdscCountBusDevices(ctypes.byref(count), ctypes.byref(message)), message)
    return count.value


def _state(device: ReaderDevice) -> str:
    if not device.present:
        return "not present"
    if device.started:
        return "started"
    return f"present, not started (problem {device.problem})" if device.problem else "present, not started"


def _waited(status: int, record: n.MsdscReaderDevice, message: ctypes.c_char_p) -> ReaderDevice:
    device = ReaderDevice._from(record)
    _check(n.MsdscOperationWaitForDevice, status, message,
           f"reader {device.reader_number}: {_state(device)}" if status < 0 else None)
    return device


def wait_for_reader(reader: Union[int, bytes, "Reader"], gone: bool = False,
                    timeout: float = DEFAULT_TIMEOUT) -> ReaderDevice:
    """Waits until a reader (its reader number, its handle or a Reader) is started or, with gone, no
    present device node has it, and returns its last state. Raises WaitTimeoutError when the time runs
    out; a wait for the start ends at once with ReaderProblemError on a problem code waiting does not
    cure (no function driver, its AddDevice or start failed, disabled ...)."""
    what = n.MsdscWaitForGone if gone else n.MsdscWaitForStarted
    milliseconds = _timeout_ms(timeout)
    record = n.MsdscReaderDevice()
    message = ctypes.c_char_p()
    library = n.client_library()
    if isinstance(reader, int) and not isinstance(reader, bool):
        status = library.MsdscWaitForReaderDevice(_uint32("reader", reader), what, milliseconds,
                                                  ctypes.byref(record), ctypes.byref(message))
    else:
        handle = _record(_handle_bytes("reader", reader))
        status = library.MsdscWaitForReader(ctypes.byref(handle), what, milliseconds, ctypes.byref(record),
                                            ctypes.byref(message))
    return _waited(status, record, message)


class Version(NamedTuple):
    major: int
    minor: int
    build: int
    revision: int

    def __str__(self) -> str:
        return ".".join(str(part) for part in self)


def reader_number_of(handle: Union[bytes, "Reader"]) -> int:
    """The reader number a handle names: the reader's instance ID, as Plug and Play shows it."""
    record = _record(_handle_bytes("handle", handle))
    number = ctypes.c_uint32()
    message = ctypes.c_char_p()
    _check(n.MsdscOperationWaitForDevice,
           n.client_library().MsdscReaderNumberOfHandle(ctypes.byref(record), ctypes.byref(number),
                                                         ctypes.byref(message)), message)
    return number.value


class Reader:
    """A reader this session added: its configuration (number, drive, log), the driver's handle for it
    (16 bytes) and its reader number, which the handle carries and Plug and Play shows."""

    def __init__(self, client: "Client", number: int, drive: int, log: int, handle: bytes) -> None:
        self.client = client
        self.number = number
        self.drive = drive
        self.log = log
        self.handle = handle
        self.reader_number: int = reader_number_of(handle)
        self.removed = False

    @property
    def config(self) -> dict:
        """The configuration as its function driver reads it from the hardware key."""
        return {"number": self.number, "drive": self.drive, "log": self.log}

    @property
    def handle_text(self) -> str:
        """The handle as the tools print it (`msdscctl remove` takes it)."""
        return format_handle(self.handle)

    @property
    def device(self) -> Optional[ReaderDevice]:
        """The reader's device node as Plug and Play sees it now; None when it has none. Raises
        StaleHandleError once the reader is removed (or closed with its session): its number may name
        another reader by then."""
        record = n.MsdscReaderDevice()
        message = ctypes.c_char_p()
        status = n.client_library().MsdscGetReaderDevice(ctypes.byref(_record(self.handle)), ctypes.byref(record),
                                                         ctypes.byref(message))
        if (status & 0xFFFFFFFF) == STATUS_NOT_FOUND:
            return None
        _check(n.MsdscOperationListDevices, status, message, f"reader {self.reader_number}")
        return ReaderDevice._from(record)

    def wait_started(self, timeout: float = DEFAULT_TIMEOUT) -> ReaderDevice:
        """Waits until Plug and Play has started the reader; returns its device node."""
        return wait_for_reader(self, timeout=timeout)

    def wait_gone(self, timeout: float = DEFAULT_TIMEOUT) -> ReaderDevice:
        """Waits until the reader's device node is gone. Raises StaleHandleError once this process
        removed it or closed its session (remove and close wait for the node themselves)."""
        return wait_for_reader(self, gone=True, timeout=timeout)

    def remove(self, wait: bool = True, timeout: float = DEFAULT_TIMEOUT) -> None:
        self.client.remove(self, wait=wait, timeout=timeout)

    def __repr__(self) -> str:
        return (f"<Reader {self.reader_number} number={self.number} drive={self.drive} log={self.log} "
                f"handle={self.handle_text}{' removed' if self.removed else ''}>")


class Client:
    """The control device, open: one session, the only one on the machine while it lasts. Closing it
    (or the process ending) removes every reader it added. A context manager."""

    def __init__(self) -> None:
        self._library = n.client_library()
        pointer = ctypes.POINTER(n.MsdscClient)()
        message = ctypes.c_char_p()
        _check(n.MsdscOperationOpen, self._library.MsdscOpen(ctypes.byref(pointer), ctypes.byref(message)), message)
        self._pointer = pointer
        self._added: List[Reader] = []
        _open_clients.add(self)

    @property
    def closed(self) -> bool:
        return not self._pointer

    @property
    def readers(self) -> List[Reader]:
        """The readers this session added and has not removed."""
        return [reader for reader in self._added if not reader.removed]

    @property
    def added(self) -> List[Reader]:
        """Every reader this session added, removed or not."""
        return list(self._added)

    def _call(self, operation: int, name: str, *arguments: object, detail: Optional[str] = None) -> int:
        message = ctypes.c_char_p()
        # A closed session passes NULL, and the library refuses it with its own status and message.
        pointer = self._pointer or ctypes.POINTER(n.MsdscClient)()
        status = getattr(self._library, name)(pointer, *arguments, ctypes.byref(message))
        return _check(operation, status, message, detail)

    def version(self) -> Version:
        components = (ctypes.c_uint16 * 4)()
        self._call(n.MsdscOperationGetVersion, "MsdscGetVersion", components)
        return Version(*components)

    def add(self, number: int, drive: int, log: int, wait: bool = True,
            timeout: float = DEFAULT_TIMEOUT) -> Reader:
        """Adds a reader with the three values its function driver reads (each unsigned 32-bit); with
        wait, returns once Plug and Play has started it. When only the wait fails, the reader stays
        added (it is in `readers`, and the close removes it) and the wait's error is raised."""
        values = [_uint32(name, value) for name, value in (("number", number), ("drive", drive), ("log", log))]
        milliseconds = _timeout_ms(timeout)
        # All ones until the driver answers: a reader half without a reader number means no reader.
        handle = n.MsdscReaderHandle()
        handle.bytes[:] = b"\xff" * _HANDLE_SIZE
        if not wait:
            self._call(n.MsdscOperationAddReader, "MsdscAddReader", *values, ctypes.byref(handle))
            return self._adopt(values, bytes(handle.bytes))
        record = n.MsdscReaderDevice()
        message = ctypes.c_char_p()
        pointer = self._pointer or ctypes.POINTER(n.MsdscClient)()
        status = self._library.MsdscAddReaderAndWait(pointer, *values, milliseconds, ctypes.byref(handle),
                                                     ctypes.byref(record), ctypes.byref(message))
        if bytes(handle.bytes[8:]) == b"\xff" * 8:
            _check(n.MsdscOperationAddReader, status, message)
        reader = self._adopt(values, bytes(handle.bytes))
        _waited(status, record, message)
        return reader

    def _adopt(self, values: List[int], handle: bytes) -> Reader:
        reader = Reader(self, *values, handle)
        self._added.append(reader)
        return reader

    def remove(self, reader: Union[Reader, bytes], wait: bool = True, timeout: float = DEFAULT_TIMEOUT) -> None:
        """Removes a reader (a Reader, or a handle's 16 bytes); with wait, returns once its device
        node is gone."""
        handle = _handle_bytes("reader", reader)
        milliseconds = _timeout_ms(timeout)
        self._call(n.MsdscOperationRemoveReader, "MsdscRemoveReader", ctypes.byref(_record(handle)),
                   detail=f"handle {format_handle(handle)}")
        for added in self._added:
            if added.handle == handle:
                added.removed = True
        if wait:
            # By number: the handle is stale from the removal on.
            wait_for_reader(reader_number_of(handle), gone=True, timeout=milliseconds / 1000)

    def close(self, wait: bool = True, timeout: float = DEFAULT_TIMEOUT) -> None:
        """Closes the control device; the driver removes the session's readers. With wait, returns
        once their device nodes are gone. Closing a closed session does nothing."""
        if self.closed:
            return
        milliseconds = _timeout_ms(timeout)
        live = self.readers
        pointer, self._pointer = self._pointer, None
        _open_clients.discard(self)
        for reader in live:
            reader.removed = True
        message = ctypes.c_char_p()
        # The library frees the client also when closing fails.
        _check(n.MsdscOperationClose, self._library.MsdscClose(pointer, ctypes.byref(message)), message)
        if wait:
            for reader in live:
                wait_for_reader(reader.reader_number, gone=True, timeout=milliseconds / 1000)

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        # A dropped session would hold the control device, and so every later open, until the process ends.
        try:
            self.close(wait=False)
        except Exception:
            pass

    def __repr__(self) -> str:
        return f"<msdsc.Client {'closed' if self.closed else 'open'}, {len(self.readers)} reader(s)>"


def open() -> Client:  # noqa: A001 - msdsc.open, as the library's MsdscOpen
    """Opens the control device: a new session (a context manager)."""
    return Client()
