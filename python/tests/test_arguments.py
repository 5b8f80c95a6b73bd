# What a caller passes is checked before it reaches ctypes, which would wrap -1 to 4294967295 and 2**32
# to 0 on their way to the driver: each refusal names the argument, and nothing reaches the driver.
import os
import re
import subprocess
import sys

import pytest

import msdsc

from conftest import SOURCE_TREE

REFUSED_ADDS = {
    "negative number": ((-1, 0, 0), {}, ValueError, "number must be from 0 to 4294967295, not -1"),
    "drive past 32 bits": ((0, 2**32, 0), {}, ValueError, "drive must be from 0 to 4294967295, not 4294967296"),
    "log as text": ((0, 0, "1"), {}, TypeError, "log must be an int (unsigned 32-bit), not str"),
    "number as bool": ((True, 0, 0), {}, TypeError, "number must be an int"),
    "drive as float": ((0, 1.0, 0), {}, TypeError, "drive must be an int"),
    "negative timeout": ((0, 0, 0), {"timeout": -1}, ValueError, "timeout must be 0 or more seconds"),
    "timeout as text": ((0, 0, 0), {"timeout": "10"}, TypeError, "timeout must be a number of seconds"),
}


@pytest.mark.parametrize("arguments, keywords, error, text", REFUSED_ADDS.values(), ids=REFUSED_ADDS.keys())
def test_add_refuses_what_is_no_unsigned_32_bit_value(msdsc_client, arguments, keywords, error, text):
    with pytest.raises(error, match=re.escape(text)):
        msdsc_client.add(*arguments, **keywords)
    assert msdsc_client.added == []
    assert [device for device in msdsc.list_readers() if device.present] == []


def test_add_accepts_the_largest_unsigned_32_bit_values(msdsc_client):
    # The bound is inclusive: a check that refused 4294967295 would pass every refusal above.
    reader = msdsc_client.add(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF)
    assert reader.config == {"number": 0xFFFFFFFF, "drive": 0xFFFFFFFF, "log": 0xFFFFFFFF}
    assert reader.device.started and msdsc_client.added == [reader]


REFUSED_HANDLES = {
    "text": ("0:1", TypeError, "reader must be a Reader or a handle's 16 bytes, not str .*msdsc.parse_handle"),
    "short": (bytes(15), ValueError, "reader must be 16 bytes, not 15"),
    "long": (bytes(17), ValueError, "reader must be 16 bytes, not 17"),
    "number": (3, TypeError, "reader must be a Reader or a handle's 16 bytes, not int"),
}


@pytest.mark.parametrize("handle, error, text", REFUSED_HANDLES.values(), ids=REFUSED_HANDLES.keys())
def test_remove_refuses_what_is_no_handle(msdsc_client, handle, error, text):
    kept = msdsc_client.add(1, 2, 3)
    with pytest.raises(error, match=text):
        msdsc_client.remove(handle)
    assert kept.device.started and not kept.removed


def test_waits_refuse_what_names_no_reader(msdsc_machine):
    with pytest.raises(ValueError, match="reader must be from 0 to 4294967295, not -1"):
        msdsc.wait_for_reader(-1)
    with pytest.raises(TypeError, match="reader must be a Reader or a handle's 16 bytes, not float"):
        msdsc.wait_for_reader(1.5)
    with pytest.raises(ValueError, match="timeout must be 0 or more seconds"):
        msdsc.wait_for_reader(0, timeout=float("nan"))
    # No reader ever had this number, so it is gone at once, however long the wait may be.
    assert not msdsc.wait_for_reader(123456, gone=True, timeout=float("inf")).present


def test_handles_print_and_parse_as_the_tools_do(msdsc_client):
    reader = msdsc_client.add(7, 1, 0)
    text = reader.handle_text
    bus, number = text.split(":")
    # The reader half is the generation and the reader number, in hex, as msdscctl prints it and
    # `remove` takes it.
    assert len(bus) == 16 and int(number, 16) & 0xFFFFFFFF == reader.reader_number
    assert msdsc.parse_handle(text) == reader.handle == msdsc.parse_handle("0x" + bus + ":0x" + number)
    assert text in repr(reader)
    msdsc_client.remove(msdsc.parse_handle(text))
    assert reader.removed
    for bad in ("12", "1:2:3", "g:0", "1" * 17 + ":0"):
        with pytest.raises(ValueError, match="BUS:READER"):
            msdsc.parse_handle(bad)


def test_the_host_refuses_a_bus_count_outside_the_tools_range_at_once():
    # In a process of its own, bounded: a count taken as it comes (-1 is 4294967295 to ctypes) made
    # the machine create buses until memory ran out.
    script = """
import ctypes, msdsc
from msdsc import _native
refused = []
for buses in (-1, 65, 100000, "2", True):
    try:
        msdsc.host.start(buses)
    except (TypeError, ValueError) as error:
        refused.append(str(error))
error = ctypes.create_string_buffer(256)
status = _native.host_library().MsdscHostStart(None, 0xFFFFFFFF, error, len(error))
print(refused, status, error.value.decode(), msdsc.host.running())
"""
    environment = {**os.environ, "PYTHONPATH": str(SOURCE_TREE / "python" / "src")}
    if msdsc._native.host_build_dir():
        environment["MSDSC_HOST_BUILD"] = str(msdsc._native.host_build_dir())
    output = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                            env=environment, check=True).stdout.strip()
    assert output == str(["buses must be from 0 to 64, not -1", "buses must be from 0 to 64, not 65",
                          "buses must be from 0 to 64, not 100000", "buses must be an int, not str",
                          "buses must be an int, not bool"]) + \
        " -1 a simulated machine takes 0 to 64 bus devices, not 4294967295 False"


# Handles as text, each as msdscctl's remove takes it (True) or refuses it as a usage error (False);
# parse_handle must agree with the tool on every one.
HANDLE_TEXTS = {
    "946710a600000000:0000000300000002": True,
    "1:2": True,
    "0x1:0X2": True,
    "ffffffffffffffff:0": True,
    "0x" + "F" * 16 + ":0x0": True,
    "1" * 17 + ":0": False,
    "0x" + "1" * 17 + ":0": False,
    " 1_0 : +2": False,
    "1_0:2": False,
    "1 :2": False,
    "-0:0": False,
    "+1:2": False,
    "\uff11:2": False,  # a full-width digit one
    "1:\u0663": False,  # an Arabic-Indic digit three
    "0x:1": False,
    "0x0x1:2": False,
    ":1": False,
    "1:": False,
    "1:2:3": False,
    "g:0": False,
}


def test_parse_handle_takes_exactly_what_the_tool_takes():
    host_build = msdsc._native.host_build_dir()
    if msdsc.IS_WINDOWS or host_build is None:
        pytest.skip("the host tool runs on Linux, from the host build")
    tool = host_build / "tools" / "msdscctl-host"
    verdicts = {}
    for text in HANDLE_TEXTS:
        try:
            msdsc.parse_handle(text)
            parsed = True
        except ValueError:
            parsed = False
        # Exit 2 is the tool's usage error: the command line was refused before anything ran.
        taken = subprocess.run([str(tool), "--buses", "0", "remove", text], capture_output=True,
                               timeout=60).returncode != 2
        verdicts[text] = (parsed, taken)
    assert verdicts == {text: (expected, expected) for text, expected in HANDLE_TEXTS.items()}


# The handle as printed, BUS:READER, holds the reader half whole; the reader number in it is the one
# the header's split (msdscbus.h, in the library) finds, on the same values, and only within the cap.
@pytest.mark.parametrize("generation, number", [(1, 0), (2, 255), (0xFFFFFFFF, 7), (0x80000000, 0x80)])
def test_the_reader_number_of_a_printed_handle_is_the_headers_split(msdsc_machine, generation, number):
    reader_half = generation << 32 | number
    handle = msdsc.parse_handle(f"{0x1234:016x}:{reader_half:016x}")
    assert msdsc.format_handle(handle) == f"{0x1234:016x}:{reader_half:016x}"
    assert msdsc.reader_number_of(handle) == number
    with pytest.raises(msdsc.MsdscError):
        msdsc.reader_number_of(msdsc.parse_handle(f"{0x1234:016x}:{generation << 32 | 256:016x}"))
