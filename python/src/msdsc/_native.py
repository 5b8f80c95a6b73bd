"""The C surfaces the package calls through ctypes, declared once, and the libraries that carry them.

``CLIENT_FUNCTIONS`` mirrors msdscclient.h (msdscclient.dll on Windows, libmsdscclient.so in the host
build); ``HOST_FUNCTIONS`` mirrors msdsc_host.h (libmsdschost.so: the simulated machine, Linux only).
Every type keeps its C name, so that the package's tests can hold these tables against the headers.
"""

import ctypes
import os
import sys
from pathlib import Path
from typing import Optional

# ---- Types of msdscclient.h -----------------------------------------------------------------------

MsdscStatus = ctypes.c_int32
MsdscOperation = ctypes.c_int  # an enum: int-sized in both builds' C ABIs
MsdscWaitFor = ctypes.c_int
MsdscDeviceKind = ctypes.c_int

MSDSC_INSTANCE_PATH_SIZE = 200
MSDSC_DRIVER_NAME_SIZE = 32
MSDSC_HOST_MAX_BUSES = 64

# typedef enum MsdscOperation
MsdscOperationOpen = 0
MsdscOperationGetVersion = 1
MsdscOperationAddReader = 2
MsdscOperationRemoveReader = 3
MsdscOperationClose = 4
MsdscOperationListDevices = 5
MsdscOperationWaitForDevice = 6
MsdscOperationReadConfiguration = 7
MsdscOperationRebalanceReader = 8
MsdscOperationFailReader = 9

# typedef enum MsdscWaitFor
MsdscWaitForStarted = 0
MsdscWaitForGone = 1

# typedef enum MsdscDeviceKind
MsdscDeviceBus = 0
MsdscDeviceReader = 1


class MsdscClient(ctypes.Structure):
    """Opaque: only pointers to it cross the surface."""


class MsdscReaderHandle(ctypes.Structure):
    _fields_ = [("bytes", ctypes.c_uint8 * 16)]


class MsdscReaderDevice(ctypes.Structure):
    _fields_ = [
        ("readerNumber", ctypes.c_uint32),
        ("present", ctypes.c_uint32),
        ("started", ctypes.c_uint32),
        ("problem", ctypes.c_uint32),
        ("instancePath", ctypes.c_char * MSDSC_INSTANCE_PATH_SIZE),
        ("driver", ctypes.c_char * MSDSC_DRIVER_NAME_SIZE),
        ("stateReported", ctypes.c_uint32),
    ]


class MsdscReaderConfiguration(ctypes.Structure):
    _fields_ = [
        ("number", ctypes.c_uint32),
        ("drive", ctypes.c_uint32),
        ("log", ctypes.c_uint32),
        ("exists", ctypes.c_uint32),
        ("driverVersion", ctypes.c_uint16 * 4),
    ]


_message = ctypes.POINTER(ctypes.c_char_p)
_client = ctypes.POINTER(MsdscClient)

# name: (return type, argument types), in the header's order.
CLIENT_FUNCTIONS = {
    "MsdscStatusMessage": (ctypes.c_char_p, [MsdscOperation, MsdscStatus]),
    "MsdscOpen": (MsdscStatus, [ctypes.POINTER(_client), _message]),
    "MsdscGetVersion": (MsdscStatus, [_client, ctypes.POINTER(ctypes.c_uint16), _message]),
    "MsdscAddReader": (MsdscStatus, [_client, ctypes.c_uint32, ctypes.c_uint32, ctypes.c_uint32,
                                     ctypes.POINTER(MsdscReaderHandle), _message]),
    "MsdscRemoveReader": (MsdscStatus, [_client, ctypes.POINTER(MsdscReaderHandle), _message]),
    "MsdscReaderNumberOfHandle": (MsdscStatus, [ctypes.POINTER(MsdscReaderHandle), ctypes.POINTER(ctypes.c_uint32),
                                                _message]),
    "MsdscClose": (MsdscStatus, [_client, _message]),
    "MsdscListReaderDevices": (MsdscStatus, [ctypes.POINTER(MsdscReaderDevice), ctypes.c_uint32,
                                             ctypes.POINTER(ctypes.c_uint32), _message]),
    "MsdscWaitForReaderDevice": (MsdscStatus, [ctypes.c_uint32, MsdscWaitFor, ctypes.c_uint32,
                                               ctypes.POINTER(MsdscReaderDevice), _message]),
    "MsdscReadReaderConfiguration": (MsdscStatus, [ctypes.c_uint32, ctypes.POINTER(MsdscReaderConfiguration), _message]),
    "MsdscProblemAdvice": (ctypes.c_char_p, [MsdscDeviceKind, ctypes.c_uint32, ctypes.POINTER(ctypes.c_uint32)]),
    "MsdscWaitForReader": (MsdscStatus, [ctypes.POINTER(MsdscReaderHandle), MsdscWaitFor, ctypes.c_uint32,
                                         ctypes.POINTER(MsdscReaderDevice), _message]),
    "MsdscGetReaderDevice": (MsdscStatus, [ctypes.POINTER(MsdscReaderHandle), ctypes.POINTER(MsdscReaderDevice),
                                           _message]),
    "MsdscAddReaderAndWait": (MsdscStatus, [_client, ctypes.c_uint32, ctypes.c_uint32, ctypes.c_uint32,
                                            ctypes.c_uint32, ctypes.POINTER(MsdscReaderHandle),
                                            ctypes.POINTER(MsdscReaderDevice), _message]),
    "MsdscCountBusDevices": (MsdscStatus, [ctypes.POINTER(ctypes.c_uint32), _message]),
}

HOST_FUNCTIONS = {
    "MsdscHostDefaultDriverImage": (ctypes.c_char_p, []),
    "MsdscHostStart": (ctypes.c_int32, [ctypes.c_char_p, ctypes.c_uint32, ctypes.c_char_p, ctypes.c_uint32]),
    "MsdscHostStop": (None, []),
    "MsdscHostRunning": (ctypes.c_int32, []),
    "MsdscHostSurpriseRemoveBus": (ctypes.c_int32, [ctypes.c_uint32]),
    "MsdscHostUninstallReaderDriver": (ctypes.c_int32, []),
    "MsdscHostDriverPoolBlocks": (ctypes.c_uint64, []),
    "MsdscHostViolations": (ctypes.c_uint32, [ctypes.c_char_p, ctypes.c_uint32]),
}

# ---- Finding and loading the libraries ------------------------------------------------------------

IS_WINDOWS = sys.platform == "win32"
CLIENT_LIBRARY_NAME = "msdscclient.dll" if IS_WINDOWS else "libmsdscclient.so"
HOST_LIBRARY_NAME = "libmsdschost.so"


class LibraryNotFoundError(RuntimeError):
    """The client library (or, on Linux, the simulated machine's library) could not be loaded."""


# Set by the pytest plugin's --msdsc-host-build; wins over the environment.
host_build_override: Optional[str] = None


def host_build_dir() -> Optional[Path]:
    """The host build folder: --msdsc-host-build, else $MSDSC_HOST_BUILD, else build/host of the
    source tree this package sits in (python/src/msdsc inside the checkout; an installed package
    sits in no checkout); None when none is there."""
    configured = host_build_override or os.environ.get("MSDSC_HOST_BUILD")
    if configured:
        return Path(configured)
    for parent in Path(__file__).resolve().parents:
        candidate = parent / "build" / "host"
        if (candidate / "client" / CLIENT_LIBRARY_NAME).is_file():
            return candidate
    return None


def _explicit(variable: str) -> Optional[str]:
    """An environment variable naming a path: only an absolute one counts. A relative path (or a
    bare name, which the loader would search for) could resolve into the current directory."""
    value = os.environ.get(variable)
    if not value:
        return None
    if not os.path.isabs(value):
        raise LibraryNotFoundError(f"{variable} must be an absolute path, not {value!r}")
    return value


def client_library_path() -> Optional[str]:
    """Where the client library is looked for, only ever by absolute path: $MSDSC_CLIENT_LIBRARY;
    on Windows then the package's own folder, then $MSDSC_TOOL_DIR (the folder of the unzipped
    package's msdscctl.exe); on Linux the host build. Never the current directory, PATH or the DLL
    search order: an elevated rig started in a folder a user can write to would load a planted
    library with the rig's rights."""
    configured = _explicit("MSDSC_CLIENT_LIBRARY")
    if configured:
        return configured
    if IS_WINDOWS:
        own = Path(__file__).resolve().parent / CLIENT_LIBRARY_NAME
        if own.is_file():
            return str(own)
        tool_dir = _explicit("MSDSC_TOOL_DIR")
        if tool_dir and (Path(tool_dir) / CLIENT_LIBRARY_NAME).is_file():
            return str(Path(tool_dir) / CLIENT_LIBRARY_NAME)
        return None
    build = host_build_dir()
    return str(build.resolve() / "client" / CLIENT_LIBRARY_NAME) if build else None


def host_library_path() -> Optional[str]:
    configured = _explicit("MSDSC_HOST_LIBRARY")
    if configured:
        return configured
    build = host_build_dir()
    return str(build.resolve() / "python" / HOST_LIBRARY_NAME) if build else None


def _bind(library, functions):
    for name, (restype, argtypes) in functions.items():
        function = getattr(library, name)
        function.restype = restype
        function.argtypes = argtypes
    return library


_client_library = None
_host_library = None


def _load(path: Optional[str], what: str) -> ctypes.CDLL:
    if not path:
        if IS_WINDOWS:
            raise LibraryNotFoundError(
                f"{what} not found: set MSDSC_TOOL_DIR to the folder of the unzipped package's msdscctl.exe, "
                "or MSDSC_CLIENT_LIBRARY to the DLL's full path")
        raise LibraryNotFoundError(
            f"{what} not found: set MSDSC_HOST_BUILD (or pytest's --msdsc-host-build) to the host build "
            "folder (cmake --preset host)")
    try:
        return ctypes.CDLL(path)
    except OSError as error:
        raise LibraryNotFoundError(f"cannot load {what} {path}: {error}") from None


def client_library() -> ctypes.CDLL:
    global _client_library
    if _client_library is None:
        _client_library = _bind(_load(client_library_path(), "the client library"), CLIENT_FUNCTIONS)
    return _client_library


def host_library() -> ctypes.CDLL:
    """The simulated machine's library; only the host build has one."""
    global _host_library
    if IS_WINDOWS:
        raise LibraryNotFoundError("there is no simulated machine on Windows: the driver runs in the kernel")
    if _host_library is None:
        # The client library first: both sit on the same simulated kernel library, loaded once.
        client_library()
        _host_library = _bind(_load(host_library_path(), "the simulated machine's library"), HOST_FUNCTIONS)
    return _host_library
