# A session through the package against the driver (on Linux in the simulated machine): readers added,
# seen by Plug and Play, removed; the failures callers handle raised as their own classes.
import re

import pytest

import msdsc
from msdsc import errors

from conftest import SOURCE_TREE


def present_numbers():
    return [device.reader_number for device in msdsc.list_readers() if device.present]


def driver_version():
    text = (SOURCE_TREE / "driver" / "driver_version.h").read_text()
    return re.search(r'DRIVER_VERSION_STRING\[\] = "([\d.]+)"', text).group(1)


def test_session_adds_readers_plug_and_play_starts_and_removes_them(msdsc_client):
    assert str(msdsc_client.version()) == driver_version()
    readers = [msdsc_client.add(number, drive, 0) for number, drive in ((7, 1), (8, 2), (9, 3))]

    numbers = [reader.reader_number for reader in readers]
    assert numbers == sorted(numbers) and len(set(numbers)) == 3
    for reader in readers:
        device = reader.device
        assert (device.present, device.started, device.problem) == (True, True, 0)
        # The instance path ends in the reader number, behind whatever prefix Windows gave it.
        assert re.search(r"\\(?:[0-9a-f]+&)*%d$" % reader.reader_number, device.instance_path, re.I)
        assert device.instance_path.upper().startswith("MICROSDSMARTCARDBUS\\MICROSDSMARTCARDREADER\\")

    readers[1].remove()
    assert readers[1].removed and msdsc_client.readers == [readers[0], readers[2]]
    assert present_numbers() == [numbers[0], numbers[2]]
    # Plug and Play keeps the removed reader's node, no longer present.
    kept = {device.reader_number: device for device in msdsc.list_readers()}[numbers[1]]
    assert not kept.present and not kept.started


def test_readers_added_without_waiting_are_told_apart_by_number(msdsc_client):
    # More readers than the package's first list buffer holds, so listing must grow it.
    readers = [msdsc_client.add(100 + i, i, 0, wait=False) for i in range(20)]
    readers[-1].wait_started()
    assert [reader.reader_number for reader in readers] == sorted(present_numbers())
    readers[0].remove()
    readers[10].remove()
    assert len(present_numbers()) == 18
    with pytest.raises(msdsc.StaleHandleError):
        readers[10].device


def test_a_handle_outlived_by_its_reader_never_answers_for_the_next_one(msdsc_machine):
    with msdsc.open() as client:
        old = client.add(7, 1, 0)
        old.remove()
        new = client.add(8, 2, 0)
        assert new.reader_number == old.reader_number and new.device.started
        with pytest.raises(msdsc.StaleHandleError):
            msdsc.wait_for_reader(old, timeout=5)
        with pytest.raises(msdsc.StaleHandleError):
            msdsc.wait_for_reader(old.handle, gone=True, timeout=5)
        with pytest.raises(msdsc.StaleHandleError):
            old.device
    # The close removed `new`: its handle is stale too, also once another session's reader has its number.
    with msdsc.open() as client:
        third = client.add(9, 3, 0)
        assert third.reader_number == new.reader_number
        with pytest.raises(msdsc.StaleHandleError) as stale:
            new.wait_gone(timeout=5)
        assert stale.value.status == errors.MSDSC_STATUS_STALE_HANDLE
        assert "stale handle" in stale.value.message


def test_closing_removes_every_reader_and_frees_the_control_device(msdsc_machine):
    pool = msdsc_machine.driver_pool_blocks()
    with msdsc.open() as client:
        for number in range(4):
            client.add(number, 0, 0)
        with pytest.raises(msdsc.AccessDeniedError):
            msdsc.open()
        assert len(present_numbers()) == 4
    assert client.closed and client.readers == []
    assert present_numbers() == []
    assert msdsc_machine.driver_pool_blocks() == pool
    with msdsc.open() as again:
        assert again.version()


def test_failures_raise_the_class_callers_handle(msdsc_client):
    with pytest.raises(msdsc.SessionHeldError) as held:
        msdsc.open()
    assert isinstance(held.value, msdsc.AccessDeniedError)
    assert held.value.status == errors.STATUS_SHARING_VIOLATION
    assert held.value.message == "another session holds the control device: close it first"

    reader = msdsc_client.add(1, 2, 3)
    reader.remove()
    with pytest.raises(msdsc.NoSuchReaderError) as removed:
        msdsc_client.remove(reader)
    assert removed.value.status == errors.STATUS_UNSUCCESSFUL
    assert removed.value.message.startswith("no such reader")
    # A handle the driver never gave out.
    with pytest.raises(msdsc.NoSuchReaderError):
        msdsc_client.remove(bytes(range(16)))

    with pytest.raises(msdsc.WaitTimeoutError) as waited:
        msdsc.wait_for_reader(reader.reader_number, timeout=0.05)
    assert isinstance(waited.value, TimeoutError) and waited.value.status == errors.STATUS_IO_TIMEOUT
    assert "not present" in str(waited.value)

    msdsc_client.close()
    for call in (msdsc_client.version, lambda: msdsc_client.add(1, 2, 3)):
        with pytest.raises(msdsc.ClientClosedError) as closed:
            call()
        assert closed.value.status == errors.STATUS_INVALID_HANDLE
        assert closed.value.message == "no client: the client pointer is NULL"


def test_error_text_carries_operation_status_and_message(msdsc_client):
    with pytest.raises(msdsc.MsdscError) as caught:
        msdsc_client.remove(bytes(16))
    assert str(caught.value).startswith(
        "remove reader: 0xC0000001 no such reader: the handle names no reader of an installed bus")
    assert caught.value.message == msdsc.status_message(caught.value.operation, caught.value.status)


def test_no_bus_and_no_driver(own_machine):
    with own_machine(buses=0):
        with pytest.raises(msdsc.NoBusError) as no_bus:
            msdsc.open()
        assert type(no_bus.value) is msdsc.NoBusError
        assert (no_bus.value.status, no_bus.value.message) == (errors.STATUS_INVALID_DEVICE_STATE,
                                                               "no bus device is installed")
    # Nothing loaded at all: no control device.
    with pytest.raises(msdsc.DriverNotLoadedError) as no_driver:
        msdsc.open()
    assert isinstance(no_driver.value, msdsc.NoBusError)
    assert no_driver.value.message == "the driver is not loaded: there is no control device"


def test_adding_to_a_pulled_out_bus_raises_no_bus(own_machine):
    with own_machine(buses=1) as host:
        with msdsc.open() as client:
            kept = client.add(5, 0, 0)
            host.surprise_remove_bus(0)
            with pytest.raises(msdsc.NoBusError) as no_bus:
                client.add(6, 0, 0)
            assert no_bus.value.operation == msdsc._native.MsdscOperationAddReader
            assert no_bus.value.status == errors.STATUS_INVALID_DEVICE_STATE
            assert kept.device is None or not kept.device.present
        assert present_numbers() == []
        assert host.violations() == []


def test_a_reader_without_a_function_driver_fails_its_add_at_once(own_machine):
    # On a clean machine no driver serves the reader: waiting cannot help, so add() says so at once
    # (well inside its timeout) with the problem code and what to do, and the reader stays added.
    with own_machine(buses=1) as host:
        host.uninstall_reader_driver()
        with msdsc.open() as client:
            with pytest.raises(msdsc.ReaderProblemError) as raised:
                client.add(7, 1, 0, timeout=30)
            assert "code 28" in str(raised.value)
            assert "msdscsample.inf" in str(raised.value)
            [device] = msdsc.list_readers()
            assert (device.present, device.started, device.problem) == (True, False, 28)
        assert present_numbers() == []
        assert host.violations() == []


def test_every_add_after_a_bus_is_pulled_waits_for_its_own_reader(own_machine):
    # Readers used to be paired with device nodes by counting: once a pulled bus took its readers
    # along, every later add timed out or named another reader.
    with own_machine(buses=2) as host:
        with msdsc.open() as client:
            before = [client.add(10 + i, 0, 0) for i in range(4)]
            host.surprise_remove_bus(0)
            started = []
            for i in range(6):
                try:
                    reader = client.add(20 + i, 0, 0, timeout=5)
                except msdsc.NoBusError:
                    continue  # the pulled bus's turn in the round-robin
                device = reader.device
                assert (device.reader_number, device.present, device.started) == (reader.reader_number, True, True)
                assert msdsc.reader_number_of(reader.handle) == reader.reader_number
                started.append(reader)
            assert len(started) >= 3
            # Numbers of the pulled bus's readers are free again; handles are never given twice.
            assert len({reader.handle for reader in before + started}) == len(before) + len(started)
        assert present_numbers() == []
        assert host.violations() == []


