#!/usr/bin/env python3
"""Applies deliberate faults to the source, one at a time, and lists the tests that catch each.

For every fault: the snippet is replaced in its file, the tree is rebuilt incrementally, every
C++ test binary and the Python suite run, the failing test cases are recorded, and the file
is put back (also on an error or Ctrl-C; the run stops if `git diff` is not clean after it).
An unfaulted baseline runs first and must pass.

    . /path/to/buildenv  # optional: a compiler cache makes the rebuilds cheap
    python3 tools/fault_table.py --python .venv/bin/python --out faults.md --json faults.json
    python3 tools/fault_table.py --list
    python3 tools/fault_table.py --only int8-scale-bound --only fp16-round-toward-zero
    python3 tools/fault_table.py --compare before.json after.json --out table.md

A fault names its file by base name: the file is looked up anywhere under core/ and python/,
so moving files between folders does not change the list.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import dataclasses
import json
import os
import re
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
SEARCHED_FOLDERS = ("core", "python")
GTEST_TIMEOUT_SECONDS = 900
PYTEST_TIMEOUT_SECONDS = 2400
# Long-running suites kept short: a fault is caught by what they check, not by their length.
TEST_ENV = {"TVDB_CRASH_SECONDS": "10", "TVDB_STRESS_SECONDS": "4"}


@dataclasses.dataclass(frozen=True)
class Fault:
    name: str
    file: str  # base name, unique under core/ and python/, or "core:name" (see locate)
    find: str  # occurs exactly once in the file
    replace: str
    what: str


FAULTS = [
    # Loaders: one bound off by one per file kind.
    Fault("flat-load-skips-last-slot", "core:flat_index.cpp",
          "for (size_t slot = 0; slot < slots; ++slot) {",
          "for (size_t slot = 0; slot + 1 < slots; ++slot) {",
          "flat loader: the last slot is never mapped"),
    Fault("int8-load-rejects-127", "quantized_flat_index.cpp",
          "std::find(codes.begin(), codes.end(), int8_t{-128})",
          "std::find(codes.begin(), codes.end(), int8_t{-127})",
          "int8 loader: the code range check is one short (-127 refused)"),
    Fault("fp16-load-drops-last-block", "fp16_flat_index.cpp",
          "for (size_t first = 0; first < dims; first += 4) {\n"
          "        size_t n = std::min<size_t>(4, dims - first);\n"
          "        std::memcpy(",
          "for (size_t first = 0; first + 4 < dims; first += 4) {\n"
          "        size_t n = std::min<size_t>(4, dims - first);\n"
          "        std::memcpy(",
          "fp16 loader: the last run of four components is not copied"),
    Fault("binary-load-tail-mask-short", "binary_flat_index.cpp",
          "~uint64_t{0} << (dims % 64);",
          "~uint64_t{0} << (dims % 64 - 1);",
          "binary loader: the bit of the last dimension counts as past the end"),
    Fault("mmap-count-one-past-capacity", "core:mmap_flat_index.cpp",
          "if (count > capacity) {",
          "if (count > capacity + 1) {",
          "mmap loader: a count one record past the file is accepted"),
    Fault("hnsw-layer-list-m-plus-one", "hnsw_format.cpp",
          "if (layer > 0 && count > graph.m()) {",
          "if (layer > 0 && count > graph.m() + 1) {",
          "hnsw graph loader: an upper-layer list of m + 1 entries is accepted"),
    Fault("hnsw-load-skips-last-lists", "hnsw_format.cpp",
          "for (uint32_t slot = 0; slot < nodes->size(); ++slot) {",
          "for (uint32_t slot = 0; slot + 1 < nodes->size(); ++slot) {",
          "hnsw index loader: the last node's neighbour lists are not read"),
    Fault("ivf-map-list-bound", "inverted_file.cpp",
          "if (list >= list_ids.size()) {",
          "if (list > list_ids.size()) {",
          "ivf loader: id_to_list may name the list one past the last"),
    Fault("ivfpq-code-bound", "ivf_pq_index.cpp",
          "return c >= pq.k_sub; })",
          "return c > pq.k_sub; })",
          "ivf-pq loader: a code byte equal to k_sub is accepted"),
    Fault("sparse-load-skips-last", "sparse_index.cpp",
          "for (uint64_t i = 0; i < vector_count && in.ok(); ++i) {",
          "for (uint64_t i = 0; i + 1 < vector_count && in.ok(); ++i) {",
          "sparse loader: the last sparse vector is dropped"),
    Fault("log-drops-frame-ending-at-eof", "wal.cpp",
          "if (length > kMaxRecordLength || frame_end > file_size) break;",
          "if (length > kMaxRecordLength || frame_end >= file_size) break;",
          "log reader: a frame that ends exactly at the end of the file is treated as torn"),
    Fault("meta-accepts-extra-field", "collection_meta.cpp",
          "value.size() > field_count)",
          "value.size() > field_count + 1)",
          "meta.json loader: a sequence with one field too many is accepted"),
    Fault("json-nesting-one-deeper", "payload.cpp",
          "if (++depth > limit) return false;",
          "if (++depth > limit + 1) return false;",
          "meta.json / snapshot.json / payload: nesting one level past the limit is accepted"),
    Fault("mmap-count-read-32-bits", "core:mmap_flat_index.cpp",
          "load_le<uint64_t>(file.data() + tvec::kCountOffset)",
          "load_le<uint32_t>(file.data() + tvec::kCountOffset)",
          "a count read as 32 bits"),
    # The log.
    Fault("log-flush-skipped", "collection.cpp",
          "if (auto flushed = (*wal)->flush(); !flushed) return flushed;\n"
          "    (*wal)->add_to_count(1);\n\n"
          "    // Writing an unchanged",
          "(*wal)->add_to_count(1);\n\n"
          "    // Writing an unchanged",
          "an acknowledged upsert is left in the log buffer"),
    Fault("torn-tail-kept", "collection_open.cpp",
          "if (replayed->trailing_bytes > 0) {",
          "if (replayed->trailing_bytes > 0 && false) {",
          "a torn tail is not truncated at open"),
    Fault("replay-delete-wrong-id", "collection_open.cpp",
          "VectorId id = std::get<WalDelete>(entry).id;",
          "VectorId id = std::get<WalDelete>(entry).id + 1;",
          "replay applies a Delete to the next ID"),
    # Filters.
    Fault("filter-lte-as-lt", "filter.cpp",
          "case FieldOpKind::Lte: return *order <= 0;",
          "case FieldOpKind::Lte: return *order < 0;",
          "$lte matches like $lt"),
    Fault("payload-index-lte-as-lt", "payload_index.cpp",
          "append_ids(kind_begin, values.upper_bound(bound), ids, limit);",
          "append_ids(kind_begin, values.lower_bound(bound), ids, limit);",
          "the payload index answers $lte like $lt"),
    Fault("filter-ne-matches-missing", "filter.cpp",
          "return value != nullptr && apply_operator(*value, filter.predicate.op);",
          "return value != nullptr ? apply_operator(*value, filter.predicate.op)\n"
          "                             : filter.predicate.op.kind == FieldOpKind::Ne;",
          "$ne matches a payload without the field"),
    Fault("filter-in-empty-matches-all", "filter.cpp",
          "            return false;\n        default: break;",
          "            return op.operand.empty();\n        default: break;",
          "$in on an empty list matches everything"),
    # Deletion.
    Fault("flat-search-skips-tombstone-check", "core:flat_index.cpp",
          "while (run_end < end && alive_[run_end]) ++run_end;",
          "while (run_end < end) ++run_end;",
          "flat search scores deleted slots after a live one"),
    Fault("mmap-search-skips-tombstone-check", "core:mmap_flat_index.cpp",
          "while (run_end < end && record_live_[run_end]) ++run_end;",
          "while (run_end < end) ++run_end;",
          "mmap search scores dead records after a live one"),
    Fault("mmap-iteration-yields-deleted", "core:mmap_flat_index.cpp",
          "if (record_live_[i]) visit(record_id(i), std::span(record_vector(i), dims));",
          "visit(record_id(i), std::span(record_vector(i), dims));",
          "iteration returns deleted IDs"),
    Fault("flat-iter-ids-yields-deleted", "core:flat_index.cpp",
          "if (alive_[slot]) visit(ids_[slot]);",
          "visit(ids_[slot]);",
          "ID iteration returns deleted IDs"),
    Fault("ivf-delete-keeps-map-entry", "inverted_file.hpp",
          "        id_to_list_.erase(id);\n        if (!entry) return false;",
          "        if (!entry) return false;",
          "an IVF map entry is not updated on delete"),
    # Kernels and encodings.
    Fault("avx2-lane-sum-order", "distance.cpp",
          "__attribute__((target(\"avx2\"))) inline float combine_lanes_avx2(__m128 sums) {\n"
          "    alignas(16) float s[4];\n"
          "    _mm_store_ps(s, sums);\n"
          "    return (s[0] + s[1]) + (s[2] + s[3]);",
          "__attribute__((target(\"avx2\"))) inline float combine_lanes_avx2(__m128 sums) {\n"
          "    alignas(16) float s[4];\n"
          "    _mm_store_ps(s, sums);\n"
          "    return ((s[0] + s[1]) + s[2]) + s[3];",
          "one kernel sums its lanes in another order"),
    Fault("int8-norm-not-recomputed-on-load", "quantized_flat_index.cpp",
          "    code_norms_[slot] = code_norm(codes);\n",
          "",
          "a loaded int8 entry keeps no code norm (cosine)"),
    Fault("int8-scale-bound", "quantized_flat_index.cpp",
          "float scale = largest > 0.0f ? 127.0f / largest : 1.0f;",
          "float scale = largest > 0.0f ? 128.0f / largest : 1.0f;",
          "the int8 scale maps the largest component to 128"),
    Fault("fp16-round-toward-zero", "fp16_flat_index.cpp",
          "if (rest > halfway || (rest == halfway && (kept & 1))) ++kept;",
          "if (rest > halfway && false) ++kept;",
          "fp16 conversion truncates instead of rounding to nearest even"),
    Fault("pq-subvector-offset", "pq.cpp",
          "auto sub = vector.subspan(s * subvector_len_, subvector_len_);",
          "auto sub = vector.subspan(s, subvector_len_);",
          "PQ encodes sub-vector s from offset s instead of s * len"),
    # Snapshots and compaction.
    Fault("snapshot-writes-wrong-log", "snapshot.cpp",
          "collection.write_live_log((directory / wal_format::kLogFileName).string());",
          "collection.write_live_log((live / wal_format::kLogFileName).string());",
          "a snapshot writes its log over the collection's own"),
    Fault("restore-keeps-sparse-bin", "restore_staging.cpp",
          ": remove_file(live / name);",
          ": std::string_view(name) == kSparseFileName ? Result<void>{} : remove_file(live / name);",
          "a restore of a snapshot without sparse.bin keeps the live one"),
    Fault("compaction-drops-payloads", "collection.cpp",
          "rewriter->add(id, vector, payload_view, sparse_view);",
          "rewriter->add(id, vector, std::nullopt, sparse_view);",
          "compaction writes Adds without their payloads"),
    # HNSW.
    Fault("hnsw-delete-keeps-back-links", "hnsw_graph.cpp",
          "std::vector<uint32_t> holders = listed_by(removed, layer);",
          "std::vector<uint32_t> holders;",
          "a deleted node stays in the lists that link to it"),
    Fault("hnsw-overflow-truncated-not-pruned", "hnsw_graph.cpp",
          "if (head[0] > capacity_of(layer)) prune(target, layer, metric, keep_reachable);",
          "if (head[0] > capacity_of(layer)) --head[0];",
          "a full list drops the new back-link instead of pruning"),
    # Python binding.
    Fault("borrow-kept-on-error", "borrow.hpp",
          "~Exclusive() { flag_.state_.store(0); }",
          "~Exclusive() {\n            if (std::uncaught_exceptions() == 0) flag_.state_.store(0);\n        }",
          "an exclusive borrow is not released when the call raises"),
    Fault("gil-held-during-search", "index_class.hpp",
          "            nb::gil_scoped_release release;\n            hits = search(*self.core, values);",
          "            hits = search(*self.core, values);",
          "search keeps the interpreter lock"),
    # Names.
    Fault("snapshot-name-allows-dotdot", "snapshot.cpp",
          ' && name.find("..") == std::string_view::npos &&',
          " &&",
          'a snapshot name check missing ".."'),
    Fault("collection-name-allows-dotdot", "manager.cpp",
          ' && name.find("..") == std::string_view::npos &&',
          " &&",
          'a collection name check missing ".."'),
]


class FaultError(RuntimeError):
    pass


def locate(tree: Path, file: str) -> Path:
    """`file` is a base name, or "folder:base name" where the name also occurs elsewhere."""
    folder, _, base_name = file.rpartition(":")
    folders = [folder] if folder else SEARCHED_FOLDERS
    found = [p for f in folders for p in (tree / f).rglob(base_name) if p.is_file()]
    if len(found) != 1:
        raise FaultError(f"{file}: {len(found)} files of that name under {', '.join(folders)}")
    return found[0]


def check_fault(tree: Path, fault: Fault) -> Path:
    path = locate(tree, fault.file)
    occurrences = path.read_text().count(fault.find)
    if occurrences != 1:
        raise FaultError(f"{fault.name}: snippet occurs {occurrences} times in {path}")
    return path


def git_clean(tree: Path, path: Path) -> bool:
    return subprocess.run(["git", "-C", str(tree), "diff", "--quiet", "--", str(path)]).returncode == 0


class AppliedFault:
    """The fault written into its file for the `with` block; the original comes back after."""

    def __init__(self, tree: Path, fault: Fault):
        self.tree = tree
        self.fault = fault
        self.path = check_fault(tree, fault)
        self.original = self.path.read_bytes()

    def __enter__(self):
        text = self.original.decode()
        self.path.write_text(text.replace(self.fault.find, self.fault.replace, 1))
        return self

    def __exit__(self, *exc):
        self.path.write_bytes(self.original)
        # The build must see the restored file as changed even within the same second.
        os.utime(self.path)
        if not git_clean(self.tree, self.path):
            raise FaultError(f"{self.path} differs from git after restoring it")
        return False


def stop_on_sigterm():
    def handler(signum, frame):
        raise KeyboardInterrupt(f"signal {signum}")
    signal.signal(signal.SIGTERM, handler)


@dataclasses.dataclass
class Tools:
    python: Path
    build: Path
    tree: Path

    def tool(self, name: str) -> str:
        candidate = self.python.parent / name
        return str(candidate) if candidate.exists() else name

    def configure(self):
        if (self.build / "build.ninja").exists():
            return
        subprocess.run([self.tool("cmake"), "-S", str(self.tree), "-B", str(self.build), "-G", "Ninja",
                        f"-DCMAKE_MAKE_PROGRAM={self.tool('ninja')}",
                        f"-DPython_EXECUTABLE={self.python}"], check=True)

    def build_all(self) -> tuple[bool, str]:
        done = subprocess.run([self.tool("cmake"), "--build", str(self.build)],
                              capture_output=True, text=True)
        return done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]


def gtest_commands(tools: Tools) -> list[tuple[str, list[str]]]:
    shown = subprocess.run([tools.tool("ctest"), "--test-dir", str(tools.build),
                            "--show-only=json-v1"], capture_output=True, text=True, check=True)
    return [(t["name"], t["command"]) for t in json.loads(shown.stdout)["tests"]]


def run_gtest(name: str, command: list[str], scratch: Path) -> set[str]:
    report = scratch / f"{name}.json"
    report.unlink(missing_ok=True)
    try:
        done = subprocess.run(command + [f"--gtest_output=json:{report}"], capture_output=True,
                              text=True, timeout=GTEST_TIMEOUT_SECONDS, cwd=scratch,
                              env={**os.environ, **TEST_ENV})
    except subprocess.TimeoutExpired as timeout:
        return {f"{name}:{last_started_gtest(timeout.stdout)} (timeout)"}
    if report.exists():
        failed = set()
        for suite in json.loads(report.read_text()).get("testsuites", []):
            for case in suite.get("testsuite", []):
                if case.get("failures"):
                    failed.add(f"{name}:{suite['name']}.{case['name']}")
        if failed or done.returncode == 0:
            return failed
    # No report (crashed) or a failure outside any test case.
    return {f"{name}:{last_started_gtest(done.stdout)} (exit {done.returncode})"}


def last_started_gtest(output) -> str:
    if isinstance(output, bytes):
        output = output.decode(errors="replace")
    started = re.findall(r"^\[ RUN      \] (\S+)", output or "", re.M)
    return started[-1] if started else "<start>"


def run_pytest(tools: Tools, scratch: Path) -> set[str]:
    report = scratch / "pytest.xml"
    report.unlink(missing_ok=True)
    tests = tools.tree / "tests"
    command = [str(tools.python), "-m", "pytest", "-p", "no:cacheprovider", "-v",
               "--hypothesis-seed=0", f"--junitxml={report}", "--ignore",
               str(tests / "test_cluster.py"), str(tests)]
    env = {**os.environ, **TEST_ENV, "PYTHONPATH": str(tools.build / "python")}
    try:
        done = subprocess.run(command, capture_output=True, text=True, cwd=tools.tree, env=env,
                              timeout=PYTEST_TIMEOUT_SECONDS)
    except subprocess.TimeoutExpired as timeout:
        return {f"{last_started_pytest(timeout.stdout)} (timeout)"}
    if report.exists():
        failed = set()
        for case in ElementTree.parse(report).getroot().iter("testcase"):
            if case.find("failure") is not None or case.find("error") is not None:
                failed.add(pytest_name(case.get("classname", ""), case.get("name", "")))
        if failed or done.returncode == 0:
            return failed
    return {f"{last_started_pytest(done.stdout)} (exit {done.returncode})"}


def pytest_name(classname: str, name: str) -> str:
    parts = classname.split(".")
    module = next((i for i, p in enumerate(parts) if p.startswith("test_")), len(parts) - 1)
    file = parts[module] + ".py"
    inner = parts[module + 1:]
    return "::".join([file, *inner, name])


def last_started_pytest(output) -> str:
    if isinstance(output, bytes):
        output = output.decode(errors="replace")
    started = re.findall(r"^(\S+\.py::\S+)", output or "", re.M)
    return started[-1].split("/")[-1] if started else "<pytest start>"


def run_suites(tools: Tools, scratch: Path) -> set[str]:
    commands = gtest_commands(tools)
    failed: set[str] = set()
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        jobs = [pool.submit(run_gtest, name, command, scratch) for name, command in commands]
        for job in jobs:
            failed |= job.result()
    return failed | run_pytest(tools, scratch)


def shorten(names: list[str], per_group: int = 4) -> str:
    groups: dict[str, list[str]] = {}
    for name in sorted(names):
        group, _, case = name.partition(":" if "::" not in name else "::")
        case = re.sub(r"\[.*\]", "[…]", case)
        if case not in groups.setdefault(group, []):
            groups[group].append(case)
    parts = []
    for group, cases in groups.items():
        shown = ", ".join(cases[:per_group])
        more = f" +{len(cases) - per_group}" if len(cases) > per_group else ""
        parts.append(f"{group}: {shown}{more}")
    return "; ".join(parts).replace("|", "\\|") if parts else "**nothing**"


def table(results: dict, header: str) -> str:
    lines = [header, "", "| fault | file | caught by | count |", "|---|---|---|---|"]
    for fault in FAULTS:
        if fault.name not in results["faults"]:
            continue
        caught = results["faults"][fault.name]
        lines.append(f"| {fault.name} | {fault.file} | {shorten(caught)} | {len(caught)} |")
    return "\n".join(lines) + "\n"


def compare_table(before: dict, after: dict, header: str) -> str:
    lines = [header, "",
             "| fault | file | caught before | # | caught after | # |",
             "|---|---|---|---|---|---|"]
    lost = []
    for fault in FAULTS:
        b = before["faults"].get(fault.name)
        a = after["faults"].get(fault.name)
        if b is None and a is None:
            continue
        if b and a is not None and not a:
            lost.append(fault.name)
        cells = [shorten(b) if b is not None else "-", str(len(b)) if b is not None else "-",
                 shorten(a) if a is not None else "-", str(len(a)) if a is not None else "-"]
        lines.append(f"| {fault.name} | {fault.file} | " + " | ".join(cells) + " |")
    lines.append("")
    lines.append("Lost: " + (", ".join(lost) if lost else "none") + ".")
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tree", type=Path, default=REPO, help="source tree to mutate")
    parser.add_argument("--python", type=Path, default=None,
                        help="interpreter with the test requirements (default: TREE/.venv)")
    parser.add_argument("--build", type=Path, default=None, help="build dir (default: TREE/build-faults)")
    parser.add_argument("--only", action="append", default=[], help="run only this fault (repeatable)")
    parser.add_argument("--list", action="store_true", help="list the faults and check their snippets")
    parser.add_argument("--out", type=Path, help="write the markdown table here")
    parser.add_argument("--json", type=Path, help="write the full results here")
    parser.add_argument("--compare", nargs=2, type=Path, metavar=("BEFORE", "AFTER"),
                        help="merge two --json results into one table")
    parser.add_argument("--title", default="Fault table")
    args = parser.parse_args()
    tree = args.tree.resolve()

    if args.compare:
        before, after = (json.loads(p.read_text()) for p in args.compare)
        text = compare_table(before, after, f"## {args.title}")
        (args.out.write_text(text) if args.out else sys.stdout.write(text))
        return 0

    faults = [f for f in FAULTS if not args.only or f.name in args.only]
    unknown = set(args.only) - {f.name for f in FAULTS}
    if unknown:
        print(f"unknown faults: {', '.join(sorted(unknown))}", file=sys.stderr)
        return 2
    if len({f.name for f in FAULTS}) != len(FAULTS):
        print("fault names repeat", file=sys.stderr)
        return 2
    problems = 0
    for fault in faults:
        try:
            path = check_fault(tree, fault)
            if args.list:
                print(f"{fault.name:40} {path.relative_to(tree)}  {fault.what}")
        except FaultError as error:
            problems += 1
            print(f"BROKEN {error}", file=sys.stderr)
    if args.list or problems:
        return 1 if problems else 0

    python = (args.python or tree / ".venv" / "bin" / "python").absolute()
    tools = Tools(python=python, build=(args.build or tree / "build-faults").resolve(), tree=tree)
    scratch = tools.build / "fault-runs"
    scratch.mkdir(parents=True, exist_ok=True)
    stop_on_sigterm()
    tools.configure()

    results = {"tree": str(tree), "commit": subprocess.run(
        ["git", "-C", str(tree), "rev-parse", "--short", "HEAD"], capture_output=True,
        text=True).stdout.strip(), "faults": {}, "seconds": {}}
    started = time.monotonic()
    built, log = tools.build_all()
    if not built:
        print(log, file=sys.stderr)
        return 1
    t0 = time.monotonic()
    baseline = run_suites(tools, scratch)
    results["seconds"]["baseline"] = round(time.monotonic() - t0)
    print(f"baseline: {len(baseline)} failing ({results['seconds']['baseline']} s)", flush=True)
    if baseline:
        print("the unfaulted tree must pass first:\n  " + "\n  ".join(sorted(baseline)), file=sys.stderr)
        return 1

    broken = []
    for fault in faults:
        t0 = time.monotonic()
        with AppliedFault(tree, fault):
            built, log = tools.build_all()
            caught = run_suites(tools, scratch) if built else None
        if caught is None:
            # A fault must be a realistic edit that compiles: this one needs fixing.
            print(f"{fault.name} does not compile:\n{log}", file=sys.stderr, flush=True)
            broken.append(fault.name)
            continue
        results["faults"][fault.name] = sorted(caught)
        results["seconds"][fault.name] = round(time.monotonic() - t0)
        print(f"{fault.name}: {len(caught)} ({results['seconds'][fault.name]} s) {shorten(sorted(caught))}",
              flush=True)
        if args.json:
            args.json.write_text(json.dumps(results, indent=1))
    tools.build_all()  # leave the build matching the restored tree
    results["seconds"]["total"] = round(time.monotonic() - started)

    if args.json:
        args.json.write_text(json.dumps(results, indent=1))
    text = table(results, f"## {args.title} ({results['commit']}, {results['seconds']['total']} s)")
    (args.out.write_text(text) if args.out else sys.stdout.write(text))
    if broken:
        print(f"faults that do not compile: {', '.join(broken)}", file=sys.stderr)
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
