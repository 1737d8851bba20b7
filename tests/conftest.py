"""Fixtures shared by the plugin manager tests."""

import subprocess
import sys
import textwrap

import pytest


@pytest.fixture(scope="session")
def pm():
    """The extension module itself."""
    import telvar.core.pluginmanager as module

    return module


@pytest.fixture
def manager(pm):
    """A fresh manager with an empty registry."""
    return pm.PluginManager()


@pytest.fixture
def registry_stays_a_dict(manager):
    """For tests of hostile objects: the manager the test got still holds a dict as its
    registry afterwards, whatever the test did to it."""
    yield
    assert type(manager.__dict__.get("_plugins")) is dict


def _run_python(code, timeout=120):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.fixture
def run_python():
    """Run a snippet in a fresh interpreter of this venv; returns the CompletedProcess."""
    return _run_python


@pytest.fixture
def debug_calls(pm, monkeypatch):
    """The records passed to the module's logger, as (args, kwargs) pairs."""
    calls = []
    monkeypatch.setattr(
        pm, "log", type("FakeLog", (), {"debug": lambda self, *a, **k: calls.append((a, k))})()
    )
    return calls


@pytest.fixture
def recorded_debug(pm, monkeypatch):
    """The debug records of the module and of the reference go to the call recorder."""
    import recording
    import reference

    logger = type(
        "Log", (), {"debug": lambda self, text: recording.calls.append(("debug", text))}
    )()
    monkeypatch.setattr(pm, "log", logger)
    monkeypatch.setattr(reference, "log", logger)
