"""pytest plugin of the msdsc package (entry point pytest11, so installing the package enables it).

Fixtures:
    msdsc_client    an open session; at teardown it is closed and every reader it added is gone
    virtual_reader  a started reader of that session, removed at teardown; its configuration from
                    indirect parametrisation (a dict, or a (number, drive, log) tuple) or the
                    msdsc_reader marker, else DEFAULT_READER
    msdsc_machine   Linux: the msdsc.host module, over the simulated machine the run uses; Windows: None
Marker:
    msdsc_driver    skips the test where the driver cannot be reached (fails it with --msdsc-require)
On Linux the plugin starts the simulated machine (--msdsc-buses, default 2) when a test first needs
it and stops it at the end of the run.
"""

import pytest

import msdsc

DEFAULT_READER = {"number": 1, "drive": 0, "log": 0}

_machine_started = False
_availability = None


def pytest_addoption(parser):
    group = parser.getgroup("msdsc", "virtual microSD smart-card readers")
    group.addoption("--msdsc-buses", type=int, default=2,
                    help="Linux: bus devices of the simulated machine (default 2)")
    group.addoption("--msdsc-require", action="store_true",
                    help="fail, rather than skip, tests that need the driver where it cannot be reached")


def pytest_configure(config):
    config.addinivalue_line("markers", "msdsc_driver: needs the driver; skipped where it cannot be reached")
    config.addinivalue_line("markers", "msdsc_reader(number, drive, log): the virtual_reader's configuration")


def pytest_unconfigure(config):
    global _machine_started
    if _machine_started:
        from msdsc import host
        host.stop()
        _machine_started = False


def _require_driver(config):
    """Skips (or fails, with --msdsc-require) when the driver cannot be reached; on Linux starts the
    simulated machine the first time."""
    global _machine_started
    available, reason = _available()
    if not available:
        if config.getoption("msdsc_require"):
            pytest.fail(f"the driver cannot be reached: {reason}", pytrace=False)
        pytest.skip(f"the driver cannot be reached: {reason}")
    if not msdsc.IS_WINDOWS:
        from msdsc import host
        # Also again after a test stopped it to run one of its own.
        if not host.running():
            host.start(config.getoption("msdsc_buses"))
            _machine_started = True


def _available():
    global _availability
    if _availability is None:
        _availability = msdsc.driver_available()
    return _availability


def pytest_collection_modifyitems(config, items):
    # Skipped as marked, so that the report points at the test rather than at this plugin. Runs that
    # mark nothing never look for the driver.
    marked = [item for item in items if item.get_closest_marker("msdsc_driver")]
    if not marked or config.getoption("msdsc_require"):
        return
    available, reason = _available()
    if not available:
        for item in marked:
            item.add_marker(pytest.mark.skip(reason=f"the driver cannot be reached: {reason}"))


def pytest_runtest_setup(item):
    if item.get_closest_marker("msdsc_driver"):
        _require_driver(item.config)


@pytest.fixture
def msdsc_machine(request):
    _require_driver(request.config)
    if msdsc.IS_WINDOWS:
        return None
    from msdsc import host
    return host


@pytest.fixture
def msdsc_client(request):
    _require_driver(request.config)
    violations_before = _violations()
    client = msdsc.open()
    try:
        yield client
    finally:
        # Closing removes what the test left; then every reader the session added must be gone
        # from Plug and Play, whatever the test did.
        client.close()
        # Readers present now that were not at the open are this session's: it held the only
        # handle, so it made them, also those whose number it never saw.
        left = sorted(device.instance_path for device in msdsc.list_readers()
                      if device.present and device.reader_number not in client._foreign)
        assert not left, f"readers still present after the session closed: {', '.join(left)}"
        violations = _violations()[len(violations_before):]
        assert not violations, "the simulated kernel saw verifier violations:\n" + "\n".join(violations)


def _violations():
    if msdsc.IS_WINDOWS:
        return []
    from msdsc import host
    return host.violations()


def _reader_config(request):
    """The reader's values: indirect parametrisation first, then the nearest msdsc_reader marker;
    what neither gives comes from DEFAULT_READER."""
    names = ("number", "drive", "log")
    if hasattr(request, "param"):
        param = request.param
        given = dict(param) if isinstance(param, dict) else dict(zip(names, param))
    else:
        marker = request.node.get_closest_marker("msdsc_reader")
        given = {**dict(zip(names, marker.args)), **marker.kwargs} if marker else {}
    unknown = set(given) - set(names)
    if unknown:
        raise TypeError(f"virtual_reader takes number, drive and log, not {', '.join(sorted(unknown))}")
    return {**DEFAULT_READER, **given}


@pytest.fixture
def virtual_reader(request, msdsc_client):
    config = _reader_config(request)
    reader = msdsc_client.add(config["number"], config["drive"], config["log"])
    yield reader
    if not reader.removed and not msdsc_client.closed:
        msdsc_client.remove(reader)
