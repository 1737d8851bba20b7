"""The ``telvar`` command on plugin distributions made for the test: failures, replacements, origins."""

import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

WAY_OUT = "--debug shows the traceback, --disable {} skips it"
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
        f"{error} (its 5 registry changes undone); {WAY_OUT.format('b')}\n"
    )
    assert with_failure.stdout == run(SHOW_REGISTRY, first, late).stdout
    assert with_failure.stdout.startswith("0 {")
    resolved = telvar("-qq", "resolve", "--os", "bad", roots=[first, broken])
    assert resolved.returncode == 1
    assert resolved.stderr.startswith("telvar: no plugin for os 'bad'; registered: alpha, beta")


def test_keyboard_interrupt_while_loading_stops_telvar(tmp_path):
    broken = make_dist(tmp_path, "ctrlc", {"c": "ctrlc"}, {"ctrlc.py": "raise KeyboardInterrupt"})
    interrupted = telvar("list", roots=[broken])
    assert (interrupted.returncode, telvar("list").returncode) == (130, 0)
    assert interrupted.stderr == "telvar: interrupted while loading plugin 'c'\n"


@pytest.mark.parametrize("as_json", [False, True])
def test_plugins_lists_every_entry_point_and_its_fate(tmp_path, as_json):
    first = make_dist(tmp_path / "a", "good-a", {"a": "good_a"}, GOOD)
    broken = make_dist(tmp_path / "b", "broken", {"b": "bad_b"}, {"bad_b.py": FAILING + "1/0"})
    off = make_dist(tmp_path / "c", "good_c", {"c": "good_c"}, {"good_c.py": ""})
    proc = telvar(
        "plugins", "--disable", "good-c", *["--json"] * as_json, roots=[first, broken, off]
    )
    assert proc.returncode == 0, proc.stderr
    if as_json:
        found = json.loads(proc.stdout)
        rows = [
            [p[key] for key in ("name", "distribution", "status", "records")]
            for p in found["plugins"]
        ]
        assert found["diagnostics"]["failures"][0]["plugin"] == "b"
        assert found["diagnostics"]["disabled"] == ["c"]
    else:
        rows = [line.split()[:5] for line in proc.stdout.splitlines()[1:]]
        rows = [[name, dist, status, int(records)] for name, dist, _, status, records in rows]
    assert sorted(row for row in rows if row[0] != "gamma") == [
        ["a", "good-a", "loaded", 1],
        ["b", "broken", "failed", 0],
        ["c", "good_c", "disabled", 0],
    ]


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
    replaces = {row["class"]: row["replaces"] for row in json.loads(proc.stdout)["records"]}
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


# Each failing plugin below registers through a route the loader did not hand it, then fails.
ROUTES = {
    "class": "type(pm).register_plugin(pm, Bad, os='bad')\n",
    "unbound": "from telvar.core.pluginmanager import PluginManager\n"
    "PluginManager.register_plugin(pm, Bad, os='bad')\n",
    "kept": "import keeper\nkeeper.register(Bad, os='bad')\n",
    "helper": "import keeper\nkeeper.file(Bad, os='bad')\n",
    "unregister": "type(pm).unregister_plugin(pm, os='alpha', chassis_type='single_rp')\n"
    "pm.register_plugin(Bad, os='bad')\n",
    "direct": "pm.plugins['bad'] = {'data': {'single_rp': {'cls': Bad, 'path': __file__}}}\n",
    "thread": "import threading\n"
    "t = threading.Thread(target=pm.register_plugin, args=(Bad,), kwargs={'os': 'bad'})\n"
    "t.start()\nt.join()\n",
    # An element the journal cannot hash: the manager's own error reaches the plugin.
    "hostile": "class Weird(str):\n    def __hash__(self): raise LookupError('no hash')\n"
    "try:\n    pm.register_plugin(Bad, os=Weird('w'))\nexcept LookupError:\n    pass\n"
    "pm.register_plugin(Bad, os='bad')\n",
}
# An earlier plugin keeps the method it found, and a helper that registers for its caller.
KEEPER = {
    "keeper.py": REGISTER + "register = pm.register_plugin\n"
    "def file(cls, **levels):\n    pm.register_plugin(cls, **levels)\n"
}


def test_every_route_of_a_failed_plugins_change_is_undone(tmp_path):
    keeper = make_dist(tmp_path / "k", "keeper", {"k": "keeper"}, KEEPER)
    modules = {
        f"zbad_{route}.py": REGISTER
        + "class Bad: pass\n"
        + source.replace("'bad'", f"'bad_{route}'")
        + "raise RuntimeError('late')\n"
        for route, source in ROUTES.items()
    }
    bad = make_dist(tmp_path / "z", "zbad", {route: f"zbad_{route}" for route in ROUTES}, modules)
    proc = run(SHOW_REGISTRY, keeper, bad)
    assert proc.stderr.splitlines() == [
        f"telvar: warning: plugin {route!r} (zbad_{route}) from zbad 1.0 failed to load: "
        "RuntimeError: late (its "
        + ("2 registry changes" if route == "unregister" else "1 registry change")
        + f" undone); {WAY_OUT.format(route)}"
        for route in ROUTES
    ]
    assert proc.stdout == run(SHOW_REGISTRY, keeper).stdout


# b registers when a imports it; a fails afterwards, or b's own import fails inside a's.
IMPORTER = REGISTER + "import b_mod\nclass A: pass\npm.register_plugin(A, os='aos')\n"
B_MOD = REGISTER + "class B: pass\npm.register_plugin(B, os='bos')\n"


@pytest.mark.parametrize(
    "a_ending, b_ending, kept, warnings",
    [
        # b's module finished importing: it keeps its record, and its own entry point finds
        # it in sys.modules.
        ("raise RuntimeError('a')", "", {"bos"}, [("a", "RuntimeError: a")]),
        # b's import failed inside a's load: its record goes with a's, and b's entry point
        # fails on its own.
        (
            "",
            "raise RuntimeError('b')",
            set(),
            [("a", "RuntimeError: b"), ("b", "RuntimeError: b")],
        ),
        # a caught b's failure and loaded: b's partial record is still taken back.
        ("", "raise ImportError('b')", {"aos"}, [("b", "ImportError: b")]),
    ],
)
def test_changes_belong_to_the_module_that_made_them(tmp_path, a_ending, b_ending, kept, warnings):
    importer = IMPORTER
    if "ImportError" in b_ending:
        importer = importer.replace(
            "import b_mod\n", "try:\n    import b_mod\nexcept ImportError:\n    pass\n"
        )
    a = make_dist(tmp_path / "a", "adist", {"a": "a_mod"}, {"a_mod.py": importer + a_ending})
    b = make_dist(tmp_path / "b", "bdist", {"b": "b_mod"}, {"b_mod.py": B_MOD + b_ending})
    proc = telvar("list", "--json", roots=[a, b])
    assert proc.stderr.splitlines() == [
        f"telvar: warning: plugin {name!r} ({name}_mod) from {name}dist 1.0 failed to load: "
        f"{error} (its 1 registry change undone); {WAY_OUT.format(name)}"
        for name, error in warnings
    ]
    origins = {row["os"]: row["origin"] for row in json.loads(proc.stdout)["records"]}
    assert {name: origins[name] for name in origins.keys() & {"aos", "bos"}} == {
        name: f"{name[0]}dist 1.0" for name in kept
    }


NOISE = {
    "print": "print('noise from print')\n",
    "real stdout": "import sys\nprint('noise from sys.__stdout__', file=sys.__stdout__)\n",
    "descriptor": "import os\nos.write(1, b'noise from fd 1\\n')\n",
    "closed": "import sys\nsys.stdout.close()\nprint('noise after closing sys.stdout')\n",
    "bytes": "import sys\nsys.stdout.buffer.write(b'noise in bytes\\n')\n",
    "subprocess": "import subprocess, sys\n"
    "subprocess.run([sys.executable, '-c', 'print(\"noise from a child\")'])\n",
}


@pytest.mark.parametrize("stderr", ["open", "closed"])
def test_standard_output_carries_the_commands_output_alone(tmp_path, stderr):
    # Each noisy module writes its own way, and registers; then one plugin fails.
    modules = {
        f"noisy_{index}.py": REGISTER
        + source
        + f"class N: pass\npm.register_plugin(N, os='n{index}')\n"
        for index, source in enumerate(NOISE.values())
    }
    modules["failing_mod.py"] = "raise RuntimeError('boom')\n"
    entry_points = {module[:-3]: module[:-3] for module in modules}
    noisy = make_dist(tmp_path, "noisy", entry_points, modules)
    program = f"{sys.executable} -m telvar list --json" + " 2>&-" * (stderr == "closed")
    env = {**os.environ, "PYTHONPATH": str(noisy)}
    proc = subprocess.run(
        ["sh", "-c", program], capture_output=True, text=True, env=env, timeout=120
    )
    assert proc.returncode == 0
    rows = [
        row["class"] for row in json.loads(proc.stdout)["records"] if row["origin"] == "noisy 1.0"
    ]
    assert rows == ["noisy_%d.N" % index for index in range(len(NOISE))]
    noises = re.findall(r"noise[^\n]*", proc.stderr)
    assert len(noises) == (len(NOISE) if stderr == "open" else 0), proc.stderr
    assert ("boom" in proc.stderr) is (stderr == "open")


LATIN_1 = "Name: latin\nVersion: 1.0\nSummary: caf\xe9\n"


@pytest.mark.parametrize("broken_file", ["METADATA", "RECORD", "entry_points.txt"])
def test_undecodable_distribution_files_are_read_as_far_as_they_can_be(tmp_path, broken_file):
    modules = {
        "latin_mod.py": REGISTER + "class L: pass\npm.register_plugin(L, os='lat')\n",
        "latin_bad.py": "raise RuntimeError('bad')\n",
    }
    root = make_dist(tmp_path, "latin", {"l": "latin_mod", "x": "latin_bad"}, modules)
    info = root / "latin-1.0.dist-info"
    extra = {"METADATA": LATIN_1, "RECORD": "caf\xe9.py,,\n", "entry_points.txt": "# caf\xe9\n"}
    path = info / broken_file
    path.write_bytes(path.read_bytes() + extra[broken_file].encode("latin-1"))
    proc = telvar("list", "--os", "lat", roots=[root])
    assert proc.returncode == 0, proc.stderr
    # The file list is read when the first origin is needed, after the plugins have loaded.
    assert sorted(proc.stderr.splitlines()) == [
        f"telvar: warning: latin 1.0: {broken_file} is not UTF-8; read with the undecodable "
        "bytes replaced",
        "telvar: warning: plugin 'x' (latin_bad) from latin 1.0 failed to load: RuntimeError: bad; "
        + WAY_OUT.format("x"),
    ]
    assert re.search(r"\bL +latin 1\.0 ", proc.stdout)


@pytest.mark.parametrize("first, last", [("one", "two"), ("two", "one")])
def test_conflicts_name_every_provider_and_the_one_loaded_last(tmp_path, first, last):
    roots = {
        name: make_dist(tmp_path / name, name, {name: f"{name}_mod"}, {f"{name}_mod.py": source})
        for name, source in REPLACING.items()
        for name in [name.removesuffix("_mod.py")]
    }
    order = [roots[first], roots[last]]
    proc = telvar("-q", "list", "--conflicts", roots=order)
    classes = {"one": "one_mod.EpsConnection", "two": "two_mod.Eps2"}
    width = max(map(len, classes.values()))
    assert (proc.returncode, proc.stderr) == (0, "")
    assert proc.stdout.splitlines() == [
        "alpha/lts (single_rp):",
        "  built-in  telvar.plugins.alpha.lts.AlphaLtsConnection",
        "  two 1.0   two_mod.Alpha2                               wins",
        "eps (single_rp):",
        f"  {first} 1.0  {classes[first]:<{width}}".rstrip(),
        f"  {last} 1.0  {classes[last]:<{width}}  wins",
        "The plugin loaded last wins: telvar's own plugins load first, then the entry points "
        "in the order of sys.path and, within one folder, of the distributions' names; "
        "--prefer DIST (or TELVAR_PREFER=DIST,...) makes DIST's record win.",
    ]
    found = json.loads(
        telvar("-q", "list", "--conflicts", "--json", "--os", "eps", roots=order).stdout
    )["conflicts"]
    assert [(conflict["os"], conflict["chassis_type"]) for conflict in found] == [
        ("eps", "single_rp")
    ]
    assert found[0]["providers"] == [
        {"class": classes[name], "origin": f"{name} 1.0"} for name in (first, last)
    ]
    assert found[0]["winner"] == {"class": classes[last], "origin": f"{last} 1.0"}


@pytest.mark.parametrize(
    "args, variable, warning",
    [
        (["--disable", "two"], "", ""),
        (["list", "--disable", "x,two"], "", "telvar: warning: no plugin named 'x' to disable\n"),
        ([], " two , ", ""),
        (["--disable", "one", "list", "--disable", "two"], "", ""),
    ],
)
def test_disabled_plugins_are_not_loaded(tmp_path, args, variable, warning):
    roots = [
        make_dist(
            tmp_path / name,
            name,
            {name: f"{name}_mod"},
            {f"{name}_mod.py": REPLACING[f"{name}_mod.py"]},
        )
        for name in ("one", "two")
    ]

    def command(*extra):
        argv = [*args, *(["list"] * ("list" not in args)), *extra]
        code = f"import os, sys\nos.environ['TELVAR_DISABLE_PLUGINS'] = {variable!r}\n"
        return run(code + f"from telvar.cli import main\nsys.exit(main({argv!r}))", *roots)

    # one and two provide the same record: no conflict, so one of them was left out.
    proc = command("--conflicts")
    assert (proc.returncode, proc.stderr) == (0, warning)
    assert proc.stdout == "No record is provided by more than one distribution.\n"


CARELESS = "class C: pass\n"


@pytest.mark.parametrize(
    "body, value, tree, zeta, named",
    [
        # The registry rebound by a plugin that then fails, or by one that loads.
        ("pm.register_plugin(C, os='zeta')\npm.__init__()\nraise RuntimeError('x')", "", 0, 1, 1),
        ("pm._plugins = {}\npm.register_plugin(C, os='zeta')", "", 0, 0, 1),
        # The module registers, then the entry point's attribute is missing.
        ("pm.register_plugin(C, os='zeta')", ":nothing", 0, 1, 1),
        # A forked child, ending or going on, never runs the command.
        ("import os\nos.fork()\npm.register_plugin(C, os='zeta')", "", 0, 0, 0),
        (
            "import os, sys\nif not os.fork(): sys.exit(3)\npm.register_plugin(C, os='zeta')",
            "",
            0,
            0,
            0,
        ),
        # The streams a plugin finds, changes or closes.
        (
            "import sys\nsys.stdout.reconfigure(encoding='utf-8')\n"
            "print(sys.stdout.name, sys.stdout.mode, sys.stdout.write_through)\n"
            "pm.register_plugin(C, os='zeta')",
            "",
            0,
            0,
            0,
        ),
        (
            "import sys\nsys.stderr = type('W', (), {'write': len})()\npm.register_plugin(C, os='zeta')",
            "",
            0,
            0,
            0,
        ),
        ("import os\nos.closerange(3, 4096)\nopen(__file__ + '.out', 'w')", "", 5, 5, 0),
        # A malformed entry point, a path element that is not text.
        ("", ":[x", 0, 1, 1),
        ("pm.register_plugin(C, os=5)", "", 0, 1, 0),
    ],
)
def test_a_careless_plugins_fault_stays_its_own(tmp_path, body, value, tree, zeta, named):
    if "fork" in body and not hasattr(os, "fork"):
        pytest.skip("os.fork exists on POSIX only")
    source = REGISTER + CARELESS + body + "\n"
    root = make_dist(
        tmp_path, "careless", {"careless": "careless" + value}, {"careless.py": source}
    )
    shown = telvar("--disable", "nosuch", roots=[root])
    assert shown.returncode == tree, shown.stderr
    # Once, with the built-in records, and the command's own warnings on its stderr.
    assert shown.stdout.count("plugins (") == (tree == 0) and ("alpha" in shown.stdout) is (
        tree == 0
    )
    assert ("warning: no plugin named 'nosuch' to disable" in shown.stderr) is (tree == 0)
    assert ("plugin 'careless'" in shown.stderr) is bool(named or tree)
    assert telvar("resolve", "--os", "zeta", roots=[root]).returncode == zeta
    assert (
        not (tmp_path / "careless.py.out").exists()
        or not (tmp_path / "careless.py.out").read_text()
    )
    if tree == 5:  # a pipe cannot be opened again; a file can, and gets the whole output
        with open(tmp_path / "stdout.txt", "w") as out:
            env = {**os.environ, "PYTHONPATH": str(root)}
            command = [sys.executable, "-m", "telvar"]
            assert subprocess.run(command, stdout=out, env=env, timeout=120).returncode == 0
        assert (tmp_path / "stdout.txt").read_text().startswith("plugins (")


def test_undoing_a_failed_load_keeps_the_bookkeeping_of_the_others(tmp_path):
    first = make_dist(tmp_path / "a", "good-a", {"a": "good_a"}, GOOD)
    broken = make_dist(tmp_path / "b", "broken", {"b": "bad_b"}, {"bad_b.py": FAILING + "1/0"})
    code = (
        "from telvar import inventory\nfrom telvar.manager import plugin_manager\n"
        "loaded = inventory.Inventory(plugin_manager)\nloaded.load_builtin()\n"
        "loaded.load_external()\n"
        "print(sorted((s[0], s[1], r.maker.label, r.replaces) for s, r in loaded.registrations.items()"
        " if s[0][0] in ('bad', 'delta', 'alpha', 'beta') and len(s[0]) < 2))\n"
        "print([(f.name, f.undone) for f in loaded.failures], loaded.replacements)\n"
        "print(sorted(map(str, plugin_manager.plugins['beta']['data'])))\n"
    )
    recorded, failures, beta = run(code, first, broken).stdout.splitlines()
    assert recorded == str(
        [
            (("alpha",), "single_rp", "built-in", []),
            (("beta",), "dual_rp", "built-in", []),
            (("beta",), "single_rp", "built-in", []),
        ]
    )
    assert failures == "[('b', 5)] []"
    assert beta == "['dual_rp', 'single_rp']"


@pytest.mark.parametrize(
    "module, origin",
    [
        ("telvar.plugins", "built-in"),
        ("telvar.plugins.x", "built-in"),
        ("telvar.plugins_extra", "unknown"),
    ],
)
def test_only_telvars_own_plugins_are_built_in(module, origin):
    from telvar import inventory
    from telvar.manager import plugin_manager

    assert (
        inventory.Inventory(plugin_manager).origin(type("C", (), {"__module__": module})) == origin
    )


@pytest.mark.parametrize("extra, tail", [(0, ""), (1, ", and 1 more")])
def test_names_past_the_limit_are_counted(extra, tail):
    from telvar import cli

    names = [f"os{index:02}" for index in range(cli.NAMES_LIMIT + extra)]
    assert cli.named_list(names) == ", ".join(names[: cli.NAMES_LIMIT]) + tail


@pytest.mark.parametrize(
    "options, environ, g1",
    [
        ([], "", "two_mod.Two"),
        (["--prefer", "gamma-one"], "", "one_mod.One"),
        (["--prefer", "gamma_two", "--prefer", "gamma-one"], "", "two_mod.Two"),
        ([], "Gamma.One", "one_mod.One"),
    ],
)
def test_prefer_settles_each_record_and_keeps_the_others(
    tmp_path, monkeypatch, options, environ, g1
):
    monkeypatch.setenv("TELVAR_PREFER", environ)
    one = make_dist(
        tmp_path,
        "gamma_one",
        {"one": "one_mod"},
        {
            "one_mod.py": REGISTER
            + "class One: pass\npm.register_plugin(One, os='gamma', platform='g1')\n"
        },
    )
    two = (
        REGISTER
        + "class Two: pass\nclass Two2: pass\npm.register_plugin(Two, os='gamma', platform='g1')\npm.register_plugin(Two2, os='gamma', platform='g2')\n"
    )
    make_dist(tmp_path, "gamma_two", {"two": "two_mod"}, {"two_mod.py": two})
    proc = telvar("list", "--conflicts", *options, roots=[one])
    winner = [line.split()[2:] for line in proc.stdout.splitlines() if line.endswith(("wins", ")"))]
    assert winner == [[g1, "wins"] + ["(--prefer)"] * bool(options or environ)]
    assert ("replaces" in proc.stderr) is (g1 == "two_mod.Two" and not options)
    assert telvar(
        "resolve", "--os", "gamma", "--platform", "g2", *options, roots=[one]
    ).stdout.startswith("two_mod.Two2\n")


QUAD = (
    REGISTER
    + "import telvar.plugins\ntelvar.plugins.supported_chassis.append('quad_rp')\nclass Q: pass\n"
    + "pm.register_plugin(Q, os='alpha', platform='qq', chassis_type='quad_rp')\n"
)
CORE_IMPORTED = (
    "import sys\nfrom telvar.cli import main\nmain({argv!r})\n"
    "print('telvar.core.pluginmanager' in sys.modules, 'pkg_resources' in sys.modules)"
)


@pytest.mark.parametrize(
    "argv, offered, loads",
    [
        (["resolve", "--help"], "{single_rp,dual_rp,stack,quad_rp}", True),
        (["completion", "bash"], '--platform) COMPREPLY=($(compgen -W "core edge lts qq"', True),
        (["--help"], "{single_rp,dual_rp,stack}", False),
        (["-V"], "telvar ", False),
    ],
)
def test_help_and_completion_offer_the_installed_plugins_choices(tmp_path, argv, offered, loads):
    root = make_dist(tmp_path, "quadplug", {"quadplug": "quadplug"}, {"quadplug.py": QUAD})
    proc = run(CORE_IMPORTED.format(argv=argv), root)
    assert offered in proc.stdout, proc.stderr
    assert proc.stdout.endswith(f"{loads} {loads}\n")


@pytest.mark.parametrize(
    "body, name, code, verdict",
    [
        ("class K: pass\npm.register_plugin(K, os='kappa')", "kit", 0, "registers kappa"),
        ("class K: pass\nprint('hello')\npm.register_plugin(K, os='alpha')", "kit", 1, "hello"),
        ("raise RuntimeError('no')", "kit", 3, "RuntimeError: no"),
        ("", "kti", 2, "did you mean 'kit'?"),
    ],
)
def test_check_loads_one_distribution_alone(tmp_path, body, name, code, verdict):
    root = make_dist(tmp_path, "kit", {"kit": "kit_mod"}, {"kit_mod.py": REGISTER + body + "\n"})
    other = make_dist(tmp_path / "o", "other", {"o": "o_mod"}, {"o_mod.py": "raise SystemExit(9)"})
    text = telvar("check", name, roots=[root, other])
    found = telvar("check", name, "--json", roots=[root, other])
    assert (text.returncode, found.returncode) == (code, code)
    assert verdict in text.stdout + text.stderr and "other" not in text.stdout
    assert code == 2 or json.loads(found.stdout)["ok"] is (code == 0)


def test_the_pytest_plugin_isolates_each_test(tmp_path):
    root = make_dist(
        tmp_path,
        "kit",
        {"kit": "kit_mod"},
        {"kit_mod.py": REGISTER + "class K: pass\npm.register_plugin(K, os='kappa')\n"},
    )
    (tmp_path / "test_kit.py").write_text(
        "def test_loads(telvar_manager):\n"
        "    telvar_manager.load('kit_mod')\n"
        "    assert telvar_manager.get_plugin(os='kappa').__name__ == 'K'\n"
        "    assert telvar_manager.get_plugin(os='alpha').__name__ == 'AlphaConnection'\n"
        "def test_isolated(telvar_manager):\n"
        "    assert 'kappa' not in telvar_manager.plugins and 'gamma' not in telvar_manager.plugins\n"
    )
    command = [
        "-m",
        "pytest",
        "-q",
        "-p",
        "telvar.testing",
        "-p",
        "no:cacheprovider",
        "-p",
        "no:xdist",
    ]
    proc = subprocess.run(
        [sys.executable, *command, str(tmp_path / "test_kit.py")],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=120,
        env={**os.environ, "PYTHONPATH": str(root)},
    )
    assert proc.returncode == 0, proc.stdout
