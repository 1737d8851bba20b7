"""What the installed package shows the outside: the module's exported symbols and the
warnings its import gives."""

import shutil
import subprocess
import sys

import pytest


def test_import_warns_nothing_and_leaves_no_filter():
    # No warning of any kind; setuptools' own pkg_resources (81) warns of its deprecation,
    # which is silenced for that import only.
    code = (
        "import warnings; before = list(warnings.filters)\n"
        "import telvar.manager\n"
        "assert warnings.filters == before, warnings.filters[:2]\n"
    )
    proc = subprocess.run(
        [sys.executable, "-W", "error", "-c", code],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert (proc.returncode, proc.stderr) == (0, "")


@pytest.mark.skipif(
    not sys.platform.startswith("linux") or shutil.which("nm") is None,
    reason="reads an ELF module's dynamic symbols with nm",
)
def test_only_init_function_exported(pm):
    out = subprocess.run(
        ["nm", "-D", "--defined-only", pm.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()} == {
        "PyInit_pluginmanager"
    }
