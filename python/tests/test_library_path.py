"""Where the package loads the client library from: never a folder an unprivileged user can plant a
library in just by being the current directory, or a folder on PATH."""
from pathlib import Path

import pytest

from msdsc import _native


@pytest.fixture
def windows(monkeypatch, tmp_path):
    """The package as on Windows, started from a folder holding a planted msdscclient.dll and
    msdscctl.exe, that folder on PATH too, and no library in the package's own folder."""
    monkeypatch.setattr(_native, "IS_WINDOWS", True)
    monkeypatch.setattr(_native, "CLIENT_LIBRARY_NAME", "msdscclient.dll")
    planted = tmp_path / "downloads"
    planted.mkdir()
    (planted / "msdscclient.dll").write_bytes(b"MZ planted")
    (planted / "msdscctl.exe").write_bytes(b"MZ planted")
    monkeypatch.chdir(planted)
    monkeypatch.setenv("PATH", str(planted))
    for variable in ("MSDSC_CLIENT_LIBRARY", "MSDSC_TOOL_DIR"):
        monkeypatch.delenv(variable, raising=False)
    assert not (Path(_native.__file__).parent / "msdscclient.dll").exists()
    return tmp_path


def test_the_current_directory_and_path_are_never_searched(windows):
    assert _native.client_library_path() is None
    with pytest.raises(_native.LibraryNotFoundError, match="MSDSC_TOOL_DIR"):
        _native._load(_native.client_library_path(), "the client library")


def test_a_tool_folder_the_user_names_is_used(windows, monkeypatch):
    tools = windows / "msdsc-1.0"
    tools.mkdir()
    (tools / "msdscclient.dll").write_bytes(b"MZ")
    monkeypatch.setenv("MSDSC_TOOL_DIR", str(tools))
    assert _native.client_library_path() == str(tools / "msdscclient.dll")


@pytest.mark.parametrize("variable", ["MSDSC_CLIENT_LIBRARY", "MSDSC_TOOL_DIR"])
@pytest.mark.parametrize("value", ["msdscclient.dll", ".", "sub/msdscclient.dll"])
def test_relative_paths_are_refused(windows, monkeypatch, variable, value):
    monkeypatch.setenv(variable, value)
    with pytest.raises(_native.LibraryNotFoundError, match=f"{variable} must be an absolute path"):
        _native.client_library_path()


def test_an_explicit_absolute_path_wins(windows, monkeypatch):
    library = windows / "elsewhere" / "msdscclient.dll"
    monkeypatch.setenv("MSDSC_CLIENT_LIBRARY", str(library))
    assert _native.client_library_path() == str(library)
