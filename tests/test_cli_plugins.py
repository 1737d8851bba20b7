"""The ``telvar`` command on plugin distributions made for the test: failures, replacements, origins."""

import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

REGISTER = "from telvar.manager import plugin_manager as pm\n"


def make_dist(root, name, entry_points, modules, record=True):
    """A distribution installed into the folder ``root``: dist-info, entry points, modules."""
    root.mkdir(exist_ok=True)
    info = root / f"{name}-1.0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {name}\nVersion: 1.0\n")
    lines = "".join(f"{key} = {value}\n" for key, value in entry_points.items())
    (info / "entry_points.txt").write_text("[telvar.plugins]\n" + lines)
    for path, source in modules.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(textwrap.dedent(source))
    if record:
        (info / "RECORD").write_text("".join(f"{path},,\n" for path in modules))
    return root


def run(code, *roots):
    """``code`` in a fresh interpreter that sees the distributions in ``roots``, in order."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(map(str, roots))}
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120
    )


def telvar(*args, roots=()):
    return run(f"import sys\nfrom telvar.cli import main\nsys.exit(main({list(args)!r}))", *roots)


# The registry itself, dict order and all, after the command has loaded the plugins.
SHOW_REGISTRY = """\
import contextlib, io, sys
from telvar.cli import main
from telvar.manager import plugin_manager
with contextlib.redirect_stdout(io.StringIO()):
    code = main(["list"])
print(code, plugin_manager.plugins)
"""

GOOD = {
    "good_a.py": REGISTER + "class DeltaConnection: pass\n"
    "pm.register_plugin(DeltaConnection, os='delta', platform='d1')\n",
}
# Registers, replaces a record of good_a and a built-in one, unregisters another, then fails.
FAILING = (
    REGISTER
    + "class Bad: pass\n"
    + "pm.register_plugin(Bad, os='bad', platform='b1', model='m1')\n"
    + "pm.register_plugin(Bad, os='delta', platform='d1')\n"
    + "pm.register_plugin(Bad, os='alpha')\n"
    + "pm.register_plugin(Bad, os='beta', chassis_type='stack')\n"
    + "pm.unregister_plugin(os='beta', chassis_type='dual_rp')\n"
)


@pytest.mark.parametrize(
    "ending, error",
    [
        ("raise RuntimeError('boom')", "RuntimeError: boom"),
        ("import sys; sys.exit(7)", "SystemExit: 7"),
        ("raise SystemExit", "SystemExit"),
        ("raise GeneratorExit('x')", "GeneratorExit: x"),
        ("class Stop(BaseException): pass\nraise Stop()", "Stop"),
    ],
)
def test_failed_plugin_leaves_the_registry_as_before_it(tmp_path, ending, error):
    first = make_dist(tmp_path / "a", "good-a", {"a": "good_a"}, GOOD)
    broken = make_dist(tmp_path / "b", "broken", {"b": "bad_b"}, {"bad_b.py": FAILING + ending})
    late = make_dist(
        tmp_path / "c", "good-c", {"c": "good_c"}, {"good_c.py": REGISTER.replace("pm", "_")}
    )
    with_failure = run(SHOW_REGISTRY, first, broken, late)
    assert with_failure.stderr == (
        "telvar: warning: plugin 'b' (bad_b) from broken 1.0 failed to load: "
        f"{error} (its 5 registry changes undone)\n"
    )
    assert with_failure.stdout == run(SHOW_REGISTRY, first, late).stdout
    assert with_failure.stdout.startswith("0 {")
    resolved = telvar("-q", "resolve", "--os", "bad", roots=[first, broken])
    assert resolved.returncode == 1
    assert resolved.stderr.startswith("telvar: no plugin for os 'bad'; registered: alpha, beta")


def test_keyboard_interrupt_while_loading_stops_telvar(tmp_path):
    broken = make_dist(tmp_path, "ctrlc", {"c": "ctrlc"}, {"ctrlc.py": "raise KeyboardInterrupt"})
    assert (telvar("list", roots=[broken]).returncode, telvar("list").returncode) == (130, 0)


REPLACING = {
    "one_mod.py": REGISTER
    + "class EpsConnection: pass\npm.register_plugin(EpsConnection, os='eps')\n",
    "two_mod.py": REGISTER
    + "class Eps2: pass\nclass OwnA: pass\nclass OwnB: pass\nclass Alpha2: pass\n"
    + "pm.register_plugin(Eps2, os='eps')\n"
    + "pm.register_plugin(Eps2, os='eps')\n"  # the same class again: no replacement
    + "pm.register_plugin(OwnA, os='zeta')\npm.register_plugin(OwnB, os='zeta')\n"
    + "pm.register_plugin(Alpha2, os='alpha', os_flavor='lts')\n",
}


@pytest.mark.parametrize("quiet", [False, True])
def test_replacing_another_distributions_record_is_warned_and_listed(tmp_path, quiet):
    one = make_dist(
        tmp_path / "1", "one", {"one": "one_mod"}, {"one_mod.py": REPLACING["one_mod.py"]}
    )
    two = make_dist(
        tmp_path / "2", "two", {"two": "two_mod"}, {"two_mod.py": REPLACING["two_mod.py"]}
    )
    proc = telvar(*["-q"] * quiet, "list", "--json", roots=[one, two])
    warnings = [
        "telvar: warning: two_mod.Eps2 from two 1.0 replaces one_mod.EpsConnection from one 1.0 at eps (single_rp)",
        "telvar: warning: two_mod.Alpha2 from two 1.0 replaces "
        "telvar.plugins.alpha.lts.AlphaLtsConnection from built-in at alpha/lts (single_rp)",
    ]
    assert (proc.returncode, proc.stderr) == (0, "" if quiet else "\n".join(warnings) + "\n")
    replaces = {row["class"]: row["replaces"] for row in json.loads(proc.stdout)}
    assert {name: names for name, names in replaces.items() if names} == {
        "two_mod.Eps2": ["one_mod.EpsConnection"],
        "two_mod.OwnB": ["two_mod.OwnA"],  # its own record: listed, not warned about
        "two_mod.Alpha2": ["telvar.plugins.alpha.lts.AlphaLtsConnection"],
    }
    table = telvar("-q", "list", "--os", "eps", roots=[one, two]).stdout.splitlines()
    assert re.fullmatch(
        r"eps +- +- +- +single_rp +two_mod\.Eps2 \* +two 1\.0 +/\S+/two_mod\.py", table[1]
    )
    assert table[2:] == ["* replaced another class's record (list --json names it)"]


@pytest.mark.parametrize("record, origin", [(True, "split 1.0"), (False, "unknown")])
def test_origin_is_the_distribution_that_owns_the_class_file(tmp_path, record, origin):
    modules = {
        "splitpkg/__init__.py": "",
        "splitpkg/conns.py": "class SplitConnection: pass\n",
        "splitpkg/plugin.py": REGISTER
        + "from splitpkg.conns import SplitConnection\npm.register_plugin(SplitConnection, os='split')\n",
    }
    root = make_dist(tmp_path, "split", {"s": "splitpkg.plugin"}, modules, record=record)
    proc = telvar("resolve", "--os", "split", "--json", roots=[root])
    assert (proc.returncode, proc.stderr) == (0, "")
    assert json.loads(proc.stdout)["origin"] == origin
