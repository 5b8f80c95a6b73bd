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
