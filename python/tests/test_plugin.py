# The pytest plugin as a test engineer's run sees it: test files that use its fixtures and marker,
# run by pytest in a process of their own (each with its own simulated machine on Linux).
import msdsc
import pytest

# Tests run in file order: the last one looks at what the others left behind.
ENGINEERS_TESTS = """
import msdsc
import pytest

pool = []


def test_baseline(msdsc_machine):
    if msdsc_machine:
        pool.append(msdsc_machine.driver_pool_blocks())


def test_fails_with_readers_added(msdsc_client, virtual_reader):
    assert virtual_reader.device.started
    assert (virtual_reader.number, virtual_reader.drive, virtual_reader.log) == (1, 0, 0)
    msdsc_client.add(20, 1, 1)
    msdsc_client.add(21, 1, 1, wait=False)
    assert False, "the rig found a fault"


@pytest.mark.parametrize("virtual_reader", [{"number": 9, "drive": 2, "log": 1}, (10, 3)], indirect=True)
def test_parametrised_reader_removed_by_the_test(virtual_reader):
    assert virtual_reader.number in (9, 10) and virtual_reader.drive in (2, 3)
    assert virtual_reader.log == (1 if virtual_reader.number == 9 else 0)
    virtual_reader.remove()


@pytest.mark.msdsc_reader(5, drive=6, log=7)
def test_marked_reader_session_closed_by_the_test(msdsc_client, virtual_reader):
    assert (virtual_reader.number, virtual_reader.drive, virtual_reader.log) == (5, 6, 7)
    msdsc_client.close()
    assert virtual_reader.removed


@pytest.mark.msdsc_driver
def test_nothing_left_behind(msdsc_machine):
    assert [device for device in msdsc.list_readers() if device.present] == []
    msdsc.open().close()  # the control device is free
    if msdsc_machine:
        assert msdsc_machine.driver_pool_blocks() == pool[0]
        assert msdsc_machine.violations() == []
"""


def test_fixtures_clean_up_after_a_failing_test(run):
    result = run(ENGINEERS_TESTS, "-v")
    result.assert_outcomes(passed=5, failed=1)
    result.stdout.fnmatch_lines(["*test_fails_with_readers_added FAILED*", "*test_nothing_left_behind PASSED*",
                                 "*AssertionError: the rig found a fault*"])


def test_a_fixture_reports_a_reader_the_session_could_not_remove(run):
    # A reader still present after its session closed is a fault of the driver stack under test:
    # here the close is made to leave the readers behind.
    result = run("""
import msdsc.client

def test_leaves_a_reader(monkeypatch, msdsc_client):
    msdsc_client.add(1, 1, 1)
    monkeypatch.setattr(msdsc.client.Client, "close", lambda self, **_: None)
""")
    result.assert_outcomes(passed=1, errors=1)
    result.stdout.fnmatch_lines(["*readers still present after the session closed*"])


def test_driver_marker_skips_where_the_library_is_missing(run, monkeypatch):
    monkeypatch.setenv("MSDSC_CLIENT_LIBRARY", "/nonexistent/" + msdsc._native.CLIENT_LIBRARY_NAME)
    result = run(ENGINEERS_TESTS, "-rs")
    result.assert_outcomes(passed=0, skipped=6)
    result.stdout.fnmatch_lines(["SKIPPED [[]1[]] test_rig.py:*: the driver cannot be reached: cannot load the client library*"])
    # A rig that must have the driver fails instead.
    result = run(ENGINEERS_TESTS, "--msdsc-require")
    result.assert_outcomes(errors=6)
    result.stdout.fnmatch_lines(["*ERROR at setup of test_nothing_left_behind*", "the driver cannot be reached*"])


def test_a_test_that_leaves_a_session_open_fails_named_and_the_next_one_runs(run):
    result = run("""
import msdsc
import pytest

@pytest.mark.msdsc_driver
def test_leaks_a_session():
    msdsc.open().add(1, 2, 3)

def test_after_it(msdsc_client):
    assert msdsc_client.add(4, 5, 6).device.started
""", "-rE")
    result.assert_outcomes(passed=2, errors=1)
    result.stdout.fnmatch_lines(["*ERROR at teardown of test_leaks_a_session*",
                                 "*test_rig.py::test_leaks_a_session left 1 msdsc session(s) open*"])


SCOPED_TESTS = """
import msdsc
import pytest

seen = []


@pytest.fixture(scope="module", autouse=True)
def module_reader(msdsc_module_client):
    return msdsc_module_client.add(100, 0, 0)


def test_factory_gives_configured_readers_of_the_module_session(msdsc_module_client, msdsc_client,
                                                                msdsc_reader_factory):
    assert msdsc_client is msdsc_module_client
    reader = msdsc_reader_factory(7, drive=1, log=2)
    assert reader.config == {"number": 7, "drive": 1, "log": 2} and reader.device.started
    seen.append(reader)


def test_a_narrower_fixture_removed_only_its_own(msdsc_module_client, module_reader, virtual_reader):
    # Its number is free again, and the next reader may have taken it: the old handle says neither.
    assert seen[0].removed
    with pytest.raises(msdsc.StaleHandleError):
        seen[0].device
    assert module_reader.device.started and not module_reader.removed
    assert msdsc_module_client.readers == [module_reader, virtual_reader]
"""


def test_narrower_fixtures_share_the_widest_session_and_remove_only_their_readers(run):
    result = run(SCOPED_TESTS)
    result.assert_outcomes(passed=2)


def test_header_names_the_versions_and_the_ini_sets_the_buses(run, pytester):
    pytester.makeini("[pytest]\nmsdsc_buses = 3\n")
    result = run("""
def test_three_buses(msdsc_machine):
    assert msdsc_machine is None or __import__("msdsc").bus_devices() == 3
""")
    result.assert_outcomes(passed=1)
    result.stdout.fnmatch_lines([f"msdsc {msdsc.__version__}: client library *, driver 1.2.0.134 (*)"])


def test_parallel_runs_are_refused_on_windows_only(run, pytester):
    from msdsc import pytest_plugin

    class Options:
        numprocesses = 2
    config = type("Config", (), {"option": Options()})()
    with pytest.raises(pytest.UsageError, match="cannot run in parallel on Windows"):
        pytest_plugin._refuse_parallel_runs(config, windows=True)
    pytest_plugin._refuse_parallel_runs(config, windows=False)
    pytest.importorskip("xdist")
    # On Linux each worker process has a simulated machine of its own.
    result = run(ENGINEERS_TESTS.replace("def test_nothing_left_behind", "def _unused"), "-n", "2")
    result.assert_outcomes(passed=4, failed=1)


def test_host_is_an_attribute_and_availability_needs_a_running_machine(own_machine):
    with own_machine(buses=1) as host:
        assert msdsc.host is host
        assert msdsc.driver_available() == (True, "")
        with msdsc.open():
            available, why = msdsc.driver_available()
            assert not available and "another session holds the control device" in why
    available, why = msdsc.driver_available()
    assert not available and "no simulated machine is running" in why


RIG_WITH_A_READER = """
import pytest

{decoration}
def test_reader(virtual_reader):
    pass
"""
# Each a mistake in a rig's options or configuration: refused at collection as a usage error that
# names the option or the test, never run with a value dropped, overridden or wrapped around.
REFUSED_CONFIGURATIONS = {
    "buses -1": ("", ["--msdsc-buses", "-1"], "", "--msdsc-buses takes a number of bus devices from 1 to 64, not '-1'"),
    "buses 0": ("", ["--msdsc-buses", "0"], "", "--msdsc-buses takes a number of bus devices from 1 to 64, not '0'"),
    "ini buses 65": ("", [], "msdsc_buses = 65", "the ini option msdsc_buses takes a number of bus devices from 1 to 64"),
    "ini buses text": ("", [], "msdsc_buses = two", "the ini option msdsc_buses takes a number of bus devices"),
    "marker value twice": ("@pytest.mark.msdsc_reader(9, number=3)", [], "",
                           "test_rig.py::test_reader: @pytest.mark.msdsc_reader gives number twice"),
    "marker four values": ("@pytest.mark.msdsc_reader(1, 2, 3, 4)", [], "",
                           "test_rig.py::test_reader: @pytest.mark.msdsc_reader takes at most 3 values"),
    "marker text": ("@pytest.mark.msdsc_reader('9')", [], "",
                    "test_rig.py::test_reader: @pytest.mark.msdsc_reader number must be an int, not str"),
    "marker past 32 bits": ("@pytest.mark.msdsc_reader(log=2**32)", [], "",
                            "test_rig.py::test_reader: @pytest.mark.msdsc_reader log must be from 0 to 4294967295"),
    "parameter four values": ("@pytest.mark.parametrize('virtual_reader', [(1, 2, 3, 4)], indirect=True)", [], "",
                              "test_rig.py::test_reader[virtual_reader0]: virtual_reader's parameter takes at most 3"),
    "parameter unknown name": ("@pytest.mark.parametrize('virtual_reader', [{'drives': 1}], indirect=True)", [], "",
                               "virtual_reader's parameter takes number, drive and log, not 'drives'"),
}


@pytest.mark.parametrize("decoration, arguments, ini, message", REFUSED_CONFIGURATIONS.values(),
                         ids=REFUSED_CONFIGURATIONS.keys())
def test_a_bad_option_or_reader_configuration_is_a_usage_error(run, pytester, decoration, arguments, ini, message):
    if ini:
        pytester.makeini(f"[pytest]\n{ini}\n")
    result = run(RIG_WITH_A_READER.format(decoration=decoration), *arguments)
    assert result.ret == pytest.ExitCode.USAGE_ERROR, result.stdout.str()[-2000:]
    assert message in result.stderr.str(), result.stderr.str()[-2000:]
