"""Every public operation under allocation failure: no crash, success or MemoryError, and the
tree as it was before on MemoryError.

Each operation is swept in a child interpreter of its own (memory_sweep.py, which says how):
the N-th allocation fails, for every N until the operation runs through, with every allocation
after it failing and with it alone failing.
"""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

_testcapi = pytest.importorskip(
    "_testcapi", reason="this interpreter has no _testcapi (CPython's test C API module)"
)
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("this interpreter's _testcapi has no set_nomemory", allow_module_level=True)

from memory_sweep import cases  # noqa: E402 - it needs _testcapi

CHILD = Path(__file__).with_name("memory_sweep.py")


@pytest.fixture(scope="module")
def child_env(tmp_path_factory):
    """One bytecode cache for all the children: each would otherwise compile every module it
    imports again where the interpreter ships without cached bytecode and none is written."""
    env = dict(os.environ, PYTHONPYCACHEPREFIX=str(tmp_path_factory.mktemp("pycache")))
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    return env


@pytest.mark.parametrize("case", list(cases(None)))
def test_allocation_failures(case, child_env):
    child = subprocess.run(
        [sys.executable, str(CHILD), case],
        capture_output=True,
        text=True,
        timeout=300,
        env=child_env,
    )
    last = child.stderr.strip().splitlines()[-8:]
    assert child.returncode == 0, (
        f"the child exited with {child.returncode} in the last of these attempts:\n"
        + "\n".join(last)
    )
    report = json.loads(child.stdout)
    assert report["faults"] == [], "\n".join(report["faults"])
