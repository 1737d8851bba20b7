"""What the installed package shows the outside (the module's exported symbols, the warnings its
import gives) and how its test suite runs."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest


@pytest.mark.parametrize(
    "setup",
    [
        "",
        # A broken pkg_resources, for which telvar stands in: still silent.
        "import sys, types; sys.modules['pkg_resources'] = types.ModuleType('pkg_resources')",
    ],
)
def test_import_warns_nothing_and_leaves_no_filter(setup):
    # No warning of any kind; setuptools' own pkg_resources (81) warns of its deprecation,
    # which is silenced for that import only.
    code = (
        f"{setup}\nimport warnings; before = list(warnings.filters)\n"
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


CRASHING = """
import os

def test_crashes():
    try:
        import resource
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # no core file
    except ImportError:
        pass
    os.abort()

def test_after_the_crash():
    pass

def test_last():
    pass
"""


def test_a_crash_fails_that_test_alone(tmp_path):
    """Under the suite's own settings, a test that kills its process is one failure, named, and
    the tests after it still run."""
    (tmp_path / "test_crash.py").write_text(CRASHING)
    config = Path(__file__).resolve().parents[1] / "pyproject.toml"
    proc = subprocess.run(
        [sys.executable, "-m", "pytest", "-c", str(config), "--rootdir", str(tmp_path)]
        + ["-p", "no:cacheprovider", "-q", "test_crash.py"],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=tmp_path,
        # One worker: the tests after the crash can only run in the one that replaces it.
        env={**os.environ, "PYTEST_XDIST_AUTO_NUM_WORKERS": "1"},
    )
    lines = proc.stdout.splitlines()
    assert proc.returncode == 1, proc.stdout + proc.stderr
    failed = [line.split(" - ")[0] for line in lines if line.startswith("FAILED")]
    assert failed == ["FAILED test_crash.py::test_crashes"], proc.stdout
    assert lines[-1].startswith("1 failed, 2 passed"), proc.stdout


CHECKOUT = Path(__file__).resolve().parent.parent


@pytest.mark.skipif(
    not (CHECKOUT / "scripts" / "check-boundary").exists(), reason="runs from a source checkout"
)
@pytest.mark.parametrize(
    "file, code, name",
    [
        ("lookup.cpp", "void g(PyObject* x) { (void)PyObject_Hash(x); }", "PyObject_Hash"),
        (
            "render/extra.hpp",
            "inline void g(PyObject* x) { (void)PyObject_Str(x); }",
            "PyObject_Str",
        ),
        ("extra/deeper.cpp", "void g() { PyUnknown_Call(); }", "PyUnknown_Call"),
    ],
)
def test_the_boundary_refuses_a_call_nobody_classified(tmp_path, file, code, name):
    """A call that may run Python code, outside its wrapper, or one not classified at all, in
    any file of a core that passed the check: refused. (make lint checks the real core.)"""
    core = tmp_path / "core"
    (core / "python").mkdir(parents=True)
    (core / "render").mkdir()
    (core / "python" / "boundary.txt").write_text(
        "value PyObject\ninert Py_TYPE  reads a field\nruns PyObject_Str python/python_code.hpp  calls __str__\n"
    )
    (core / "python" / "python_code.hpp").write_text(
        "inline void s(PyObject* x) { (void)PyObject_Str(x); }\n"
    )
    (core / "lookup.cpp").write_text("void f(PyObject* x) { (void)Py_TYPE(x); }\n")
    refused = planted("check-boundary", core, file, code)
    assert refused.returncode == 1 and f"{file}:" in refused.stderr and name in refused.stderr


def planted(script, core, file, text):
    """What a check of scripts/ says of a core it passed once `text` is added to `file`."""
    check = [sys.executable, str(CHECKOUT / "scripts" / script), str(core)]
    assert subprocess.run(check, capture_output=True).returncode == 0
    (core / file).parent.mkdir(exist_ok=True)
    with open(core / file, "a") as source:
        source.write("\n" + text + "\n")
    return subprocess.run(check, capture_output=True, text=True)


@pytest.mark.skipif(
    not (CHECKOUT / "scripts" / "check-layers").exists(), reason="runs from a source checkout"
)
@pytest.mark.parametrize(
    "file, line, refusal",
    [
        ("internals/layout.hpp", '#include "calls/state.hpp"', "of a higher layer"),
        ("fence/versions.hpp", '#include "python/refs.hpp"', "of a higher layer"),
        ("extra/new.hpp", '#include "python/refs.hpp"', "which is no layer"),
    ],
)
def test_the_layers_refuse_an_include_upward(tmp_path, file, line, refusal):
    """An include that points up, or a file in a folder that is no layer, in a core that passed
    the check: refused. (make lint checks the real core.)"""
    core = tmp_path / "core"
    for file_name, include in [
        ("fence/versions.hpp", None),
        ("python/refs.hpp", "fence/versions.hpp"),
        ("internals/layout.hpp", "python/refs.hpp"),
        ("calls/state.hpp", "python/refs.hpp"),
    ]:
        (core / file_name).parent.mkdir(parents=True, exist_ok=True)
        (core / file_name).write_text(f'#include "{include}"\n' if include else "")
    refused = planted("check-layers", core, file, line)
    assert refused.returncode == 1 and file in refused.stderr and refusal in refused.stderr
