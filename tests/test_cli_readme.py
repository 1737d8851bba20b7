"""The README's plugin, built and installed as it says, serves the devices it says."""

import os
import re
import subprocess
import sys
from importlib import util
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"

pytestmark = [
    pytest.mark.skipif(not README.is_file(), reason="no README.md beside the tests"),
    pytest.mark.skipif(util.find_spec("setuptools") is None, reason="builds with setuptools"),
    pytest.mark.skipif(sys.platform == "win32", reason="POSIX paths"),
]


def block(text, language, first_line, keep_first=False):
    """The fenced block of ``language`` whose first line is ``first_line`` (a file name,
    say: left out unless ``keep_first``)."""
    for found in re.finditer(rf"^( *)```{language}\n(.*?)^\1```", text, re.MULTILINE | re.DOTALL):
        indent, body = found.groups()
        lines = [line.removeprefix(indent) for line in body.splitlines()]
        if lines and lines[0] == first_line:
            return "\n".join(lines[0 if keep_first else 1 :]) + "\n"
    raise AssertionError(f"README.md has no {language} block starting {first_line!r}")


@pytest.fixture(scope="module")
def readme():
    return README.read_text(encoding="utf-8")


def install_plugin(root, readme, connection):
    """The README's distribution, with ``connection`` as its module, installed by pip."""
    project = root / "telvar-delta"
    package = project / "src" / "telvar_delta"
    package.mkdir(parents=True)
    (project / "pyproject.toml").write_text(block(readme, "toml", "# pyproject.toml"))
    (package / "__init__.py").write_text("")
    (package / "connection.py").write_text(connection)
    site = root / "site"
    subprocess.run(
        [sys.executable, "-m", "pip", "install", "--quiet", "--no-deps", "--no-build-isolation"]
        + ["--disable-pip-version-check", "--target", str(site), str(project)],
        check=True,
        capture_output=True,
        timeout=300,
    )
    return site


def telvar(site, *args):
    env = {**os.environ, "PYTHONPATH": str(site)}
    command = [sys.executable, "-m", "telvar", *args]
    return subprocess.run(command, capture_output=True, text=True, env=env, timeout=120)


def test_the_readmes_plugin_serves_each_device_it_registers(tmp_path, readme):
    connection = block(readme, "python", "# src/telvar_delta/connection.py")
    # The README's way of adding an OS and a chassis type, appended to the same module.
    first = "from telvar.plugins import supported_chassis, supported_os"
    connection += block(readme, "python", first, keep_first=True)
    site = install_plugin(tmp_path, readme, connection)
    for options, cls in [
        ("--platform d1 --chassis-type dual_rp", "DeltaDualConnection"),
        ("--platform d1", "DeltaConnection"),
        ("--chassis-type quad_rp", "DeltaQuadConnection"),
    ]:
        proc = telvar(site, "resolve", "--os", "delta", *options.split())
        assert (proc.returncode, proc.stderr) == (0, ""), options
        assert proc.stdout.splitlines()[0] == f"telvar_delta.connection.{cls}"

    # Without its registration at delta/d1 itself, the lookup fails as the README says.
    line = 'plugin_manager.register_plugin(DeltaConnection, os="delta", platform="d1")\n'
    assert line in connection
    module = site / "telvar_delta" / "connection.py"
    module.write_text(module.read_text().replace(line, ""))
    proc = telvar(site, "resolve", "--os", "delta", "--platform", "d1")
    said = block(readme, "text", "telvar: Plugin data not found for (delta/d1), type: single_rp")
    assert (proc.returncode, proc.stdout) == (1, "")
    assert proc.stderr == "telvar: Plugin data not found for (delta/d1), type: single_rp\n" + said
