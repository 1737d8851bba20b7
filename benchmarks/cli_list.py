"""Wall time of ``telvar list`` against ``telvar tree`` with many plugin distributions.

Generates COUNT distributions (dist-info with entry_points.txt and RECORD, and a
module that registers RECORDS classes each) in a temporary folder, puts it on
PYTHONPATH and times both commands in turn, REPEAT times; prints the medians
and the median of the pairwise ratios (pairs keep the ratio meaningful on a
busy machine). ``--prefix DIR`` puts DIR first on PYTHONPATH, for timing
another copy of telvar side by side. ``--cpu`` times the processor time the
command takes (user and system) instead of the wall time, which a busy
machine's other work does not inflate.

    python benchmarks/cli_list.py [--count 800] [--records 10] [--repeat 5] [--cpu]
"""

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def generate(root: Path, count: int, records: int) -> None:
    for i in range(count):
        name = f"benchplugin{i}"
        info = root / f"{name}-1.0.dist-info"
        info.mkdir()
        (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {name}\nVersion: 1.0\n")
        (info / "entry_points.txt").write_text(f"[telvar.plugins]\n{name} = {name}\n")
        (info / "RECORD").write_text(f"{name}.py,,\n{name}-1.0.dist-info/METADATA,,\n")
        lines = ["from telvar.manager import plugin_manager"]
        for j in range(records):
            lines.append(f"class Conn{j}: pass")
            lines.append(f"plugin_manager.register_plugin(Conn{j}, os='os{i}', platform='p{j}')")
        (root / f"{name}.py").write_text("\n".join(lines) + "\n")


def processor_time() -> float:
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    return used.ru_utime + used.ru_stime


def timed(command: list[str], env: dict[str, str], cpu: bool = False) -> float:
    clock = processor_time if cpu else time.perf_counter
    start = clock()
    subprocess.run(command, env=env, check=True, stdout=subprocess.DEVNULL)
    return clock() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--count", type=int, default=800)
    parser.add_argument("--records", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--prefix", help="a folder put first on PYTHONPATH")
    parser.add_argument("--cpu", action="store_true", help="processor time, not wall time")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        generate(Path(folder), args.count, args.records)
        path = [args.prefix] if args.prefix else []
        env = {**os.environ, "PYTHONPATH": os.pathsep.join([*path, folder])}
        commands = {name: [sys.executable, "-m", "telvar", name] for name in ("tree", "list")}
        timed(commands["tree"], env)  # warm the file system caches and the bytecode
        times: dict[str, list[float]] = {name: [] for name in commands}
        for _ in range(args.repeat):
            for name, command in commands.items():
                times[name].append(timed(command, env, args.cpu))
    medians = {name: statistics.median(values) for name, values in times.items()}
    for name, median in medians.items():
        kind = "processor time" if args.cpu else "median"
        print(f"telvar {name}: {kind} {median:.3f} s (median of {args.repeat} runs)")
    ratios = [a / b for a, b in zip(times["list"], times["tree"], strict=True)]
    print(f"list / tree: median {statistics.median(ratios):.2f} of the pairwise ratios")


if __name__ == "__main__":
    main()
