"""The ``telvar`` command on the plugins that ship with telvar (and the example one)."""

import contextlib
import itertools
import json
import os
import re
import shlex
import subprocess
import sys
import textwrap
from importlib import metadata
from pathlib import Path

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from telvar import cli, log
from telvar.core.errors import ConnectionInfraError
from telvar.core.pluginmanager import PluginManager
from telvar.inventory import trace_lookup
from telvar.manager import plugin_manager

try:
    metadata.distribution("telvar-example-plugin")
    EXAMPLE_INSTALLED = True
except metadata.PackageNotFoundError:
    EXAMPLE_INSTALLED = False

# The expected texts are POSIX paths, and a closed pipe ends the command as SIGPIPE does.
pytestmark = pytest.mark.skipif(
    sys.platform == "win32",
    reason="POSIX only: bash runs the completion scripts, the shell closes and redirects "
    "descriptors (>&-, /dev/full), SIGPIPE and SIGINT end the command, paths are compared "
    "with '/'",
)

needs_example = pytest.mark.skipif(
    not EXAMPLE_INSTALLED, reason="examples/external_plugin is not installed"
)

P = "telvar.plugins."

# The registry that the built-in plugins build, paths left out.
BUILTIN_TREE = f"""\
plugins (<class 'telvar.core.pluginmanager.PluginManager'>)
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
    return re.sub(r"path = \S*?/telvar/plugins/", "path = .../", text)


WITHOUT_ENTRY_POINTS = textwrap.dedent(
    """
    from importlib import metadata
    import telvar.core.pluginmanager as pm
    metadata.entry_points = lambda **selection: ()
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
def test_device_lookup_prints_class_and_file(capsys, args, qualname, source):
    assert cli.main(args) == 0
    name, path = capsys.readouterr().out.splitlines()
    assert name == P + qualname
    assert path.startswith("  from /") and path.endswith("/telvar/plugins/" + source)
    assert cli.main(["resolve", *args, "--json"]) == 0
    found = json.loads(capsys.readouterr().out)
    assert found.pop("diagnostics") == {"failures": [], "disabled": [], "replacements": []}
    unmatched = [(item["option"], item["value"]) for item in found.pop("unmatched")]
    assert unmatched == [
        (option, value)
        for option, value in itertools.pairwise(args)
        if value in ("e999", "rolling")
    ]
    assert found == {
        "class": name,
        "module": name.rsplit(".", 1)[0],
        "file": path.removeprefix("  from "),
        "origin": "built-in",
    }


@needs_example
def test_device_lookup_finds_external_plugin():
    proc = telvar("--os", "gamma")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[0] == "telvar_example_plugin.connection.GammaConnection"


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


REGISTERED = "registered: alpha, beta" + (", gamma" if EXAMPLE_INSTALLED else "")
DUAL_RP = "--os beta --platform core --chassis-type dual_rp"


@pytest.mark.parametrize(
    "argv, code, message",
    [
        ("--os alhpa", 1, f"no plugin for os 'alhpa'; {REGISTERED}; did you mean 'alpha'?"),
        ("resolve --os zzzz --json", 1, f"no plugin for os 'zzzz'; {REGISTERED}"),
        # The OS exists: the manager's message, then where the walk stopped and what is
        # registered there. No back-off to other chassis types.
        (
            DUAL_RP,
            1,
            "Plugin data not found for (beta/core), type: dual_rp\ntelvar: the lookup stopped "
            "at beta/core, where only single_rp is registered; to see each step: telvar "
            f"explain {DUAL_RP}",
        ),
        (
            "--os beta --platform core --model c9 --os-flavor 'x y' --chassis-type stack",
            1,
            "Plugin data not found for (beta/core/c9/x y), type: stack\ntelvar: the lookup "
            "stopped at beta/core/c9, where only single_rp is registered; to see each step: "
            "telvar explain --os beta --platform core --model c9 --os-flavor 'x y' --chassis-type stack",
        ),
        # Device options that select no record.
        ("list --os nope", 1, "no registered record matches these device options"),
        (
            "tree --os alpha --chassis-type stack",
            1,
            "no registered record matches these device options",
        ),
        # The manager's message, then the command's line with the refused input quoted.
        (
            "--os alpha --platform Edge",
            2,
            "platform (Edge) has to be in lowercase\ntelvar: refused: --platform 'Edge'",
        ),
        (
            "--platform edge",
            2,
            "OS information not provided for platform: edge\ntelvar: refused: --platform 'edge'",
        ),
        (
            "explain --os alpha --chassis-type big",
            2,
            "chassis Type should be one of these ['single_rp', 'dual_rp', 'stack'], but got big\n"
            "telvar: refused: --chassis-type 'big'; choose from single_rp, dual_rp, stack",
        ),
        # A case-only difference gets the same hint as a typo.
        ("--os ALPHA", 1, f"no plugin for os 'ALPHA'; {REGISTERED}; did you mean 'alpha'?"),
        # Values are echoed cut to a readable length; one of exactly that length is whole.
        ("--os " + "x" * 40, 1, f"no plugin for os {'x' * 40!r}; {REGISTERED}"),
        (
            "--os " + "x" * 41,
            1,
            f"no plugin for os {'x' * 40!r}... (41 characters); {REGISTERED}",
        ),
        (
            "--os " + "x" * 100_000,
            1,
            f"no plugin for os {'x' * 40!r}... (100000 characters); {REGISTERED}",
        ),
        (
            "resolve --os alpha --platform " + "P" * 100_000,
            2,
            f"platform ({'P' * 40}... (100000 characters)) has to be in lowercase\n"
            f"telvar: refused: --platform {'P' * 40!r}... (100000 characters)",
        ),
        # Long options are never abbreviated.
        ("list --jso", 2, "error: unrecognized arguments: --jso (see 'telvar --help')"),
        (
            "--os-fl lts",
            2,
            "error: argument COMMAND: invalid choice: 'lts' (choose from 'tree', 'resolve', "
            "'list', 'explain', 'plugins', 'check', 'completion') (see 'telvar --help')",
        ),
        (
            "explain --platform edge",
            2,
            "error: the following arguments are required: --os (see 'telvar explain --help')",
        ),
        (
            "resolve",
            2,
            "error: the following arguments are required: --os (see 'telvar resolve --help')",
        ),
    ],
)
def test_exit_codes_and_messages(capsys, argv, code, message):
    assert cli.main(shlex.split(argv)) == code
    out, err = capsys.readouterr()
    assert err == f"telvar: {message}\n"
    # Under --json, one error object on stdout, with the same message and exit code.
    assert (json.loads(out)["error"] if "--json" in argv else out) == (
        {"code": code, "message": message} if "--json" in argv else ""
    )
    assert "register_plugin" not in vars(plugin_manager)  # the command stopped watching


def test_version(capsys):
    assert cli.main(["--version"]) == 0
    assert capsys.readouterr() == (f"telvar {metadata.version('telvar')}\n", "")


def boom(*args, **kwargs):
    raise RuntimeError("boom")


BREAK = {
    "builtin": (PluginManager, "discover_builtin_plugins", staticmethod(boom)),
    "lookup": (plugin_manager, "get_plugin", boom),
}


@pytest.mark.parametrize("debug", [False, True])
@pytest.mark.parametrize(
    "broken, argv, code, line",
    [
        ("builtin", "tree", 3, "error: a built-in plugin failed to import"),
        ("lookup", "resolve --os alpha", 4, "unexpected error"),
    ],
)
def test_failures_are_one_line_with_traceback_under_debug(
    capsys, monkeypatch, debug, broken, argv, code, line
):
    monkeypatch.setattr(*BREAK[broken])
    handlers = list(log.handlers)
    assert cli.main(["--debug"] * debug + argv.split()) == code
    out, err = capsys.readouterr()
    line = f"telvar: {line}: RuntimeError: boom\n"
    assert (out, err.endswith("\n" + line) if debug else err == line) == ("", True)
    assert ("Traceback (most recent call last)" in err) is debug
    assert log.handlers == handlers


def table_rows(text):
    """The rows of an aligned table as dicts: every cell starts under its header."""
    header, *lines = text.splitlines()
    starts = [match.start() for match in re.finditer(r"\S+", header)]
    for line in lines:
        assert [match.start() for match in re.finditer(r"\S+(?: \S+)*", line)] == starts, line
    return [dict(zip(header.split(), re.split(r"\s{2,}", line), strict=True)) for line in lines]


KEYS = ["os", "platform", "model", "os_flavor", "chassis_type", "class", "file", "origin"]
# Parents before children; lts is an OS flavour, not a platform. Classes and files below
# telvar.plugins, or below site-packages.
ROWS = """\
alpha - - - single_rp alpha.AlphaConnection alpha/__init__.py built-in
alpha edge - - single_rp alpha.edge.AlphaEdgeConnection alpha/edge.py built-in
alpha edge e100 - single_rp alpha.edge.AlphaEdgeE100Connection alpha/edge.py built-in
alpha - - lts single_rp alpha.lts.AlphaLtsConnection alpha/lts.py built-in
beta - - - dual_rp beta.dual.BetaDualRpConnection beta/dual.py built-in
beta - - - single_rp beta.BetaConnection beta/__init__.py built-in
beta core - - single_rp beta.core.BetaCoreConnection beta/core.py built-in
beta core c9 - single_rp beta.core.BetaCoreC9Connection beta/core.py built-in"""
GAMMA = "gamma - - - single_rp telvar_example_plugin.connection.GammaConnection"
GAMMA += " telvar_example_plugin/connection.py telvar-example-plugin 0.1.0"


@pytest.mark.parametrize("as_json", [False, True])
def test_list_rows(as_json):
    proc = telvar("list", *["--json"] * as_json)
    assert (proc.returncode, proc.stderr) == (0, "")
    rows = json.loads(proc.stdout)["records"] if as_json else table_rows(proc.stdout)
    assert not as_json or all(list(row) == KEYS + ["replaces"] for row in rows)
    assert not as_json or all(row.pop("replaces") == [] for row in rows)
    for row in rows:
        row["class"] = row["class"].removeprefix(P)
        row["file"] = row["file"].split("/telvar/plugins/")[-1].split("/site-packages/")[-1]
    flat = [" ".join("-" if row[key] is None else row[key] for key in KEYS) for row in rows]
    assert flat == ROWS.splitlines() + [GAMMA] * EXAMPLE_INSTALLED


@pytest.mark.parametrize("strict, code, severity", [(False, 0, "warning"), (True, 3, "error")])
def test_failing_plugin_is_reported_and_the_rest_load(tmp_path, strict, code, severity):
    # An uninstalled distribution: one entry point fails, the next one loads.
    info = tmp_path / "brokendist-1.0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: brokendist\nVersion: 1.0\n")
    (info / "entry_points.txt").write_text(
        "[telvar.plugins]\nbroken = telvar_broken.conn\nd = delta\n"
    )
    (tmp_path / "delta.py").write_text(
        "from telvar.manager import plugin_manager\n"
        "plugin_manager.register_plugin(type('DeltaConnection', (), {}), os='delta')\n"
    )
    proc = subprocess.run(
        [sys.executable, "-m", "telvar", *["--strict"] * strict, "list", "--json"],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": str(tmp_path)},
    )
    assert proc.returncode == code
    assert proc.stderr == (
        f"telvar: {severity}: plugin 'broken' (telvar_broken.conn) from brokendist 1.0 "
        "failed to load: ModuleNotFoundError: No module named 'telvar_broken'; --debug shows "
        "the traceback, --disable broken skips it\n"
    )
    found = json.loads(proc.stdout)
    assert not strict or found["diagnostics"]["failures"][0]["plugin"] == "broken"
    origins = {} if strict else {row["os"]: row["origin"] for row in found["records"]}
    assert origins == ({} if strict else origins | {"alpha": "built-in", "delta": "brokendist 1.0"})
    assert ("gamma" in origins) is (EXAMPLE_INSTALLED and not strict)


@pytest.mark.parametrize(
    "program", [[str(Path(sys.executable).with_name("telvar"))], [sys.executable, "-m", "telvar"]]
)
def test_closed_stdout_ends_quietly(program):
    proc = subprocess.Popen([*program, "list"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.close()  # long before the command writes
    assert (proc.wait(timeout=120), proc.stderr.read()) == (141, b"")


@pytest.mark.parametrize(
    "argv, code, lines",
    [
        (
            "--os alpha --platform edge --model e999",
            0,
            """\
os         alpha  matched
platform   edge   matched
model      e999   absent: falls back, stays at alpha/edge
stopped at alpha/edge
chassis type single_rp (registered there: single_rp)
result: telvar.plugins.alpha.edge.AlphaEdgeConnection
  from .../alpha/edge.py""",
        ),
        (
            DUAL_RP,
            1,
            """\
os         beta  matched
platform   core  matched
stopped at beta/core
chassis type dual_rp (registered there: single_rp)
result: no plugin serves this device""",
        ),
        (
            "--os zeta",
            1,
            f"""\
os         zeta  absent: falls back, stays at the root; {REGISTERED}; did you mean 'beta'?
stopped at the root
chassis type single_rp (no records there)
result: no plugin serves this device""",
        ),
    ],
)
def test_explain_shows_each_step(capsys, argv, code, lines):
    assert cli.main(["explain", *argv.split()]) == code
    out, err = capsys.readouterr()
    assert (re.sub(r"from /\S*/telvar/plugins/", "from .../", out), err) == (lines + "\n", "")


CLASSES = [type(f"Conn{i}", (), {}) for i in range(2)]
NAMES = st.sampled_from([None, "a", "b", "data", "single_rp"])
DEVICE = st.fixed_dictionaries(
    dict(os=st.sampled_from(["alpha", "linux", "a"]), platform=NAMES, model=NAMES, os_flavor=NAMES)
    | dict(chassis_type=st.sampled_from(["single_rp", "dual_rp", "stack"]))
)
LINUX = dict(os="linux", platform=None, model=None, os_flavor=None, chassis_type="single_rp")


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(st.sampled_from([*CLASSES, None]), DEVICE)), st.lists(DEVICE))
@example([(CLASSES[0], LINUX)], [LINUX | {"platform": "data"}])
def test_explain_agrees_with_get_plugin(operations, lookups):
    manager = PluginManager()
    for cls, device in operations:  # None unregisters
        with contextlib.suppress(ConnectionInfraError):
            if cls is None:
                manager.unregister_plugin(**device)
            else:
                manager.register_plugin(cls, **device)
    for device in lookups:
        with contextlib.suppress(ConnectionInfraError):  # refused: explain never walks
            manager.validate_arguments(
                *map(device.get, ("os", "platform", "model", "chassis_type"))
            )
            try:
                expected = manager.get_plugin(**device)
            except ConnectionInfraError:
                expected = None
            assert trace_lookup(manager.plugins, **device).cls is expected


@pytest.mark.parametrize(
    "argv, same_as",
    [
        # Device options before the command count as given after it; after it, they win.
        ("--os alpha resolve", "resolve --os alpha"),
        ("--os alpha resolve --os beta --json", "resolve --os beta --json"),
        ("--os beta --platform core explain", "explain --os beta --platform core"),
        ("--os alpha list --json", "list --os alpha --json"),
        ("--platform edge tree", "tree --platform edge"),
        ("--os-flavour lts --os alpha", "--os alpha --os-flavor lts"),
        ("-q tree --json", "tree --json --quiet"),
        ("-V", "--version"),
    ],
)
def test_equivalent_command_lines(capsys, argv, same_as):
    # Both after the plugins' first load in this process, which alone sees their registrations.
    cli.main(["list", "-q"])
    capsys.readouterr()
    results = [(cli.main(args.split()), capsys.readouterr()) for args in (argv, same_as)]
    assert results[0] == results[1]
    assert results[0][0] == 0 and results[0][1].out and not results[0][1].err


def tree_at(tree, path):
    for element in path:
        tree = tree[element]
    return tree


def test_tree_json_holds_every_listed_record(capsys):
    assert cli.main(["tree", "--json"]) == 0
    tree = json.loads(capsys.readouterr().out)["tree"]
    assert cli.main(["list", "--json"]) == 0
    rows = json.loads(capsys.readouterr().out)["records"]
    for row in rows:
        path = [row[level] for level in KEYS[:4] if row[level] is not None]
        record = tree_at(tree, path)["data"].pop(row["chassis_type"])
        assert record == {
            "class": row["class"],
            "module": row["class"].rsplit(".", 1)[0],
            "file": row["file"],
            "origin": row["origin"],
        }
    # Nothing left but nodes and emptied data maps.
    assert not re.search(r'"(class|file)"', json.dumps(tree))
    assert len(rows) == 8 + EXAMPLE_INSTALLED


@pytest.mark.parametrize(
    "argv, text",
    [
        (
            "tree --os alpha --os-flavor lts",
            f"""\
plugins (<class 'telvar.core.pluginmanager.PluginManager'>)
  |__ alpha
    |__ lts
      |__ data
        |__ single_rp
          |__ cls = <class '{P}alpha.lts.AlphaLtsConnection'>
          |__ path = .../alpha/lts.py
""",
        ),
        (
            "tree --os beta --platform core --json",
            '{\n  "tree": {\n    "beta": {\n      "core": {\n',
        ),
    ],
)
def test_device_options_select_the_records_of_tree_and_list(argv, text):
    # A fresh process: only there do the built-in plugins register while the command watches.
    proc = telvar(*argv.split())
    assert (proc.returncode, proc.stderr) == (0, "")
    out = normalise(proc.stdout)
    assert out.startswith(text) and ('"c9"' in out) is argv.endswith("--json")


@pytest.mark.parametrize(
    "argv, code, steps, result",
    [
        (
            "--os alpha --platform edge --model e999",
            0,
            [("os", "alpha", True, ["alpha"]), ("platform", "edge", True, ["alpha", "edge"])]
            + [("model", "e999", False, ["alpha", "edge"])],
            "alpha.edge.AlphaEdgeConnection",
        ),
        (
            DUAL_RP,
            1,
            [("os", "beta", True, ["beta"]), ("platform", "core", True, ["beta", "core"])],
            None,
        ),
    ],
)
def test_explain_json(capsys, argv, code, steps, result):
    assert cli.main(["explain", "--json", *argv.split()]) == code
    found = json.loads(capsys.readouterr().out)
    assert found["steps"] == [
        dict(zip(("level", "element", "matched", "node"), step, strict=True)) for step in steps
    ]
    assert found["stopped_at"] == steps[-1][3]
    assert found["registered"] == ["single_rp"]
    assert found["result"] == (
        result
        and {
            "class": P + result,
            "module": (P + result).rsplit(".", 1)[0],
            "file": found["result"]["file"],
            "origin": "built-in",
        }
    )


@pytest.mark.parametrize("command", cli.COMMANDS, ids=lambda command: command.name)
def test_every_command_has_a_description_and_an_example(capsys, command):
    assert cli.main([command.name, "--help"]) == 0
    out = capsys.readouterr().out
    assert f"\n\n{command.summary}\n\n" in out and out.endswith(f"\nexample: {command.example}\n")
    assert f"telvar {command.name} " in command.example


def bash_completion(script, words):
    """The candidates the bash script offers for the last of ``words``."""
    program = f"{script}\nCOMP_WORDS=({words}); COMP_CWORD=$((${{#COMP_WORDS[@]}} - 1))\n"
    program += '_telvar; printf "%s\\n" "${COMPREPLY[@]}"'
    proc = subprocess.run(["bash", "-c", program], capture_output=True, text=True, check=True)
    return proc.stdout.split()


@pytest.mark.parametrize(
    "words, candidates",
    [
        ('telvar ""', None),  # checked below: the commands and global options
        ("telvar --os alpha re", ["resolve"]),
        ('telvar list --chassis-type ""', ["single_rp", "dual_rp", "stack"]),
        (
            'telvar --debug completion ""',
            ["-h", "--help", "--debug", "--strict", "-q", "--quiet", "--disable", "--prefer"]
            + ["bash", "zsh", "fish"],
        ),
        ("telvar explain --os-f", ["--os-flavor", "--os-flavour"]),
    ],
)
def test_bash_completion(capsys, words, candidates):
    assert cli.main(["completion", "bash"]) == 0
    script = capsys.readouterr().out
    offered = bash_completion(script, words)
    if candidates is None:
        assert {"tree", "resolve", "list", "explain", "completion", "-V", "-q", "--os"} <= set(
            offered
        )
    else:
        assert offered == candidates
    assert cli.main(["completion", "zsh"]) == 0
    assert (
        capsys.readouterr().out
        == "#compdef telvar\nautoload -U +X bashcompinit && bashcompinit\n" + script
    )


def test_fish_completion(capsys):
    assert cli.main(["completion", "fish"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert (
        "complete -c telvar -l chassis-type -x -a 'single_rp dual_rp stack' -d 'one of {single_rp,dual_rp,stack} (default: single_rp)'"
        in lines
    )
    assert (
        "complete -c telvar -s V -l version -d 'show program\\'s version number and exit'" in lines
    )
    assert (
        "complete -c telvar -n '__fish_seen_subcommand_from completion' -a 'bash zsh fish'" in lines
    )


@pytest.mark.parametrize("program", ["telvar", "python -m telvar"])
@pytest.mark.parametrize(
    "args, redirect, line",
    [
        ("resolve --os alpha", ">&-", "standard output is closed"),
        ("--version", ">&-", "standard output is closed"),
        (
            "list",
            ">/dev/full",
            "cannot write to standard output: [Errno 28] No space left on device",
        ),
        (
            "--help",
            ">/dev/full",
            "cannot write to standard output: [Errno 28] No space left on device",
        ),
    ],
)
def test_unwritable_stdout_is_one_line_and_exit_code_5(program, args, redirect, line):
    if redirect == ">/dev/full" and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    command = {
        "telvar": str(Path(sys.executable).with_name("telvar")),
        "python -m telvar": f"{sys.executable} -m telvar",
    }[program]
    proc = subprocess.run(
        ["sh", "-c", f"{command} {args} {redirect}"], capture_output=True, text=True, timeout=120
    )
    assert (proc.returncode, proc.stderr) == (5, f"telvar: error: {line}\n")


def test_explain_cuts_long_values(capsys):
    assert cli.main(["explain", "--os", "alpha", "--platform", "q" * 100_000]) == 0
    lines = capsys.readouterr().out.splitlines()
    shown = "q" * 40 + "... (100000 characters)"
    assert lines[:3] == [
        f"os         {'alpha':<{len(shown)}}  matched",
        f"platform   {shown}  absent: falls back, stays at alpha",
        "stopped at alpha",
    ]


@pytest.mark.parametrize(
    "setup, error",
    [
        # Blocked on purpose: telvar does not stand in.
        (
            "sys.modules['pkg_resources'] = None",
            "ModuleNotFoundError: import of pkg_resources halted; None in sys.modules",
        ),
        # Its own import fails: the packages it needs are gone.
        (
            "import pathlib, tempfile\nroot = pathlib.Path(tempfile.mkdtemp())\n"
            "(root / 'pkg_resources').mkdir()\n(root / 'pkg_resources' / '__init__.py')"
            ".write_text('raise LookupError(\"its packaging is gone\")')\nsys.path.insert(0, str(root))",
            "LookupError: its packaging is gone",
        ),
    ],
)
def test_a_missing_or_broken_pkg_resources_is_one_line_naming_the_repair(run_python, setup, error):
    proc = run_python(cli_code(f"import sys, types\n{setup}", "--os", "alpha"))
    assert (proc.returncode, proc.stdout) == (3, "")
    assert proc.stderr == (
        "telvar: error: the plugin manager cannot import pkg_resources, which is missing or "
        f"broken ({error}); repair it: {sys.executable} -m pip install --force-reinstall "
        "pkg-resources-backport\n"
    )
    version = run_python(cli_code(f"import sys, types\n{setup}", "-V"))
    assert (version.returncode, version.stdout) == (0, f"telvar {metadata.version('telvar')}\n")


@pytest.mark.parametrize(
    "setup, error",
    [
        # Uninstalled.
        (
            "class Uninstalled:\n"
            "    def find_spec(name, path=None, target=None):\n"
            "        if name == 'pkg_resources':\n"
            "            raise ModuleNotFoundError(f'No module named {name!r}', name=name)\n"
            "sys.meta_path.insert(0, Uninstalled)",
            "ModuleNotFoundError: No module named 'pkg_resources'",
        ),
        # Its files deleted by another distribution's uninstall: a namespace package is left.
        (
            "import importlib.machinery, pathlib, tempfile\n"
            "root = pathlib.Path(tempfile.mkdtemp())\n(root / 'pkg_resources').mkdir()\n"
            "class Leftover:\n"
            "    def find_spec(name, path=None, target=None):\n"
            "        if name == 'pkg_resources':\n"
            "            return importlib.machinery.PathFinder.find_spec(name, [str(root)])\n"
            "sys.meta_path.insert(0, Leftover)",
            "ImportError: cannot import name 'iter_entry_points' from 'pkg_resources' (unknown location)",
        ),
        # A module without iter_entry_points.
        (
            "sys.modules['pkg_resources'] = types.ModuleType('pkg_resources')",
            "ImportError: cannot import name 'iter_entry_points' from 'pkg_resources' (unknown location)",
        ),
    ],
)
def test_a_pkg_resources_telvar_stands_in_for_is_one_warning_naming_the_repair(
    run_python, setup, error
):
    proc = run_python(cli_code(f"import sys, types\n{setup}", "--os", "alpha"))
    assert (proc.returncode, proc.stdout.splitlines()[0]) == (0, f"{P}alpha.AlphaConnection")
    assert proc.stderr == (
        f"telvar: warning: pkg_resources is missing or broken ({error}); telvar reads the "
        "plugins' entry points without it, but other code that needs it fails; repair it: "
        f"{sys.executable} -m pip install --force-reinstall pkg-resources-backport\n"
    )
    quiet = run_python(cli_code(f"import sys, types\n{setup}", "-q", "list", "--json"))
    assert (quiet.returncode, quiet.stderr) == (0, "")
    assert {"alpha", "beta"} <= {row["os"] for row in json.loads(quiet.stdout)["records"]}
