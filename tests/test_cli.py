"""``python -m telvar`` on the plugins that ship with telvar."""

import re
import subprocess
import sys
import textwrap
from importlib import metadata

import pytest

try:
    metadata.distribution("telvar-example-plugin")
    EXAMPLE_INSTALLED = True
except metadata.PackageNotFoundError:
    EXAMPLE_INSTALLED = False

needs_example = pytest.mark.skipif(
    not EXAMPLE_INSTALLED, reason="examples/external_plugin is not installed"
)

P = "telvar.plugins."

# The registry that the built-in plugins build, paths left out.
BUILTIN_TREE = f"""\
plugins (<class 'telvar.core.pluginmanager.PluginManager'> at ID) 
  |__ alpha
  |  |__ data
  |  |  |__ single_rp
  |  |    |__ cls = <class '{P}alpha.AlphaConnection'>
  |  |    |__ path = .../alpha/__init__.py
  |  |__ edge
  |  |  |__ data
  |  |  |  |__ single_rp
  |  |  |    |__ cls = <class '{P}alpha.edge.AlphaEdgeConnection'>
  |  |  |    |__ path = .../alpha/edge.py
  |  |  |__ e100
  |  |    |__ data
  |  |      |__ single_rp
  |  |        |__ cls = <class '{P}alpha.edge.AlphaEdgeE100Connection'>
  |  |        |__ path = .../alpha/edge.py
  |  |__ lts
  |    |__ data
  |      |__ single_rp
  |        |__ cls = <class '{P}alpha.lts.AlphaLtsConnection'>
  |        |__ path = .../alpha/lts.py
  |__ beta
    |__ core
    |  |__ c9
    |  |  |__ data
    |  |    |__ single_rp
    |  |      |__ cls = <class '{P}beta.core.BetaCoreC9Connection'>
    |  |      |__ path = .../beta/core.py
    |  |__ data
    |    |__ single_rp
    |      |__ cls = <class '{P}beta.core.BetaCoreConnection'>
    |      |__ path = .../beta/core.py
    |__ data
      |__ dual_rp
      |  |__ cls = <class '{P}beta.dual.BetaDualRpConnection'>
      |  |__ path = .../beta/dual.py
      |__ single_rp
        |__ cls = <class '{P}beta.BetaConnection'>
        |__ path = .../beta/__init__.py
"""


def telvar(*args):
    return subprocess.run(
        [sys.executable, "-m", "telvar", *args],
        capture_output=True,
        text=True,
        timeout=120,
    )


def cli_code(setup, *args):
    """Code that runs telvar.cli.main(args) after ``setup``."""
    return setup + f"\nfrom telvar.cli import main\nraise SystemExit(main({list(args)!r}))\n"


def normalise(text):
    text = re.sub(r" at 0x[0-9a-f]+\) ", " at ID) ", text)
    return re.sub(r"path = \S*?/telvar/plugins/", "path = .../", text)


WITHOUT_ENTRY_POINTS = textwrap.dedent(
    """
    import telvar.core.pluginmanager as pm
    pm.iter_entry_points = lambda group: iter(())
    """
)


def test_builtin_registry_tree(run_python):
    proc = run_python(cli_code(WITHOUT_ENTRY_POINTS))
    assert proc.returncode == 0, proc.stderr
    assert normalise(proc.stdout) == BUILTIN_TREE


def test_python_m_telvar_shows_builtin_and_external_plugins():
    proc = telvar()
    assert proc.returncode == 0, proc.stderr
    out = normalise(proc.stdout)
    assert out.startswith(BUILTIN_TREE.split("\n")[0] + "\n")
    # alpha is never the last OS, so its block is the same whatever follows.
    alpha = BUILTIN_TREE.split("  |__ beta\n")[0].split("\n", 1)[1]
    assert alpha in out
    assert "|__ tests" not in out and "mock_device" not in out
    if EXAMPLE_INSTALLED:
        assert "\n  |__ beta\n  |  |__ core\n" in out  # beta is no longer last
        assert re.search(
            r"\n  \|__ gamma\n    \|__ data\n      \|__ single_rp\n"
            r"        \|__ cls = <class 'telvar_example_plugin\.connection\.GammaConnection'>\n"
            r"        \|__ path = /\S+/telvar_example_plugin/connection\.py\n\Z",
            out,
        )


def test_empty_registry_says_so(run_python):
    proc = run_python(
        cli_code(
            WITHOUT_ENTRY_POINTS
            + "pm.PluginManager.discover_builtin_plugins = staticmethod(lambda: None)\n"
        )
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "No connection plugins are registered.\n"


@pytest.mark.parametrize(
    "args, qualname, source",
    [
        (["--os", "alpha"], "alpha.AlphaConnection", "alpha/__init__.py"),
        # Unknown levels fall back to the deepest registered node.
        (
            ["--os", "alpha", "--platform", "edge", "--model", "e999"],
            "alpha.edge.AlphaEdgeConnection",
            "alpha/edge.py",
        ),
        (["--os", "alpha", "--os-flavor", "lts"], "alpha.lts.AlphaLtsConnection", "alpha/lts.py"),
        (["--os", "alpha", "--os-flavor", "rolling"], "alpha.AlphaConnection", "alpha/__init__.py"),
        (
            ["--os", "beta", "--chassis-type", "dual_rp"],
            "beta.dual.BetaDualRpConnection",
            "beta/dual.py",
        ),
        (
            ["--os", "beta", "--platform", "core", "--model", "c9"],
            "beta.core.BetaCoreC9Connection",
            "beta/core.py",
        ),
    ],
)
def test_device_lookup_prints_class_and_file(args, qualname, source):
    proc = telvar(*args)
    assert proc.returncode == 0, proc.stderr
    name, path = proc.stdout.splitlines()
    assert name == P + qualname
    assert path.startswith("  from /") and path.endswith("/telvar/plugins/" + source)


@needs_example
def test_device_lookup_finds_external_plugin():
    proc = telvar("--os", "gamma")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[0] == "telvar_example_plugin.connection.GammaConnection"


@pytest.mark.parametrize(
    "args, message",
    [
        (["--os", "delta"], "Plugin data not found for (delta), type: single_rp "),
        # No back-off: beta/core has records, but none for dual_rp.
        (
            ["--os", "beta", "--platform", "core", "--chassis-type", "dual_rp"],
            "Plugin data not found for (beta/core), type: dual_rp ",
        ),
        (["--os", "alpha", "--platform", "Edge"], "platform (Edge) has to be in lowercase"),
        (
            ["--os", "alpha", "--chassis-type", "quad_rp"],
            "chassis Type should be one of these ['single_rp', 'dual_rp', 'stack'], but got quad_rp",
        ),
        (["--platform", "edge"], "OS information not provided for platform: edge"),
    ],
)
def test_unknown_or_invalid_device_fails(args, message):
    proc = telvar(*args)
    assert proc.returncode == 1
    assert proc.stdout == ""
    assert proc.stderr == f"telvar: {message}\n"


@pytest.mark.parametrize("debug", [False, True])
def test_debug_shows_telvar_log_on_stderr(debug):
    proc = telvar(*(["--debug"] if debug else []), "--os", "delta")
    assert proc.returncode == 1
    line = "delta is not part of the built-in list of supported OSes."
    assert (line in proc.stderr) is debug
    if debug and EXAMPLE_INSTALLED:
        assert "Loading external plugin gamma from telvar_example_plugin.connection" in proc.stderr


def test_help():
    proc = telvar("--help")
    assert proc.returncode == 0
    for option in ("--os", "--platform", "--model", "--os-flavor", "--chassis-type", "--debug"):
        assert option in proc.stdout
