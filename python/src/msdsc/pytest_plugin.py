"""pytest plugin of the msdsc package (entry point pytest11, so installing the package enables it).

Fixtures:
    msdsc_client          an open session for one test; at teardown the readers the test added are gone
    msdsc_module_client   one session for a module's tests
    msdsc_session_client  one session for the whole run
    msdsc_reader_factory  make(number=1, drive=0, log=0) -> a started Reader (its configuration in .config)
    virtual_reader        a started reader, removed at teardown; its configuration from indirect
                          parametrisation (a dict, or a (number, drive, log) tuple) or the msdsc_reader
                          marker, else DEFAULT_READER
    msdsc_machine         Linux: the msdsc.host module, over the simulated machine the run uses; Windows: None
The control device admits one session on the machine, so a narrower fixture reuses the widest one
open and removes only its own readers.
Marker:
    msdsc_driver    skips the test where the driver cannot be reached (fails it with --msdsc-require)
On Linux the plugin starts the simulated machine (--msdsc-buses or the ini option msdsc_buses,
default 2) when a test first needs it and stops it at the end of the run. A test that leaves a
session open fails at its teardown, named, and the session is closed so the next test can open one.
"""

from __future__ import annotations

import os
import re
from types import ModuleType
from typing import Callable, Dict, Iterator, List, Optional, Tuple

import pytest

import msdsc
from msdsc import _native

DEFAULT_READER = {"number": 1, "drive": 0, "log": 0}
READER_VALUES = ("number", "drive", "log")

_machine_started = False
_availability: Optional[Tuple[bool, str]] = None
# The sessions the wider fixtures hold, widest first.
_shared: List[msdsc.Client] = []


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("msdsc", "virtual microSD smart-card readers")
    group.addoption("--msdsc-buses", type=int, default=None,
                    help="Linux: bus devices of the simulated machine (default: ini msdsc_buses, else 2)")
    group.addoption("--msdsc-require", action="store_true", default=None,
                    help="fail, rather than skip, tests that need the driver where it cannot be reached")
    group.addoption("--msdsc-host-build", default=None,
                    help="Linux: the host build folder (default: $MSDSC_HOST_BUILD, else the checkout's build/host)")
    parser.addini("msdsc_buses", "Linux: bus devices of the simulated machine", default="2")
    parser.addini("msdsc_require", "fail, rather than skip, where the driver cannot be reached", type="bool",
                  default=False)


def _refuse_parallel_runs(config: pytest.Config, windows: bool) -> None:
    """On Windows the one session serves the whole machine, so workers would take the control device
    from each other; on Linux each worker process has a simulated machine of its own."""
    workers = getattr(config.option, "numprocesses", None)
    if windows and (workers or os.environ.get("PYTEST_XDIST_WORKER")):
        raise pytest.UsageError(
            "msdsc: the driver admits one session on the whole machine, so its tests cannot run in parallel "
            "on Windows: run without -n (pytest-xdist)")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "msdsc_driver: needs the driver; skipped where it cannot be reached")
    config.addinivalue_line("markers", "msdsc_reader(number, drive, log): the virtual_reader's configuration")
    _refuse_parallel_runs(config, msdsc.IS_WINDOWS)
    _buses(config)  # a bad count is a usage error now, not a failure of every test later
    if config.getoption("msdsc_host_build"):
        _native.host_build_override = config.getoption("msdsc_host_build")


def pytest_unconfigure(config: pytest.Config) -> None:
    global _machine_started
    if _machine_started:
        msdsc.host.stop()
        _machine_started = False


def _required(config: pytest.Config) -> bool:
    return bool(config.getoption("msdsc_require") or config.getini("msdsc_require"))


def _buses(config: pytest.Config) -> int:
    """The simulated machine's bus devices: 1 to 64 (a machine without one fails every fixture, and
    the host library takes no more), from --msdsc-buses or else the ini option."""
    given = config.getoption("msdsc_buses")
    where = "--msdsc-buses" if given is not None else "the ini option msdsc_buses"
    text = str(given if given is not None else config.getini("msdsc_buses")).strip()
    if not re.fullmatch(r"[0-9]+", text) or not 1 <= int(text) <= _native.MSDSC_HOST_MAX_BUSES:
        raise pytest.UsageError(f"msdsc: {where} takes a number of bus devices from 1 to "
                                f"{_native.MSDSC_HOST_MAX_BUSES}, not {text!r}")
    return int(text)


def _available() -> Tuple[bool, str]:
    """Whether the plugin can reach the driver: on Linux the libraries load (it starts the machine
    itself), on Windows a session opens."""
    global _availability
    if _availability is None:
        try:
            if msdsc.IS_WINDOWS:
                _availability = msdsc.driver_available()
            else:
                _native.client_library()
                _native.host_library()
                _availability = (True, "")
        except _native.LibraryNotFoundError as error:
            _availability = (False, str(error))
    return _availability


def _ensure_machine(config: pytest.Config) -> None:
    global _machine_started
    # Also again after a test stopped it to run one of its own.
    if not msdsc.IS_WINDOWS and not msdsc.host.running():
        msdsc.host.start(_buses(config))
        _machine_started = True


def _require_driver(config: pytest.Config) -> None:
    """Skips (or fails, with --msdsc-require) when the driver cannot be reached; on Linux starts the
    simulated machine the first time."""
    available, reason = _available()
    if not available:
        if _required(config):
            pytest.fail(f"the driver cannot be reached: {reason}", pytrace=False)
        pytest.skip(f"the driver cannot be reached: {reason}")
    _ensure_machine(config)


def pytest_report_header(config: pytest.Config) -> List[str]:
    line = f"msdsc {msdsc.__version__}: "
    available, reason = _available()
    if not available:
        return [line + f"the driver cannot be reached: {reason}"]
    library = _native.client_library_path() or _native.CLIENT_LIBRARY_NAME
    # A machine started for the header is stopped again: whether a test finds one running must not
    # depend on whether the header was printed (-q leaves it out).
    started_here = not msdsc.IS_WINDOWS and not msdsc.host.running()
    try:
        _ensure_machine(config)
        with msdsc.open() as client:
            version = client.version()
        where = "simulated machine" if not msdsc.IS_WINDOWS else "this machine"
        return [line + f"client library {library}, driver {version} ({where})"]
    except msdsc.MsdscError as error:
        return [line + f"client library {library}, driver not reachable: {error}"]
    finally:
        if started_here:
            msdsc.host.stop()


def _reader_values(args: tuple, kwargs: dict) -> Dict[str, int]:
    """A reader's configuration from positional and keyword values; ValueError says what is wrong."""
    if len(args) > len(READER_VALUES):
        raise ValueError(f"takes at most 3 values (number, drive, log), not {len(args)}")
    given = dict(zip(READER_VALUES, args))
    for name, value in kwargs.items():
        if name not in READER_VALUES:
            raise ValueError(f"takes number, drive and log, not {name!r}")
        if name in given:
            raise ValueError(f"gives {name} twice")
        given[name] = value
    for name, value in given.items():
        if isinstance(value, bool) or not isinstance(value, int):
            raise ValueError(f"{name} must be an int, not {type(value).__name__}")
        if not 0 <= value <= 0xFFFFFFFF:
            raise ValueError(f"{name} must be from 0 to 4294967295, not {value}")
    return {**DEFAULT_READER, **given}


def _param_values(param: object) -> Dict[str, int]:
    """virtual_reader's indirect parameter: a dict of values, or a (number, drive, log) tuple."""
    if isinstance(param, dict):
        return _reader_values((), param)
    if isinstance(param, (tuple, list)):
        return _reader_values(tuple(param), {})
    raise ValueError(f"must be a dict or a (number, drive, log) tuple, not {type(param).__name__}")


def _refuse_bad_reader_configurations(items: List[pytest.Item]) -> None:
    """Every msdsc_reader marker and virtual_reader parameter, checked at collection: a mistake is
    a usage error naming the test, rather than a value quietly dropped or overridden."""
    errors = []
    for item in items:
        marker = item.get_closest_marker("msdsc_reader")
        try:
            if marker:
                _reader_values(marker.args, marker.kwargs)
        except ValueError as error:
            errors.append(f"{item.nodeid}: @pytest.mark.msdsc_reader {error}")
        params = getattr(getattr(item, "callspec", None), "params", {})
        try:
            if "virtual_reader" in params:
                _param_values(params["virtual_reader"])
        except ValueError as error:
            errors.append(f"{item.nodeid}: virtual_reader's parameter {error}")
    if errors:
        raise pytest.UsageError("msdsc: " + "\n".join(errors))


def pytest_collection_modifyitems(config: pytest.Config, items: List[pytest.Item]) -> None:
    _refuse_bad_reader_configurations(items)
    # Skipped as marked, so that the report points at the test rather than at this plugin. Runs that
    # mark nothing never look for the driver.
    marked = [item for item in items if item.get_closest_marker("msdsc_driver")]
    if not marked or _required(config):
        return
    available, reason = _available()
    if not available:
        for item in marked:
            item.add_marker(pytest.mark.skip(reason=f"the driver cannot be reached: {reason}"))


def pytest_runtest_setup(item: pytest.Item) -> None:
    if item.get_closest_marker("msdsc_driver"):
        _require_driver(item.config)


@pytest.fixture(autouse=True)
def _msdsc_no_leaked_session(request: pytest.FixtureRequest) -> Iterator[None]:
    """Fails the test that leaves a session open (msdsc.open() without `with` or close()), naming it,
    and closes that session: it would hold the control device against every later test."""
    from msdsc.client import _open_clients
    before = set(map(id, _open_clients))
    yield
    leaked = [client for client in list(_open_clients)
              if id(client) not in before and not getattr(client, "_msdsc_fixture", False)]
    for client in leaked:
        client.close()
    if leaked:
        pytest.fail(f"{request.node.nodeid} left {len(leaked)} msdsc session(s) open (msdsc.open() without "
                    "'with' or close()); the plugin closed them", pytrace=False)


def _violations() -> List[str]:
    return [] if msdsc.IS_WINDOWS else msdsc.host.violations()


def _check_gone(readers: List[msdsc.Reader], violations_before: int) -> None:
    left = [device.instance_path for device in msdsc.list_readers()
            if device.present and device.reader_number in {reader.reader_number for reader in readers}]
    assert not left, f"readers still present after the session closed: {', '.join(sorted(left))}"
    violations = _violations()[violations_before:]
    assert not violations, "the simulated kernel saw verifier violations:\n" + "\n".join(violations)


def _session(request: pytest.FixtureRequest) -> Iterator[msdsc.Client]:
    """The session of a fixture: the widest one open if there is one (whose readers this fixture
    then removes only as far as it added them), else a new one that this fixture closes."""
    _require_driver(request.config)
    violations_before = len(_violations())
    shared = next((client for client in _shared if not client.closed), None)
    if shared is not None:
        known = set(map(id, shared.added))
        yield shared
        mine = [reader for reader in shared.added if id(reader) not in known]
        for reader in mine:
            if not reader.removed and not shared.closed:
                shared.remove(reader)
        _check_gone(mine, violations_before)
        return
    client = msdsc.open()
    client._msdsc_fixture = True  # type: ignore[attr-defined]
    _shared.append(client)
    try:
        yield client
    finally:
        _shared.remove(client)
        # Closing removes what the tests left; then every reader the session added must be gone
        # from Plug and Play, whatever the tests did.
        client.close()
        _check_gone(client.added, violations_before)


@pytest.fixture(scope="session")
def msdsc_session_client(request: pytest.FixtureRequest) -> Iterator[msdsc.Client]:
    """One open Client for the whole run; closed at its end, when every reader it added must be gone
    from Plug and Play (and, on Linux, no new verifier violation seen)."""
    yield from _session(request)


@pytest.fixture(scope="module")
def msdsc_module_client(request: pytest.FixtureRequest) -> Iterator[msdsc.Client]:
    """One open Client for the tests of a module (the run's, if msdsc_session_client is open); the
    readers added through it are removed at the module's end and must be gone."""
    yield from _session(request)


@pytest.fixture
def msdsc_client(request: pytest.FixtureRequest) -> Iterator[msdsc.Client]:
    """An open Client for one test (the module's or the run's, if one is open). At teardown the
    readers the test added are removed and must be gone from Plug and Play; on Linux the simulated
    kernel must have seen no new verifier violation."""
    yield from _session(request)


@pytest.fixture
def msdsc_machine(request: pytest.FixtureRequest) -> Optional[ModuleType]:
    """Linux: the msdsc.host module over the run's simulated machine (started if need be); Windows: None."""
    _require_driver(request.config)
    return None if msdsc.IS_WINDOWS else msdsc.host


def _reader_config(request: pytest.FixtureRequest) -> Dict[str, int]:
    """The reader's values: indirect parametrisation first, then the nearest msdsc_reader marker;
    what neither gives comes from DEFAULT_READER."""
    # Collection has refused a bad one already.
    if hasattr(request, "param"):
        return _param_values(request.param)
    marker = request.node.get_closest_marker("msdsc_reader")
    return _reader_values(marker.args, marker.kwargs) if marker else dict(DEFAULT_READER)


@pytest.fixture
def msdsc_reader_factory(msdsc_client: msdsc.Client) -> Callable[..., msdsc.Reader]:
    """make(number=1, drive=0, log=0, wait=True, timeout=10.0): adds a reader through msdsc_client and
    returns it, started unless wait=False; reader.config is the configuration it was given. The
    readers are removed at the test's teardown."""
    def make(number: int = DEFAULT_READER["number"], drive: int = DEFAULT_READER["drive"],
             log: int = DEFAULT_READER["log"], wait: bool = True,
             timeout: float = msdsc.DEFAULT_TIMEOUT) -> msdsc.Reader:
        return msdsc_client.add(number, drive, log, wait=wait, timeout=timeout)
    return make


@pytest.fixture
def virtual_reader(request: pytest.FixtureRequest,
                   msdsc_reader_factory: Callable[..., msdsc.Reader]) -> msdsc.Reader:
    """A started Reader, removed at teardown unless the test did; configured by indirect
    parametrisation or @pytest.mark.msdsc_reader(number, drive=..., log=...)."""
    return msdsc_reader_factory(**_reader_config(request))
