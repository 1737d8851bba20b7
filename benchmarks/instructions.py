"""Instructions per call, counted with callgrind (stable where wall time is not).

Each operation of ``bench.py`` runs in a fresh interpreter under ``valgrind --tool=callgrind``
twice, with a small and a large number of calls; the difference of the two totals divided by
the difference of the counts is the cost of one call, the loop around it included. Needs
valgrind on PATH. ``--native-only`` skips the plain-Python manager; names select operations
by a part of their label (``instructions.py hit repr``).
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

SETUP = """
import sys, warnings
warnings.filterwarnings("ignore")
sys.path.insert(0, {bench_dir!r})
import bench, gc
from itertools import repeat
[(_, call, _)] = bench.operations(bench.{cls}, quick=False, only={label!r})
statement, values = call.statement() if isinstance(call, bench.Call) else ("call()", {{}})
# The loop runs in a function, where the call's values are locals, as in a caller's loop; it
# counts as timeit's does.
exec(
    "def loop(n, " + ", ".join(values) + "):\\n    for _ in repeat(None, n):\\n        " + statement,
    globals(),
)
gc.disable()  # as timeit times them
"""

# Calls per run: the small and the large count.
COUNTS = {"10 000 records": (1, 4), "500 levels": (2, 8)}
DEFAULT_COUNTS = (2_000, 12_000)


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
            env={**os.environ, "PYTHONHASHSEED": "0"},
        )
        with open(out) as counts:
            for line in counts:
                match = re.match(r"(?:summary|totals): (\d+)", line)
                if match:
                    return int(match.group(1))
    raise RuntimeError("callgrind wrote no total")


def per_call(cls, label):
    bench_dir = os.path.dirname(os.path.abspath(__file__))
    setup = SETUP.format(bench_dir=bench_dir, cls=cls, label=label)
    small, large = next((c for part, c in COUNTS.items() if part in label), DEFAULT_COUNTS)
    loop = "loop({n}, **values)\n"
    low = total_instructions(setup + loop.format(n=small))
    high = total_instructions(setup + loop.format(n=large))
    return (high - low) / (large - small)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("names", nargs="*", help="parts of the labels to measure")
    parser.add_argument("--native-only", action="store_true")
    args = parser.parse_args()
    if shutil.which("valgrind") is None:
        sys.exit("instructions.py needs valgrind")
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import bench

    labels = [label for label, _, _ in bench.operations(bench.PluginManager, quick=True)]
    labels = [lb for lb in labels if not args.names or any(n in lb for n in args.names)]
    print(f"{'operation':44} {'native':>12} {'Python':>12} {'ratio':>6}")
    for label in labels:
        native = per_call("PluginManager", label)
        if args.native_only:
            print(f"{label:44} {native:12.0f}", flush=True)
            continue
        pure = per_call("PurePluginManager", label)
        print(f"{label:44} {native:12.0f} {pure:12.0f} {pure / native:5.1f}x", flush=True)


if __name__ == "__main__":
    main()
