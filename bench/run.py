"""Runs the benchmark suites and assembles bench/REPORT.md.

Each suite is a module bench/suite_<name>.py with `run(h) -> str` (a markdown section; `h`
is the harness module). A suite's section is kept in bench/results/<name>.md, so running
one suite refreshes its section and leaves the others as they were.

    python bench/run.py                   # every suite
    python bench/run.py --suites flat     # only bench/suite_flat.py
    python bench/run.py --n 20000         # a smaller dataset for a quick look
    python bench/run.py --quick           # small sizes to check the scripts run; results,
                                          # figures and report go to bench/.cache/quick/

`make bench BENCH_ARGS="--quick --suites targets"` passes the same options through make.
"""

from __future__ import annotations

import argparse
import importlib
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import harness  # noqa: E402

PROFILES_PATH = HERE / "profiles.md"


def available_suites() -> list[str]:
    return sorted(p.stem.removeprefix("suite_") for p in HERE.glob("suite_*.py"))


def assemble_report() -> None:
    # The headline table of speed targets first, then the suites by name.
    paths = sorted(harness.RESULTS_DIR.glob("*.md"), key=lambda p: (p.stem != "targets", p.stem))
    sections = [p.read_text() for p in paths]
    # The hand-written profile notes on the targets not met follow the targets table.
    if paths and paths[0].stem == "targets" and PROFILES_PATH.exists():
        sections.insert(1, PROFILES_PATH.read_text())
    header = (
        "# Benchmark report\n\n"
        "Written by `make bench` (bench/run.py). Every suite runs our index and its peers on\n"
        "the same data in one process: a seeded mixture of Gaussian clusters (float32) with\n"
        "queries drawn from the same mixture, exact ground truth by brute force in float64,\n"
        "recall@10, queries/s single-threaded with one query per call (timed in the calling\n"
        "thread's CPU time, robust to other load on the machine), build time, and memory\n"
        "as the growth of the process's resident set while the index is built.\n"
    )
    harness.REPORT_PATH.write_text(header + "\n" + "\n\n".join(sections) + "\n")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--suites", default="", help="comma-separated suite names (default: all)")
    parser.add_argument("--n", type=int, default=harness.SETTINGS["n"], help="base vectors")
    parser.add_argument("--dim", type=int, default=harness.SETTINGS["dim"], help="dimensions")
    parser.add_argument("--queries", type=int, default=harness.SETTINGS["queries"], help="queries")
    parser.add_argument("--quick", action="store_true",
                        help="n=20000, 200 queries and smaller per-row sizes; writes under bench/.cache/quick")
    args = parser.parse_args()
    if args.quick:
        args.n, args.queries = min(args.n, 20_000), min(args.queries, 200)
        quick_dir = harness.CACHE_DIR / "quick"
        harness.RESULTS_DIR = harness.FIGURES_DIR = quick_dir / "results"
        harness.REPORT_PATH = quick_dir / "REPORT.md"
    harness.SETTINGS.update(n=args.n, dim=args.dim, queries=args.queries, quick=args.quick)
    names = [s for s in args.suites.split(",") if s] or available_suites()
    harness.RESULTS_DIR.mkdir(parents=True, exist_ok=True)
    for name in names:
        module = importlib.import_module(f"suite_{name}")
        started = time.perf_counter()
        print(f"== suite {name}", flush=True)
        section = module.run(harness)
        section += f"\n\n_{harness.machine_line()}; n={args.n}, dim={args.dim}, " \
                   f"queries={args.queries}; suite took {time.perf_counter() - started:.0f} s._\n"
        (harness.RESULTS_DIR / f"{name}.md").write_text(section)
        print(section, flush=True)
    assemble_report()
    return 0


if __name__ == "__main__":
    sys.exit(main())
