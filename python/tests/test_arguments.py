# What a caller passes is checked before it reaches ctypes, which would wrap -1 to 4294967295 and 2**32
# to 0 on their way to the driver: each refusal names the argument, and nothing reaches the driver.
import re

import pytest

import msdsc

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
