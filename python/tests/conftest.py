# The package's own tests: the plugin from the source tree (or the installed package, which
# registers it under the same name), and pytester for runs of test files that use the plugin.
import contextlib
from pathlib import Path

import pytest

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
