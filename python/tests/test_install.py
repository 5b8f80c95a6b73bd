# The package as a test engineer installs it (pip install ./python, not editable) passes its own tests
# from a fresh virtual environment, found the host build by the plugin's option alone, and skips none:
# an install that cannot reach the driver must fail loudly, never pass by testing nothing.
import os
import re
import shutil
import subprocess
import sys

import msdsc

from conftest import SOURCE_TREE


def readme_install_lines():
    """The options of the README's venv and pip lines (python/README.md, "Installing")."""
    text = (SOURCE_TREE / "python" / "README.md").read_text()
    make_venv = re.search(r"^    python3 -m venv ((?:--\S+ )*)\.venv", text, re.M)
    install = re.search(r"^    python3 -m pip install ((?:--\S+ )*)\./python", text, re.M)
    assert make_venv and install, "python/README.md lost its install lines"
    return make_venv.group(1).split(), install.group(1).split()


def test_installed_package_passes_its_own_tests(tmp_path):
    host_build = msdsc._native.host_build_dir()
    assert host_build is not None, "the host build is needed: cmake --preset host && cmake --build --preset host"
    # A copy, so that building the wheel leaves nothing in the source tree.
    package = tmp_path / "package"
    shutil.copytree(SOURCE_TREE / "python", package, ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))
    venv = tmp_path / "venv"
    # The README's own lines, as written: they must work with no registry reachable.
    make_venv, install = readme_install_lines()
    subprocess.run([sys.executable, "-m", "venv", *make_venv, str(venv)], check=True)
    python = str(venv / "bin" / "python")
    environment = {key: value for key, value in os.environ.items()
                   if not key.startswith("MSDSC_") and key != "PYTHONPATH"}
    subprocess.run([python, "-m", "pip", "install", "-q", *install, str(package)], check=True, env=environment,
                   cwd=tmp_path)
    imported = subprocess.run([python, "-c", "import msdsc; print(msdsc.__file__)"], check=True, env=environment,
                              cwd=tmp_path, capture_output=True, text=True).stdout.strip()
    assert imported.startswith(str(venv)), imported

    # This tree's tests (they read its headers) on the installed package: pythonpath emptied so that
    # src/ is not put first.
    tests = SOURCE_TREE / "python" / "tests"
    run = subprocess.run([python, "-m", "pytest", "-p", "no:cacheprovider", "-o", "pythonpath=",
                          "--msdsc-host-build", str(host_build),
                          "-k", "not test_installed_package_passes_its_own_tests", str(tests)],
                         env=environment, cwd=tmp_path, capture_output=True, text=True)
    summary = run.stdout.strip().splitlines()[-1]
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-2000:]
    assert re.search(r"\b\d+ passed\b", summary) and "skipped" not in summary, summary
    print("the installed package's own tests:", summary)
    assert f"msdsc {msdsc.__version__}: client library {host_build}" in run.stdout


def test_a_required_driver_that_cannot_be_reached_fails_rather_than_skips(tmp_path):
    environment = {key: value for key, value in os.environ.items() if not key.startswith("MSDSC_")}
    environment["PYTHONPATH"] = str(SOURCE_TREE / "python" / "src")
    environment["MSDSC_HOST_BUILD"] = str(tmp_path / "no-host-build")
    (tmp_path / "pytest.ini").write_text("[pytest]\nmsdsc_require = true\n")
    (tmp_path / "test_rig.py").write_text("def test_rig(msdsc_client):\n    pass\n")
    run = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-p", "msdsc.pytest_plugin",
                          str(tmp_path)], env=environment, cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode != 0
    assert "1 error" in run.stdout.splitlines()[-1], run.stdout[-2000:]
    assert "the driver cannot be reached" in run.stdout
