"""msdsc: virtual microSD smart-card readers for tests, over the MicroSDSmartCardBus client library
(msdscclient.dll on Windows; on Linux the host build's library over the simulated kernel, see
msdsc.host).

    import msdsc
    with msdsc.open() as client:
        reader = client.add(number=7, drive=1, log=0)   # waits until Plug and Play started it
        print(client.version(), reader.reader_number, reader.device.instance_path)
        reader.remove()
"""

from typing import Tuple

from ._native import IS_WINDOWS, LibraryNotFoundError
from .client import (DEFAULT_TIMEOUT, Client, Reader, ReaderConfiguration, ReaderDevice, Version, bus_devices,
                     format_handle, list_readers, open, parse_handle, read_configuration, reader_number_of,
                     status_message, wait_for_reader)
from .errors import (AccessDeniedError, ClientClosedError, DriverNotLoadedError, MsdscError, NoBusError,
                     NoSuchReaderError, NotElevatedError, ReaderProblemError, SessionHeldError, StaleHandleError,
                     WaitTimeoutError)

if not IS_WINDOWS:
    # The simulated machine; importing it loads nothing until it is used.
    from . import host  # noqa: F401

__version__ = "1.0.0"

__all__ = [
    "AccessDeniedError", "Client", "ClientClosedError", "DEFAULT_TIMEOUT", "DriverNotLoadedError", "IS_WINDOWS",
    "LibraryNotFoundError", "MsdscError", "NoBusError", "NoSuchReaderError", "NotElevatedError", "Reader",
    "ReaderConfiguration", "ReaderDevice", "ReaderProblemError", "SessionHeldError", "StaleHandleError", "Version",
    "WaitTimeoutError",
    "bus_devices", "driver_available", "format_handle", "list_readers", "open", "parse_handle", "read_configuration",
    "reader_number_of", "status_message", "wait_for_reader",
]


def driver_available() -> Tuple[bool, str]:
    """(True, "") when a session could be opened here now, else (False, why). It opens the control
    device and closes it again at once; so while a session of this process is open the answer is
    (False, "another session holds the control device ..."). On Linux the simulated machine must be
    running (msdsc.host.start, or the pytest plugin)."""
    try:
        if not IS_WINDOWS and not host.running():
            return False, "no simulated machine is running: start one with msdsc.host.start() or msdsc.host.machine()"
        Client().close(wait=False)
        return True, ""
    except (LibraryNotFoundError, MsdscError) as error:
        return False, str(error)
