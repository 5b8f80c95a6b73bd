"""msdsc: virtual microSD smart-card readers for tests, over the MicroSDSmartCardBus client library
(msdscclient.dll on Windows; on Linux the host build's library over the simulated kernel, see
msdsc.host).

    import msdsc
    with msdsc.open() as client:
        reader = client.add(number=7, drive=1, log=0)   # waits until Plug and Play started it
        print(client.version(), reader.reader_number, reader.device.instance_path)
        reader.remove()
"""

from ._native import IS_WINDOWS, LibraryNotFoundError
from .client import (DEFAULT_TIMEOUT, Client, Reader, ReaderConfiguration, ReaderDevice, Version, list_readers, open,
                     read_configuration, status_message, wait_for_reader)
from .errors import (AccessDeniedError, ClientClosedError, DriverNotLoadedError, MsdscError, NoBusError,
                     NoSuchReaderError, NotElevatedError, SessionHeldError, WaitTimeoutError)

__version__ = "1.0.0"

__all__ = [
    "AccessDeniedError", "Client", "ClientClosedError", "DEFAULT_TIMEOUT", "DriverNotLoadedError", "IS_WINDOWS",
    "LibraryNotFoundError", "MsdscError", "NoBusError", "NoSuchReaderError", "NotElevatedError", "Reader",
    "ReaderConfiguration", "ReaderDevice", "SessionHeldError", "Version",
    "WaitTimeoutError", "driver_available", "list_readers", "open", "read_configuration", "status_message",
    "wait_for_reader",
]


def driver_available():
    """(True, "") when readers can be made here, else (False, why). On Linux: the host build's
    libraries load (the simulated machine is started separately, see msdsc.host). On Windows: the
    library loads and the control device opens (it is closed again at once)."""
    try:
        if not IS_WINDOWS:
            from . import host
            host.running()
            return True, ""
        Client().close(wait=False)
        return True, ""
    except LibraryNotFoundError as error:
        return False, str(error)
    except MsdscError as error:
        return False, str(error)
