"""Instructions per call, counted with callgrind (stable where wall time is not).

Each operation runs in a fresh interpreter under ``valgrind --tool=callgrind``
twice, with a small and a large number of calls; the difference of the two
totals divided by the difference of the counts is the cost of one call, the
loop around it included. Needs valgrind on PATH.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap

SETUP = """
import sys, warnings
warnings.filterwarnings("ignore")
sys.path.insert(0, {bench_dir!r})
import bench
manager = bench.{cls}()
manager.register_plugin(bench.Conn, os="alpha", platform="plat1", model="m1", os_flavor="flav")
"""

OPERATIONS = {
    "get_plugin, four-level hit": 'manager.get_plugin("alpha", "plat1", "m1", "flav")',
    "get_plugin, not found": 'try:\n    manager.get_plugin("beta")\nexcept Exception:\n    pass',
    "validate_arguments": 'manager.validate_arguments("alpha", "plat1", "m1", "single_rp")',
}


def total_instructions(code):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                f"--callgrind-out-file={out}",
                sys.executable,
                "-c",
                code,
            ],
            check=True,
            capture_output=True,
        )
        with open(out) as counts:
            for line in counts:
                match = re.match(r"(?:summary|totals): (\d+)", line)
                if match:
                    return int(match.group(1))
    raise RuntimeError("callgrind wrote no total")


def per_call(cls, statement, small=10_000, large=60_000):
    setup = SETUP.format(bench_dir=os.path.dirname(os.path.abspath(__file__)), cls=cls)
    loop = "for _ in range({n}):\n" + textwrap.indent(statement, "    ") + "\n"
    low = total_instructions(setup + loop.format(n=small))
    high = total_instructions(setup + loop.format(n=large))
    return (high - low) / (large - small)


def main():
    if shutil.which("valgrind") is None:
        sys.exit("instructions.py needs valgrind")
    print(f"{'operation':32} {'native':>9} {'Python':>9} {'ratio':>6}")
    for label, statement in OPERATIONS.items():
        native = per_call("PluginManager", statement)
        pure = per_call("PurePluginManager", statement)
        print(f"{label:32} {native:9.0f} {pure:9.0f} {pure / native:5.1f}x")


if __name__ == "__main__":
    main()
