# The package's ctypes declarations held against the C headers they call, so that a change to either
# side shows here rather than as a crash or a wrong value at run time.
import ctypes
import re

import pytest

import msdsc
from msdsc import _native

from c_header import Header, mismatches
from conftest import SOURCE_TREE

CLIENT_HEADER = SOURCE_TREE / "client" / "include" / "msdscclient.h"
HOST_HEADER = SOURCE_TREE / "python" / "host" / "msdsc_host.h"


@pytest.mark.parametrize("header, functions", [(CLIENT_HEADER, _native.CLIENT_FUNCTIONS),
                                               (HOST_HEADER, _native.HOST_FUNCTIONS)], ids=["client", "host"])
def test_ctypes_declarations_match_the_header(header, functions):
    parsed = Header(header.read_text())
    assert mismatches(parsed, functions, _native) == []


def test_every_structure_of_the_package_is_the_headers():
    structures = {name for name, value in vars(_native).items()
                  if isinstance(value, type) and issubclass(value, ctypes.Structure)}
    assert structures == set(Header(CLIENT_HEADER.read_text()).structs)


def test_every_status_the_library_returns_is_named_in_the_header():
    # The values themselves are held to Windows' by the library's build (client/src/client.cpp).
    named = {name: int(value, 16) for name, value in
             re.findall(r"^#define MSDSC_(STATUS_\w+) \(\(MsdscStatus\)(0x[0-9A-F]{8})L?\)", CLIENT_HEADER.read_text(), re.M)}
    sources = "".join(path.read_text() for path in sorted((SOURCE_TREE / "client" / "src").glob("*.cpp")))
    assert set(re.findall(r"\bSTATUS_[A-Z_]+\b", sources)) - set(named) == set()
    package = {name.removeprefix("MSDSC_"): value for name, value in vars(msdsc.errors).items()
               if name.startswith(("STATUS_", "MSDSC_STATUS_"))}
    assert {name: named.get(name) for name in package} == package


def test_the_documents_list_every_call():
    calls = set(Header(CLIENT_HEADER.read_text()).functions)
    windows_table = set(re.findall(r"^\| `(Msdsc\w+)\(", (SOURCE_TREE / "docs" / "windows.md").read_text(), re.M))
    readme = set(re.findall(r"`(Msdsc\w+)`", (SOURCE_TREE / "README.md").read_text()))
    functions = {name for name in msdsc.__all__ if name[0].islower() and callable(getattr(msdsc, name))}
    python_readme = set(re.findall(r"`msdsc\.(\w+)", (SOURCE_TREE / "python" / "README.md").read_text()))
    assert (calls - windows_table, calls - readme, functions - python_readme) == (set(), set(), set())


@pytest.mark.msdsc_driver
def test_loaded_libraries_carry_the_declarations():
    bound = [(msdsc._native.client_library(), _native.CLIENT_FUNCTIONS)]
    if not msdsc.IS_WINDOWS:
        bound.append((msdsc._native.host_library(), _native.HOST_FUNCTIONS))
    for library, functions in bound:
        for name, (restype, argtypes) in functions.items():
            function = getattr(library, name)
            assert (function.restype, function.argtypes) == (restype, argtypes), name


# Each a change the header could go through; the check must name it.
DRIFTS = {
    "argument type": ("uint32_t number, uint32_t drive", "uint16_t number, uint32_t drive", "MsdscAddReader(number)"),
    "argument added": ("MsdscClose(MsdscClient* client,", "MsdscClose(MsdscClient* client, uint32_t flags,",
                       "MsdscClose: 3 arguments"),
    "pointer depth": ("MsdscOpen(MsdscClient** client", "MsdscOpen(MsdscClient* client", "MsdscOpen(client)"),
    "array length": ("uint16_t components[4]", "uint16_t components", "MsdscGetVersion(components)"),
    "return type": ("MSDSC_API const char* MSDSC_CALL MsdscStatusMessage", "MSDSC_API MsdscStatus MSDSC_CALL MsdscStatusMessage",
                    "MsdscStatusMessage: returns"),
    "renamed": ("MsdscRemoveReader(", "MsdscDeleteReader(", "MsdscDeleteReader: declared only in the header"),
    "field type": ("uint32_t problem;", "uint16_t problem;", "MsdscReaderDevice.problem"),
    "field order": ("uint32_t present; /* 1: the device node is in the device tree now */\n    uint32_t started;",
                    "uint32_t started;\n    uint32_t present;", "struct MsdscReaderDevice: fields"),
    "size": ("#define MSDSC_INSTANCE_PATH_SIZE 200", "#define MSDSC_INSTANCE_PATH_SIZE 260", "MSDSC_INSTANCE_PATH_SIZE"),
    "handle size": ("uint8_t bytes[16];", "uint8_t bytes[32];", "MsdscReaderHandle.bytes"),
    "enum value": ("MsdscWaitForGone = 1", "MsdscWaitForGone = 2", "MsdscWaitForGone is 2"),
}


@pytest.mark.parametrize("drift", DRIFTS.values(), ids=DRIFTS.keys())
def test_a_header_change_is_named(drift):
    old, new, named = drift
    text = CLIENT_HEADER.read_text()
    assert old in text, "the header changed: update this case"
    found = mismatches(Header(text.replace(old, new, 1)), _native.CLIENT_FUNCTIONS, _native)
    assert any(named in line for line in found), found
