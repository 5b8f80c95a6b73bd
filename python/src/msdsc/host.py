"""The simulated machine of the host build (Linux): the driver image loaded into the simulated kernel
with N root bus devices started, under the same client library calls as on Windows. One per process."""

from __future__ import annotations

import contextlib
import ctypes
from typing import Iterator, List, Optional, Union
from os import PathLike

from . import _native as n
from .client import _open_clients


class MachineError(RuntimeError):
    """The simulated machine could not be started."""


def start(buses: int = 2, driver_image: Optional[Union[str, PathLike]] = None) -> None:
    """Starts a fresh machine: the driver loaded (the image the host build made, unless given) and
    `buses` bus devices started (0 to 64, as msdscctl-host's --buses). Fails when one is running."""
    # Refused here with the argument's name: ctypes would pass -1 on as 4294967295.
    if isinstance(buses, bool) or not isinstance(buses, int):
        raise TypeError(f"buses must be an int, not {type(buses).__name__}")
    if not 0 <= buses <= n.MSDSC_HOST_MAX_BUSES:
        raise ValueError(f"buses must be from 0 to {n.MSDSC_HOST_MAX_BUSES}, not {buses}")
    error = ctypes.create_string_buffer(512)
    image = str(driver_image).encode() if driver_image else None
    if n.host_library().MsdscHostStart(image, buses, error, len(error)) != 0:
        raise MachineError(f"cannot start the simulated machine: {error.value.decode('utf-8', 'replace')}")


def stop() -> None:
    """Closes every session still open (their handles die with the machine), lets Plug and Play
    finish, and resets the simulated kernel."""
    for client in list(_open_clients):
        with contextlib.suppress(Exception):
            client.close(wait=False)
    n.host_library().MsdscHostStop()


def running() -> bool:
    """True while a machine runs in this process."""
    return bool(n.host_library().MsdscHostRunning())


@contextlib.contextmanager
def machine(buses: int = 2, driver_image: Optional[Union[str, PathLike]] = None) -> Iterator[None]:
    """A machine for the `with` block: started, then stopped."""
    start(buses, driver_image)
    try:
        yield
    finally:
        stop()


def default_driver_image() -> str:
    return n.host_library().MsdscHostDefaultDriverImage().decode()


def surprise_remove_bus(index: int) -> None:
    """Surprise-removes bus `index` (0-based), as when its device is pulled out."""
    if n.host_library().MsdscHostSurpriseRemoveBus(index) != 0:
        raise IndexError(f"no bus {index} on a running machine")


def uninstall_reader_driver() -> None:
    """Uninstalls the reader's function driver, as on a clean machine: readers added from now on
    stay at problem 28 (no function driver), and a wait for their start fails at once."""
    if n.host_library().MsdscHostUninstallReaderDriver() != 0:
        raise MachineError("no simulated machine is running")


def driver_pool_blocks() -> int:
    """Pool blocks the driver holds now (once Plug and Play has finished its work)."""
    return n.host_library().MsdscHostDriverPoolBlocks()


def violations() -> List[str]:
    """The verifier violations the simulated kernel saw since the start, one text each."""
    library = n.host_library()
    count = library.MsdscHostViolations(None, 0)
    if not count:
        return []
    size = 4096
    while True:
        text = ctypes.create_string_buffer(size)
        library.MsdscHostViolations(text, size)
        if len(text.value) < size - 1:
            return text.value.decode("utf-8", "replace").splitlines()
        size *= 4
