"""Command line: choose files, mutate, build, run, report, check the goal."""

import argparse
import json
import os
import re
import signal
import subprocess
import sys
import time
import zlib
from concurrent.futures import ThreadPoolExecutor

from . import build, run
from .mutants import find_mutants

# Folders held to the higher goal; every other folder must reach the floor.
GOAL_FOLDERS = {"src/core", "src/protocol", "src/ack", "src/selection", "src/maintenance", "src/export",
                "src/app", "server"}
GOAL, FLOOR = 85.0, 75.0
MUTATED_ROOTS = ("src/", "server/")


def folder_of(rel):
    parts = rel.split("/")
    return "/".join(parts[:2]) if parts[0] == "src" and len(parts) > 2 else parts[0]


def git(repo, *args):
    return subprocess.run(["git", "-C", repo] + list(args), capture_output=True, text=True)


def default_base(repo):
    for ref in ("origin/main",):
        if git(repo, "rev-parse", "--verify", "-q", ref).returncode == 0:
            return ref
    tag = git(repo, "describe", "--tags", "--abbrev=0")
    if tag.returncode == 0 and tag.stdout.strip():
        return tag.stdout.strip()
    mb = git(repo, "merge-base", "HEAD", "main")
    if mb.returncode == 0 and mb.stdout.strip():
        return mb.stdout.strip()
    return None


def changed_files(repo, base):
    """C++ sources under src/ and server/ changed since base (a changed header brings its .cpp)."""
    out = git(repo, "diff", "--name-only", base)
    if out.returncode != 0:
        raise SystemExit(f"mutate: cannot compare with {base}: {out.stderr.strip()}")
    files = set()
    for rel in out.stdout.split():
        if not rel.startswith(MUTATED_ROOTS):
            continue
        stem, ext = os.path.splitext(rel)
        if ext == ".h" and os.path.exists(os.path.join(repo, stem + ".cpp")):
            rel = stem + ".cpp"
        if rel.endswith(".cpp") and os.path.exists(os.path.join(repo, rel)):
            files.add(rel)
    return sorted(files)


def all_files(repo):
    files = []
    for root in MUTATED_ROOTS:
        for dirpath, _, names in os.walk(os.path.join(repo, root)):
            for name in names:
                if name.endswith(".cpp"):
                    files.append(os.path.relpath(os.path.join(dirpath, name), repo))
    return sorted(files)


def load_equivalents(path):
    """Mutants judged equivalent: `file:line: original -> mutated  # why` per line.

    Returns {(file, original, mutated): {line, ...}}."""
    entries = {}
    if not os.path.exists(path):
        return entries
    with open(path) as f:
        for line in f:
            line = line.split("  # ", 1)[0].strip()
            if not line or line.startswith("#"):
                continue
            location, _, change = line.partition(": ")
            rel, _, number = location.rpartition(":")
            # A removed call's mutated text is empty: the arrow ends the stripped line.
            original, _, mutated = change.partition("  ->")
            lines = entries.setdefault((rel, original.strip(), mutated.strip()), set())
            if number.isdigit():
                lines.add(int(number))
    return entries


def is_equivalent(equivalents, rel, mutant, twins):
    """A change found once in its file matches by its text alone, so the entry outlives
    edits elsewhere in the file; a change found several times (a constant `0 -> 1`)
    matches only on the entry's line, so judging one never hides the others."""
    lines = equivalents.get((rel, mutant.original, mutant.mutated))
    if lines is None:
        return False
    return twins.get((mutant.original, mutant.mutated), 1) <= 1 or mutant.line in lines


def sample(mutants, rel, every, limit):
    """A stable sample: every n-th by a hash of the mutation, then at most limit spread evenly."""
    if every > 1:
        mutants = [m for m in mutants
                   if zlib.crc32(f"{rel}|{m.original}|{m.mutated}|{m.line}".encode()) % every == 0]
    if limit and len(mutants) > limit:
        step = len(mutants) / limit
        mutants = [mutants[int(k * step)] for k in range(limit)]
    return mutants


def score(results):
    counted = [r for r in results if r["status"] in (run.KILLED, run.TIMEOUT, run.SURVIVED, run.UNCOVERED)]
    killed = sum(1 for r in counted if r["status"] in (run.KILLED, run.TIMEOUT))
    return killed, len(counted)


ID_STRIDE = 100000  # file k's mutant i is QEL_MUTANT=k*ID_STRIDE+i


def prepare_file(args, repo, rel, index, db, graph, log):
    """Finds, samples and compiles one file's mutants into its object."""
    path = os.path.join(repo, rel)
    with open(path) as f:
        src = f.read()
    mutants = find_mutants(src)
    twins = {}
    for m in mutants:
        twins[(m.original, m.mutated)] = twins.get((m.original, m.mutated), 0) + 1
    result = {"file": rel, "found": len(mutants), "mutants": [], "dropped": 0, "base": index * ID_STRIDE}
    mutants = sample(mutants, rel, args.sample, args.max_mutants)
    result["sampled"] = len(mutants)
    result["twins"] = twins
    if not mutants:
        return result, []
    entry = db.entry(path)
    if entry is None:
        log(f"  {rel}: not compiled in this build; skipped")
        result["skipped"] = "not in the build"
        return result, []
    work_dir = os.path.join(args.build_dir, "mutate", "work", rel.replace("/", "__"))
    obj = db.object_path(entry)
    result["object"] = obj
    stamp = os.stat(obj).st_mtime_ns if os.path.exists(obj) else None
    kept, dropped = build.compile_schemata(db, path, src, mutants, work_dir, base=result["base"], log=log)
    result["dropped"] = len(dropped)
    if kept and stamp is not None:
        # Ninja would take a newer object for a stale one and compile the real
        # source again: keep its time and remove what is built from it instead.
        os.utime(obj, ns=(stamp, stamp))
        for out in graph.direct_outputs(obj):
            if os.path.exists(out):
                os.remove(out)
    if not kept:
        result["skipped"] = "no mutant compiled"
    return result, kept


NEAR_PROGRAMS = {"ack": {"agent_test"}, "selection": {"agent_test"}, "export": {"agent_test"},
                 "server": {"server_test", "central_store_test", "monitoring_test"}}


def near_programs(rel):
    """The test programs written for a source folder: tests/<folder>/ builds <folder>_test."""
    folder = folder_of(rel).split("/")[-1]
    return NEAR_PROGRAMS.get(folder, {f"{folder}_test"})


def judge(result, kept, statuses, equivalents):
    twins = result.pop("twins", {})
    for m in kept:
        status, killer = statuses[result["base"] + m.id]
        if is_equivalent(equivalents, result["file"], m, twins):
            status = "equivalent"
        result["mutants"].append({"id": result["base"] + m.id, "line": m.line, "operator": m.operator,
                                  "original": m.original, "mutated": m.mutated, "status": status,
                                  "killed_by": killer})


def print_file(result, log):
    killed, counted = score(result["mutants"])
    pct = 100.0 * killed / counted if counted else 100.0
    extra = f", {result['dropped']} did not compile" if result.get("dropped") else ""
    extra += f" ({result['sampled']} of {result['found']} sampled)" if result["sampled"] != result["found"] else ""
    log(f"{result['file']}: {killed}/{counted} killed, {pct:.1f}%{extra}")
    for r in result["mutants"]:
        if r["status"] in (run.SURVIVED, run.UNCOVERED):
            tag = "survived" if r["status"] == run.SURVIVED else "not covered"
            log(f"  {result['file']}:{r['line']}: {tag} [{r['operator']}] {r['original']}  ->  {r['mutated']}")


def folder_scores(results):
    folders = {}
    for res in results:
        k, c = score(res["mutants"])
        f = folders.setdefault(folder_of(res["file"]), [0, 0])
        f[0] += k
        f[1] += c
    return folders


def report(results, log):
    """Per-folder scores; returns the folders below their goal."""
    failing = []
    log("\nfolder                 killed / mutants   score   goal")
    for folder, (k, c) in sorted(folder_scores(results).items()):
        pct = 100.0 * k / c if c else 100.0
        goal = GOAL if folder in GOAL_FOLDERS else FLOOR
        mark = "" if pct >= goal else "  BELOW GOAL"
        if pct < goal:
            failing.append(folder)
        log(f"{folder:22} {k:6} / {c:<7}  {pct:6.1f}%  {goal:.0f}%{mark}")
    return failing


def _interrupt(*_):
    raise KeyboardInterrupt


def main(argv=None):
    here = os.path.dirname(os.path.abspath(__file__))
    repo = os.path.abspath(os.path.join(here, "..", "..", ".."))
    p = argparse.ArgumentParser(prog="qelexp.sh mutate", description=__doc__)
    p.add_argument("files", nargs="*", help="C++ files to mutate (default: --changed)")
    p.add_argument("--changed", nargs="?", const="", default=None, metavar="BASE",
                   help="files changed since BASE (default origin/main, else the last tag, else main)")
    p.add_argument("--all", action="store_true", help="every .cpp under src/ and server/")
    p.add_argument("--build-dir", default=os.path.join(repo, "build-mutate"))
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("--sample", type=int, default=1, metavar="N", help="keep about one mutant in N")
    p.add_argument("--max-mutants", type=int, default=0, metavar="N", help="at most N mutants per file")
    p.add_argument("--max-cases", type=int, default=25, metavar="N",
                   help="a mutant that outlives N of the cases reaching it survives (0: run them all)")
    p.add_argument("--tests", metavar="REGEX",
                   help="only the test programs whose name matches (e.g. core_test): a folder's own tests")
    p.add_argument("--time-budget", type=float, default=0, metavar="S",
                   help="start no mutant after S seconds (the rest are reported as not run)")
    p.add_argument("--list", action="store_true", help="only list the mutants")
    p.add_argument("--no-configure", action="store_true", help="use the build directory as it is")
    p.add_argument("--report", action="store_true", help="print the saved results of earlier runs")
    p.add_argument("--no-goal", action="store_true", help="report the score, do not fail below the goal")
    p.add_argument("--equivalents", default=os.path.join(here, "..", "equivalent.txt"))
    args = p.parse_args(argv)
    args.build_dir = os.path.abspath(args.build_dir)
    results_dir = os.path.join(args.build_dir, "mutate", "results")
    log = lambda text: print(text, flush=True)  # noqa: E731

    if args.report:
        results = []
        for name in sorted(os.listdir(results_dir)) if os.path.isdir(results_dir) else []:
            with open(os.path.join(results_dir, name)) as f:
                results.append(json.load(f))
        for res in results:
            print_file(res, log)
        return 1 if report(results, log) and not args.no_goal else 0

    if args.all:
        files = all_files(repo)
    elif args.files:
        files = [os.path.relpath(os.path.abspath(f), repo) for f in args.files]
    else:
        base = args.changed or default_base(repo)
        if base is None:
            log("mutate: no base to compare with (no origin/main, tag or main); nothing to mutate")
            return 0
        files = changed_files(repo, base)
        if not files:
            log(f"mutate: no C++ file under src/ or server/ changed since {base}; nothing to mutate")
            return 0
        log(f"mutate: {len(files)} file(s) changed since {base}")

    if args.list:
        for rel in files:
            with open(os.path.join(repo, rel)) as f:
                for m in sample(find_mutants(f.read()), rel, args.sample, args.max_mutants):
                    log(f"{rel}:{m.line}: [{m.operator}] {m.describe()}")
        return 0

    # A termination still puts the real objects back (the finally below).
    signal.signal(signal.SIGTERM, _interrupt)
    started = time.monotonic()
    deadline = started + args.time_budget if args.time_budget else None
    if not args.no_configure and not build.configure(repo, args.build_dir, log=log):
        return 2
    db = build.CompileDatabase(args.build_dir)
    graph = build.NinjaGraph(args.build_dir)
    cases = build.test_cases(args.build_dir)
    equivalents = load_equivalents(args.equivalents)
    os.makedirs(results_dir, exist_ok=True)
    prepared = []
    try:
        # Every file's schemata in its object first: one relink and one trace run serve them all.
        # An object missing from an interrupted run is built first: compiled
        # beside ninja's back it would look stale and be rebuilt over.
        missing = [db.object_path(e) for e in (db.entry(os.path.join(repo, rel)) for rel in files)
                   if e is not None and not os.path.exists(db.object_path(e))]
        if missing and not build.build_targets(args.build_dir, missing, log=log):
            return 2
        log(f"mutate: compiling the mutants of {len(files)} file(s)")
        with ThreadPoolExecutor(max_workers=args.jobs) as pool:
            prepared = list(pool.map(lambda item: prepare_file(args, repo, item[1], item[0], db, graph, log),
                                     enumerate(files, 1)))
        objects = [r["object"] for r, kept in prepared if kept]
        dependents = set()
        for obj in objects:
            dependents |= graph.dependents(obj)
        candidates = [c for c in cases if c.exe in dependents
                      and (not args.tests or re.search(args.tests, os.path.basename(c.exe)))]
        if objects and not candidates:
            log("mutate: no test is built from these files")
        exes = sorted({c.exe for c in candidates})
        if exes and not build.build_targets(args.build_dir, exes, log=log):
            log("mutate: the tests do not link with the mutants")
            return 2
        log(f"mutate: tracing {len(candidates)} test case(s) with no mutant active")
        t0 = time.monotonic()
        reaching = run.trace_cases(candidates, args.jobs, log=log)
        log(f"  ({time.monotonic() - t0:.0f} s)")
        results = []
        for result, kept in prepared:
            t0 = time.monotonic()
            statuses = run.run_mutants([result["base"] + m.id for m in kept], reaching, args.jobs,
                                       deadline=deadline, max_cases=args.max_cases,
                                       near=near_programs(result["file"]))
            judge(result, kept, statuses, equivalents)
            result["seconds"] = round(time.monotonic() - t0, 1)
            results.append(result)
            with open(os.path.join(results_dir, result["file"].replace("/", "__") + ".json"), "w") as f:
                json.dump(result, f, indent=1)
            print_file(result, log)
            log(f"  ({result['seconds']:.0f} s)")
    finally:
        for result, _ in prepared:
            obj = result.get("object")
            if obj and os.path.exists(obj):
                os.remove(obj)  # the next build compiles the real source again
        # Put the real objects back so the build directory matches the sources.
        build.build_targets(args.build_dir, [], log=log)
    failing = report(results, log)
    log(f"\nmutate: {len(files)} file(s) in {time.monotonic() - started:.0f} s")
    if failing and not args.no_goal:
        log("mutate: below the goal in " + ", ".join(failing))
        return 1
    return 0
