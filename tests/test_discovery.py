"""Discovery of built-in plugin modules and of entry-point plugins."""

import importlib
import json
import sys
import types

import pytest

from telvar.core.pluginmanager import PluginManager

PKG = "telvar.plugins"
P = PKG + "."
RECORDER = "_telvar_discovery_recorder"


# ------------------------------------------------------------ built-in walk


@pytest.fixture
def fake_plugins(tmp_path):
    """Stand a package module with its files in tmp_path in for ``telvar.plugins``.

    Every module written by ``add`` appends its ``__name__`` to ``events`` when
    it runs. The real ``telvar.plugins`` modules are put back afterwards.
    """
    root = tmp_path / "plugins"
    root.mkdir()
    recorder = types.ModuleType(RECORDER)
    recorder.events = []
    saved = {k: v for k, v in sys.modules.items() if k == PKG or k.startswith(P)}
    for key in saved:
        del sys.modules[key]
    sys.modules[RECORDER] = recorder

    def add(*relpaths, body=""):
        for relpath in relpaths:
            path = root / relpath
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(f"import {RECORDER}\n{RECORDER}.events.append(__name__)\n{body}")
        importlib.invalidate_caches()

    def install(module=None, name=PKG):
        if module is None:
            module = types.ModuleType(name)
            module.__path__ = [str(root)]
        sys.modules[PKG] = module
        return module

    yield types.SimpleNamespace(root=root, events=recorder.events, add=add, install=install)

    for key in [k for k in sys.modules if k == PKG or k.startswith(P)]:
        del sys.modules[key]
    sys.modules.update(saved)
    del sys.modules[RECORDER]


@pytest.fixture
def import_calls(pm, monkeypatch):
    """Record the names handed to importlib.import_module, then import them."""
    calls = []

    def import_module(name):
        calls.append(name)
        return importlib.import_module(name)

    monkeypatch.setattr(pm, "importlib", types.SimpleNamespace(import_module=import_module))
    return calls


NESTED_TREE = [
    "aa.py",
    "bb/__init__.py",
    "bb/mod.py",
    "bb/tests/__init__.py",
    "bb/tests/mod.py",
    "bb/unittests.py",
    "bb/tests_data.py",
    "cc.py",
    "tests/__init__.py",
    "tests/mod.py",
    "unittests.py",
    "x/__init__.py",
    "x/tests/__init__.py",
    "x/tests/mod.py",
]


@pytest.mark.parametrize("via_instance", [False, True])
def test_walk_imports_plugins_in_order_and_skips_tests(fake_plugins, import_calls, via_instance):
    fake_plugins.add(*NESTED_TREE)
    fake_plugins.install()
    target = PluginManager() if via_instance else PluginManager
    assert target.discover_builtin_plugins() is None
    assert import_calls == [
        P + "aa",
        P + "bb",
        P + "bb.mod",
        P + "bb.tests_data",
        P + "cc",
        P + "x",
    ]
    # Test packages still run their __init__ (the walk imports them to look
    # inside), but no module below them runs, nor any name ending in "tests".
    assert fake_plugins.events == [
        P + "aa",
        P + "bb",
        P + "bb.mod",
        P + "bb.tests",
        P + "bb.tests_data",
        P + "cc",
        P + "tests",
        P + "x",
        P + "x.tests",
    ]


def unpacking_error(item):
    try:
        _finder, _name, _ispkg = item
    except Exception as exc:
        return type(exc), str(exc)
    raise AssertionError("unpacked")


def failing_at(count):
    """An item whose iterator raises when asked for its count-th value."""
    yield from ["f", P + "a", False][: count - 1]
    raise LookupError(f"value {count}")


@pytest.mark.parametrize(
    "make_item",
    [
        lambda: 5,
        lambda: None,
        lambda: ("f", P + "a"),
        lambda: ("f", P + "a", False, 1),
        lambda: "ab",
        lambda: "abcd",
        lambda: iter(["f", P + "a", False, True]),
        lambda: [1],
        # 3.14 counts the values of exact lists, tuples and dicts only
        lambda: ["f", P + "a", False, 1, 2],
        lambda: dict.fromkeys("abcd"),
        lambda: type("Items", (list,), {})("abcd"),
        lambda: failing_at(2),
        lambda: failing_at(4),
    ],
)
def test_walk_item_unpacks_as_the_interpreter_does(pm, monkeypatch, import_calls, make_item):
    walk = types.SimpleNamespace(walk_packages=lambda path, prefix: [make_item()])
    monkeypatch.setattr(pm, "pkgutil", walk)
    with pytest.raises(Exception) as exc:
        PluginManager.discover_builtin_plugins()
    assert (exc.type, str(exc.value)) == unpacking_error(make_item())
    assert import_calls == []


@pytest.mark.parametrize("failing", [".plugins.", ".tests.", "tests"])
def test_an_error_of_a_name_test_stops_the_walk(pm, monkeypatch, import_calls, failing):
    def raise_at(method):
        def test(self, part):
            if part == failing:
                raise LookupError(part)
            return method(self, part)

        return test

    methods = {"__contains__": raise_at(str.__contains__), "endswith": raise_at(str.endswith)}
    name = type("Name", (str,), methods)(P + "a")
    items = [(0, name, 0), (0, P + "b", 0)]  # the walk stops at the first
    monkeypatch.setattr(pm, "pkgutil", types.SimpleNamespace(walk_packages=lambda *a: items))
    with pytest.raises(LookupError, match=f"^{failing}$"):
        PluginManager.discover_builtin_plugins()
    assert import_calls == []


def test_package_without_modules_imports_nothing(fake_plugins, import_calls):
    (fake_plugins.root / "notes.txt").write_text("not a module")
    fake_plugins.install()
    assert PluginManager.discover_builtin_plugins() is None
    assert import_calls == []


@pytest.mark.parametrize(
    "name, expected",
    [
        (PKG, [P + "mod_a", P + "mod_b", P + "tests_data"]),
        ("my.plugins.x", ["my.plugins.x.mod_a", "my.plugins.x.mod_b", "my.plugins.x.tests_data"]),
        ("my.extras", []),  # names without ".plugins." are never imported
    ],
)
def test_file_fallback_walks_the_directory_of_dunder_file(
    pm, monkeypatch, fake_plugins, name, expected
):
    calls = []
    monkeypatch.setattr(pm, "importlib", types.SimpleNamespace(import_module=calls.append))
    fake_plugins.add(
        "__init__.py", "mod_b.py", "mod_a.py", "tests.py", "tests_data.py", "zz_unittests.py"
    )
    module = types.ModuleType(name)  # no __path__
    module.__file__ = str(fake_plugins.root / "__init__.py")
    fake_plugins.install(module)
    PluginManager.discover_builtin_plugins()
    assert calls == expected


def test_without_path_or_file_the_second_import_error_escapes(fake_plugins, import_calls):
    fake_plugins.install(types.ModuleType(PKG))
    with pytest.raises(ImportError) as info:
        PluginManager.discover_builtin_plugins()
    assert "__file__" in str(info.value)
    first = info.value.__context__
    assert isinstance(first, ImportError) and "__path__" in str(first)
    assert import_calls == []


def test_non_import_error_from_path_lookup_is_not_handled(fake_plugins, import_calls):
    class Hostile(types.ModuleType):
        @property
        def __path__(self):
            raise RuntimeError("path lookup exploded")

    fake_plugins.add("mod_a.py")
    module = Hostile(PKG)
    module.__file__ = str(fake_plugins.root / "__init__.py")
    fake_plugins.install(module)
    with pytest.raises(RuntimeError, match="path lookup exploded"):
        PluginManager.discover_builtin_plugins()
    assert import_calls == []


@pytest.mark.parametrize(
    "body, error",
    [
        ("raise RuntimeError('plugin bb is broken')\n", RuntimeError),
        ("import telvar_no_such_module_for_tests\n", ModuleNotFoundError),
        ("def broken(:\n", SyntaxError),
    ],
)
def test_failing_plugin_stops_the_walk(fake_plugins, import_calls, body, error):
    fake_plugins.add("aa.py", "cc.py")
    fake_plugins.add("bb.py", body=body)
    fake_plugins.install()
    with pytest.raises(error):
        PluginManager.discover_builtin_plugins()
    assert import_calls == [P + "aa", P + "bb"]
    assert P + "aa" in sys.modules and P + "cc" not in sys.modules


# ------------------------------------------------------- entry-point plugins


class FakeEntryPoint:
    def __init__(self, events, name, module_name, error=None):
        self.events, self.name, self.module_name, self.error = events, name, module_name, error

    def load(self):
        self.events.append(("load", self.name))
        if self.error is not None:
            raise self.error


class Named:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


@pytest.fixture
def entry_points(pm, monkeypatch):
    """Fake iter_entry_points and log: both write to ``events``."""
    ns = types.SimpleNamespace(events=[], asked=[], points=[])

    def iter_entry_points(*args, **kwargs):
        ns.asked.append((args, kwargs))
        return iter(ns.points)

    def set_points(*specs):
        ns.points[:] = [FakeEntryPoint(ns.events, *spec) for spec in specs]

    monkeypatch.setattr(pm, "iter_entry_points", iter_entry_points)
    monkeypatch.setattr(
        pm, "log", types.SimpleNamespace(debug=lambda *a: ns.events.append(("debug",) + a))
    )
    ns.set_points = set_points
    return ns


def test_each_entry_point_is_logged_then_loaded(entry_points):
    entry_points.set_points(("alpha_conn", "alpha_pkg.conn"), ("beta_conn", "beta_pkg.conn"))
    assert PluginManager().discover_external_plugins() is None
    assert entry_points.asked == [((), {"group": "telvar.plugins"})]
    assert entry_points.events == [
        ("debug", "Loading external plugin alpha_conn from alpha_pkg.conn"),
        ("load", "alpha_conn"),
        ("debug", "Loading external plugin beta_conn from beta_pkg.conn"),
        ("load", "beta_conn"),
    ]


def test_no_entry_points_means_no_log_and_no_load(entry_points):
    assert PluginManager.discover_external_plugins() is None
    assert entry_points.events == [] and len(entry_points.asked) == 1


def test_failing_load_stops_after_its_log_line(entry_points):
    boom = ImportError("plugin module is broken")
    entry_points.set_points(("one", "m1"), ("two", "m2", boom), ("three", "m3"))
    with pytest.raises(ImportError) as info:
        PluginManager.discover_external_plugins()
    assert info.value is boom
    assert entry_points.events == [
        ("debug", "Loading external plugin one from m1"),
        ("load", "one"),
        ("debug", "Loading external plugin two from m2"),
        ("load", "two"),
    ]


@pytest.mark.parametrize(
    "name, module_name, text",
    [
        (42, "pkg.mod", "Loading external plugin 42 from pkg.mod"),
        (None, ("a", "b"), "Loading external plugin None from ('a', 'b')"),
        (Named("custom"), Named("x.y"), "Loading external plugin custom from x.y"),
        ("", "", "Loading external plugin  from "),
    ],
)
def test_name_and_module_name_go_through_str(entry_points, name, module_name, text):
    entry_points.set_points((name, module_name))
    PluginManager.discover_external_plugins()
    assert entry_points.events == [("debug", text), ("load", name)]


def test_rebinding_the_group_constant_changes_the_group_asked(pm, entry_points, monkeypatch):
    assert pm.ENTRYPOINT_GROUP == "telvar.plugins"
    monkeypatch.setattr(pm, "ENTRYPOINT_GROUP", "acme.connectors")
    PluginManager.discover_external_plugins()
    assert entry_points.asked == [((), {"group": "acme.connectors"})]


def test_installed_distribution_is_loaded(tmp_path, run_python):
    info = tmp_path / "telvar_probe_plugin-1.0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text(
        "Metadata-Version: 2.1\nName: telvar-probe-plugin\nVersion: 1.0\n"
    )
    (info / "entry_points.txt").write_text("[telvar.plugins]\nprobe = telvar_probe_plugin\n")
    (tmp_path / "telvar_probe_plugin.py").write_text(
        "from telvar.manager import plugin_manager\n"
        "class ProbeConnection:\n    pass\n"
        'plugin_manager.register_plugin(ProbeConnection, os="delta")\n'
    )
    proc = run_python(
        f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})  # before pkg_resources builds its working set
        import logging, telvar
        from telvar.core.pluginmanager import PluginManager
        from telvar.manager import plugin_manager

        handler = logging.Handler()
        handler.emit = lambda record: print(record.getMessage())
        telvar.log.addHandler(handler)
        telvar.log.setLevel(logging.DEBUG)
        assert "telvar_probe_plugin" not in sys.modules
        PluginManager.discover_external_plugins()
        cls = plugin_manager.get_plugin(os="delta")
        print(cls.__module__, cls.__name__)
        """
    )
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[-1] == "telvar_probe_plugin ProbeConnection"
    assert "Loading external plugin probe from telvar_probe_plugin" in lines


# ------------------------------------------- the stand-in for a missing pkg_resources

# Folders (put first on sys.path, in this order) of distributions: metadata folder -> the
# lines of its group "acme.conn". Module m_x.py in the first folder holds A.b = "m_x.A.b".
STAND_IN_CASES = {
    # Folders in sys.path order; in one folder, metadata folders by name (capitals first);
    # in one distribution, the file's order.
    "order": [
        {"zeta-1.0.dist-info": ["z2 = m_z", "z1 = m_z:A"], "Beta-1.0.dist-info": ["b = m_b"]},
        {"alpha-1.0.dist-info": ["a = m_a:A.b"], "gamma-1.0.egg-info": ["g = m_g"]},
    ],
    # One project in two folders, or twice in one: the first only. One name in two projects:
    # both.
    "duplicates": [
        {"one-2.0.dist-info": ["same = m_one2"], "One_Two-1.0.dist-info": ["same = m_ot"]},
        {"one-1.0.dist-info": ["older = m_old"], "one_two-3.0.dist-info": ["x = m_x"]},
    ],
    # load(): a module, an attribute path, a missing attribute, a missing module.
    "load": [
        {
            "p-1.0.dist-info": [
                "mod = m_p",
                "attr = m_p:A.b",
                "noattr = m_p:A.zz",
                "nomod = m_absent_module",
            ]
        }
    ],
}

COMPARE_STAND_IN = """
import json, sys
sys.path[:0] = {folders!r}
import warnings
warnings.simplefilter("ignore")
import pkg_resources
from telvar import _pkg_resources as stand_in

def listed(iter_entry_points, *args):
    found = []
    for point in iter_entry_points(*args):
        try:
            loaded = point.load()
            loaded = getattr(loaded, "__name__", loaded)
        except Exception as exc:
            loaded = f"{{type(exc).__name__}}: {{exc}}"
        found.append([point.name, point.module_name, str(loaded)])
    return found

names = [None] + sorted({{p.name for p in stand_in.iter_entry_points("acme.conn")}})
print(json.dumps([
    [listed(pkg_resources.iter_entry_points, "acme.conn", name),
     listed(stand_in.iter_entry_points, "acme.conn", name)] for name in names
]))
"""


@pytest.mark.parametrize("folders", STAND_IN_CASES.values(), ids=STAND_IN_CASES)
def test_stand_in_yields_the_entry_points_pkg_resources_yields(tmp_path, run_python, folders):
    paths = []
    for index, dists in enumerate(folders):
        folder = tmp_path / str(index)
        paths.append(str(folder))
        for info, lines in dists.items():
            (folder / info).mkdir(parents=True)
            name = info.split("-")[0].split(".")[0]
            (folder / info / ("METADATA" if "dist-info" in info else "PKG-INFO")).write_text(
                f"Metadata-Version: 2.1\nName: {name}\nVersion: 1.0\n"
            )
            (folder / info / "entry_points.txt").write_text(
                "[other]\nnot_this = m_other\n[acme.conn]\n" + "\n".join(lines) + "\n"
            )
            for line in lines:
                module = line.split("=")[1].split(":")[0].split("[")[0].strip()
                if module != "m_absent_module":
                    (folder / f"{module}.py").write_text(f"class A:\n    b = {module!r} + '.A.b'\n")
    proc = run_python(COMPARE_STAND_IN.format(folders=paths))
    assert proc.returncode == 0, proc.stderr
    results = json.loads(proc.stdout)
    everything = results[0][0]
    assert everything and all(real == stand_in for real, stand_in in results), results
    assert len(results) == 1 + len({name for name, _, _ in everything})


def test_stand_in_keeps_the_first_of_a_name_given_twice_in_one_distribution(tmp_path, monkeypatch):
    """pkg_resources refuses such a list (ValueError); the stand-in yields the first. Extras
    are left to the distribution's requirements, which it does not check."""
    from telvar import _pkg_resources as stand_in

    info = tmp_path / "twice-1.0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: twice\nVersion: 1.0\n")
    (info / "entry_points.txt").write_text(
        "[acme.conn]\nx = m_first\nx = m_second\ny = m_y:f [extra]\n"
    )
    monkeypatch.syspath_prepend(str(tmp_path))
    found = [(p.name, p.module_name, p.attrs) for p in stand_in.iter_entry_points("acme.conn")]
    assert found == [("x", "m_first", ()), ("y", "m_y", ("f",))]
