# The C and Python examples of the README files and docs/windows.md, taken from the .md files as they
# stand and run as written against the driver, so that the documents cannot drift from the code again.
import ctypes
import re
import shutil
import subprocess

import pytest

import msdsc

from conftest import SOURCE_TREE

DOCUMENTS = ["README.md", "docs/windows.md", "python/README.md"]


def examples(language):
    found = []
    for document in DOCUMENTS:
        text = (SOURCE_TREE / document).read_text()
        for number, block in enumerate(re.findall(r"^```" + language + r"\n(.*?)^```$", text, re.M | re.S)):
            found.append(pytest.param(block, id=f"{document}#{number}"))
    return found


def test_every_document_has_its_examples():
    assert len(examples("c")) == 1
    assert len(examples("python")) == 4


@pytest.mark.parametrize("source", examples("python"))
def test_python_example_runs_as_written(source, msdsc_machine, pytester, run):
    if "def test_" in source:
        # A rig's test file: run by pytest with the plugin, as the engineer would.
        result = run(source)
        outcomes = result.parseoutcomes()
        assert outcomes.get("passed", 0) >= 1 and set(outcomes) == {"passed"}, result.stdout.str()
        return
    if msdsc_machine is not None:
        # An example that starts a machine of its own needs the run's out of the way, and the others
        # need one running.
        if "msdsc.host.machine" in source:
            msdsc_machine.stop()
        elif not msdsc_machine.running():
            msdsc_machine.start(2)
    exec(compile(source, "example", "exec"), {})
    assert [device for device in msdsc.list_readers() if device.present] == []


@pytest.mark.parametrize("source", examples("c"))
def test_c_example_compiles_and_runs_as_written(source, msdsc_machine, tmp_path):
    if msdsc_machine is None:
        pytest.skip("compiled with the host build's library; on Windows link msdscclient.dll")
    compiler = shutil.which("gcc") or shutil.which("cc")
    assert compiler, "a C compiler is needed to build the example"
    library = msdsc._native.client_library_path()
    (tmp_path / "example.c").write_text(source)
    # Built as a library whose main the test calls, inside the process that runs the simulated machine.
    subprocess.run([compiler, "-std=c99", "-Wall", "-Werror", "-pedantic", "-shared", "-fPIC",
                    "-Dmain=msdsc_example_main", "-I", str(SOURCE_TREE / "client" / "include"),
                    str(tmp_path / "example.c"), library, "-o", str(tmp_path / "example.so")], check=True)
    example = ctypes.CDLL(str(tmp_path / "example.so"))
    assert example.msdsc_example_main() == 0
    assert [device for device in msdsc.list_readers() if device.present] == []


HANDLE = r"([0-9a-f]{16}):([0-9a-f]{16})"
HANDLE_DOCUMENTS = ["README.md", "docs/windows.md", "docs/wine.md", "python/README.md", "sample/README.md"]
ORDINALS = ["first", "second", "third", "fourth", "fifth", "sixth", "seventh", "eighth", "ninth", "tenth"]


def test_documented_handles_are_as_the_tools_print_them():
    """Every handle the documents show could come from the tools: the reader half a generation above the
    reader number (the driver's generations start at 1), the number the one the text gives, the
    generations of one session rising; and a prose "is reader R, the Nth reader made, on bus B" true."""
    wrong = []
    for document in HANDLE_DOCUMENTS:
        text = (SOURCE_TREE / document).read_text()
        generations = []
        for line in text.splitlines():
            for _, reader in re.findall(HANDLE, line):
                if int(reader[:8], 16) == 0 or int(reader[8:], 16) >= 256:
                    wrong.append(f"{document}: {reader} is no reader half the driver gives")
            said = re.search(r"\breader (\d+)\b[^`]*?handle " + HANDLE, line)
            if said and int(said.group(1)) != int(said.group(3)[8:], 16):
                wrong.append(f"{document}: '{line.strip()}' names another reader than its handle")
            if said and line.lstrip().startswith("added reader"):
                generations.append(int(said.group(3)[:8], 16))
        if generations != sorted(set(generations)):
            wrong.append(f"{document}: the adds' generations {generations} do not rise")
        for match in re.finditer(r"`" + HANDLE + r"` is reader (\d+), the (\w+) reader made,?\s+(?:in this load, )?on "
                                 r"bus (\d+)", text):
            bus, reader, number, ordinal, bus_serial = match.groups()
            if (int(reader[8:], 16), ORDINALS.index(ordinal) + 1, int(bus[8:], 16)) != (
                    int(number), int(reader[:8], 16), int(bus_serial)):
                wrong.append(f"{document}: '{match.group(0)}' does not read its handle")
    assert wrong == []
    # The checks above read what they should: the README's and docs/windows.md's prose examples.
    assert "is reader 2, the third reader made, on bus 0" in (SOURCE_TREE / "README.md").read_text()


def test_readme_session_line_is_the_host_tools(msdsc_machine):
    """The README's line of the demo's third add is what the host tool prints for it, but for the tag of
    the load (the upper half of the bus half), which changes with every load."""
    if msdsc_machine is None:
        pytest.skip("the host tool runs on Linux")
    line = next(line.strip() for line in (SOURCE_TREE / "README.md").read_text().splitlines()
                if line.strip().startswith("added reader 2 "))
    tool = msdsc._native.host_build_dir() / "tools" / "msdscctl-host"
    output = subprocess.run([str(tool), "--buses", "2", "add", "7", "1", "0", "add", "8", "2", "0", "add", "9", "3", "1",
                             "--wait", "quit"], capture_output=True, text=True, timeout=60, check=True).stdout
    untagged = [re.sub(r"\b[0-9a-f]{8}([0-9a-f]{8}:)", r"TAG\1", text) for text in (line, output)]
    assert untagged[0] in untagged[1].splitlines()
