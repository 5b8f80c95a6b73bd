"""A session with the driver: the control device open, readers added and removed, and the readers as
Plug and Play sees them, over the client library."""

import ctypes
import time
import weakref
from dataclasses import dataclass
from typing import NamedTuple, Optional

from . import _native as n
from .errors import STATUS_BUFFER_OVERFLOW, STATUS_IO_TIMEOUT, error_for

DEFAULT_TIMEOUT = 10.0
_POLL_SECONDS = 0.02

# Sessions not yet closed, so that the simulated machine can close them before it stops.
_open_clients = weakref.WeakSet()


def _text(value):
    return value.decode("utf-8", "replace") if value else ""


def _check(operation, status, message, detail=None):
    """Raises for a failed call; STATUS_BUFFER_OVERFLOW is a warning the caller handles."""
    if status < 0 and (status & 0xFFFFFFFF) != STATUS_BUFFER_OVERFLOW:
        raise error_for(operation, status, _text(message.value), detail)
    return status & 0xFFFFFFFF


def status_message(operation, status):
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

    @classmethod
    def _from(cls, record):
        return cls(record.readerNumber, bool(record.present), bool(record.started), record.problem,
                   _text(record.instancePath), _text(record.driver))


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


def list_readers():
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


def wait_for_reader(reader_number, gone=False, timeout=DEFAULT_TIMEOUT):
    """Waits until the reader with that number is started (or, with gone, no present device node has
    it), and returns its last state. Raises WaitTimeoutError when the time runs out."""
    record = n.MsdscReaderDevice()
    message = ctypes.c_char_p()
    status = n.client_library().MsdscWaitForReaderDevice(
        reader_number, n.MsdscWaitForGone if gone else n.MsdscWaitForStarted, _milliseconds(timeout),
        ctypes.byref(record), ctypes.byref(message))
    device = ReaderDevice._from(record)
    _check(n.MsdscOperationWaitForDevice, status, message,
           f"reader number {reader_number}: {_state(device)}" if status < 0 else None)
    return device


def _milliseconds(seconds):
    return max(0, min(int(seconds * 1000), 0xFFFFFFFF))


def _state(device):
    if not device.present:
        return "not present"
    if device.started:
        return "started"
    return f"present, not started (problem {device.problem})" if device.problem else "present, not started"


class Version(NamedTuple):
    major: int
    minor: int
    build: int
    revision: int

    def __str__(self):
        return ".".join(str(part) for part in self)


class Reader:
    """A reader this session added: its configuration (number, drive, log), the driver's handle for it
    (16 bytes), and its reader number once Plug and Play shows it (see ``wait_started``)."""

    def __init__(self, client, number, drive, log, handle):
        self.client = client
        self.number = number
        self.drive = drive
        self.log = log
        self.handle = handle
        self.reader_number: Optional[int] = None
        self.removed = False

    @property
    def device(self):
        """The reader's device node as Plug and Play sees it now; None before its number is known."""
        if self.reader_number is None:
            self.client._assign_numbers(list_readers())
        if self.reader_number is None:
            return None
        return next((device for device in list_readers() if device.reader_number == self.reader_number), None)

    def wait_started(self, timeout=DEFAULT_TIMEOUT):
        """Waits until Plug and Play has started the reader; returns its device node."""
        deadline = time.monotonic() + timeout
        while self.reader_number is None:
            mine, live = self.client._assign_numbers(list_readers())
            if self.reader_number is not None:
                break
            if time.monotonic() >= deadline:
                raise error_for(n.MsdscOperationWaitForDevice, STATUS_IO_TIMEOUT,
                                status_message(n.MsdscOperationWaitForDevice, STATUS_IO_TIMEOUT),
                                f"{mine} device node(s) present for the session's {live} reader(s)")
            time.sleep(_POLL_SECONDS)
        return wait_for_reader(self.reader_number, timeout=max(0.0, deadline - time.monotonic()))

    def wait_gone(self, timeout=DEFAULT_TIMEOUT):
        if self.reader_number is None:
            raise ValueError("the reader's number is not known: it was never seen by Plug and Play")
        return wait_for_reader(self.reader_number, gone=True, timeout=timeout)

    def remove(self, wait=True, timeout=DEFAULT_TIMEOUT):
        self.client.remove(self, wait=wait, timeout=timeout)

    def __repr__(self):
        return (f"<Reader number={self.number} drive={self.drive} log={self.log} handle={self.handle.hex()} "
                f"reader_number={self.reader_number}{' removed' if self.removed else ''}>")


class Client:
    """The control device, open: one session, the only one on the machine while it lasts. Closing it
    (or the process ending) removes every reader it added. A context manager."""

    def __init__(self):
        self._library = n.client_library()
        pointer = ctypes.POINTER(n.MsdscClient)()
        message = ctypes.c_char_p()
        _check(n.MsdscOperationOpen, self._library.MsdscOpen(ctypes.byref(pointer), ctypes.byref(message)), message)
        self._pointer = pointer
        self._added = []
        # Readers present now are not this session's: the control device admits one client.
        self._foreign = {device.reader_number for device in list_readers() if device.present}
        _open_clients.add(self)

    @property
    def closed(self):
        return not self._pointer

    @property
    def readers(self):
        """The readers this session added and has not removed."""
        return [reader for reader in self._added if not reader.removed]

    @property
    def added(self):
        """Every reader this session added, removed or not."""
        return list(self._added)

    def _call(self, operation, name, *arguments, detail=None):
        message = ctypes.c_char_p()
        # A closed session passes NULL, and the library refuses it with its own status and message.
        pointer = self._pointer or ctypes.POINTER(n.MsdscClient)()
        status = getattr(self._library, name)(pointer, *arguments, ctypes.byref(message))
        return _check(operation, status, message, detail)

    def version(self):
        components = (ctypes.c_uint16 * 4)()
        self._call(n.MsdscOperationGetVersion, "MsdscGetVersion", components)
        return Version(*components)

    def add(self, number, drive, log, wait=True, timeout=DEFAULT_TIMEOUT):
        """Adds a reader with the three values its function driver reads; with wait, returns once
        Plug and Play has started it (its reader number and device node known)."""
        handle = n.MsdscReaderHandle()
        self._call(n.MsdscOperationAddReader, "MsdscAddReader", number, drive, log, ctypes.byref(handle))
        reader = Reader(self, number, drive, log, bytes(handle.bytes))
        self._added.append(reader)
        if wait:
            reader.wait_started(timeout)
        return reader

    def remove(self, reader, wait=True, timeout=DEFAULT_TIMEOUT):
        """Removes a reader (a Reader, or a handle's 16 bytes); with wait, returns once its device
        node is gone."""
        handle = reader.handle if isinstance(reader, Reader) else bytes(reader)
        mine = next((added for added in self._added if added.handle == handle and not added.removed), None)
        if mine is not None and mine.reader_number is None:
            # Its number must be known before it goes, or nothing tells which node was it.
            self._assign_numbers(list_readers())
        record = n.MsdscReaderHandle()
        record.bytes[:] = handle
        self._call(n.MsdscOperationRemoveReader, "MsdscRemoveReader", ctypes.byref(record),
                   detail=f"handle {handle.hex()}")
        if mine is not None:
            mine.removed = True
            if wait and mine.reader_number is not None:
                mine.wait_gone(timeout)

    def close(self, wait=True, timeout=DEFAULT_TIMEOUT):
        """Closes the control device; the driver removes the session's readers. With wait, returns
        once their device nodes are gone. Closing a closed session does nothing."""
        if self.closed:
            return
        live = self.readers
        for reader in live:
            if reader.reader_number is None:
                self._assign_numbers(list_readers())
                break
        pointer, self._pointer = self._pointer, None
        _open_clients.discard(self)
        for reader in live:
            reader.removed = True
        message = ctypes.c_char_p()
        # The library frees the client also when closing fails.
        _check(n.MsdscOperationClose, self._library.MsdscClose(pointer, ctypes.byref(message)), message)
        if wait:
            deadline = time.monotonic() + timeout
            for reader in live:
                if reader.reader_number is not None:
                    reader.wait_gone(max(0.0, deadline - time.monotonic()))

    # Which device node is which reader: the handle says nothing (its bytes are the driver's), but the
    # driver numbers readers in the order it creates them and never reuses a number while loaded, and
    # only this session adds readers while it holds the control device. So once the present nodes that
    # are neither foreign nor a removed reader's are as many as the session's live readers, in
    # increasing number they are those readers in the order they were added.
    def _assign_numbers(self, devices):
        removed_numbers = {reader.reader_number for reader in self._added if reader.removed}
        mine = [device.reader_number for device in devices
                if device.present and device.reader_number not in self._foreign
                and device.reader_number not in removed_numbers]
        live = self.readers
        if len(mine) == len(live):
            for reader, number in zip(live, sorted(mine)):
                reader.reader_number = number
        return len(mine), len(live)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __del__(self):
        # A dropped session would hold the control device, and so every later open, until the process ends.
        try:
            self.close(wait=False)
        except Exception:
            pass

    def __repr__(self):
        return f"<msdsc.Client {'closed' if self.closed else 'open'}, {len(self.readers)} reader(s)>"


def open():  # noqa: A001 - msdsc.open, as the library's MsdscOpen
    """Opens the control device: a new session (a context manager)."""
    return Client()
