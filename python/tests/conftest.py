# The package's own tests: the plugin from the source tree (or the installed package, which
# registers it under the same name), and pytester for runs of test files that use the plugin.
import contextlib
from pathlib import Path

import pytest

import msdsc

pytest_plugins = ["pytester", "msdsc.pytest_plugin"]

SOURCE_TREE = Path(__file__).resolve().parents[2]


@pytest.fixture
def own_machine(msdsc_machine):
    """A simulated machine of the test's own (`with own_machine(buses=0):`) in place of the run's,
    which the next test that needs one starts again."""
    host = msdsc_machine
    if host is None:
        pytest.skip("the simulated machine exists on Linux only")

    @contextlib.contextmanager
    def machine(buses):
        host.stop()
        with host.machine(buses):
            yield host

    yield machine
    host.stop()


@pytest.fixture
def run(pytester, monkeypatch):
    """run(source, *arguments): the test file `source` run by pytest in a process of its own, with the
    plugin, as a test engineer's rig is run."""
    # The engineer's run imports the package these tests run on: this source tree's, or the
    # installed one (which needs nothing on the path).
    source = SOURCE_TREE / "python" / "src"
    if Path(msdsc.__file__).resolve().is_relative_to(source):
        monkeypatch.setenv("PYTHONPATH", str(source))
    # Found from here: the runs start in folders of their own.
    host_build = msdsc._native.host_build_dir()
    if host_build:
        monkeypatch.setenv("MSDSC_HOST_BUILD", str(host_build.resolve()))

    def run(source, *arguments):
        pytester.makepyfile(test_rig=source)
        # Bounded: a run that hangs fails its test instead of the whole suite.
        return pytester.runpytest_subprocess("-p", "msdsc.pytest_plugin", "-p", "no:cacheprovider", *arguments,
                                             timeout=120)
    return run
