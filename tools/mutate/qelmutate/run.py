"""Runs the tests against the mutants.

The tests are ctest's: one gtest case per process, as `ctest` runs them. A
first run with no mutant active (QEL_MUTANT=0) and QEL_MUTANT_TRACE set
records which mutation sites each case reaches and how long it takes. Each
mutant then runs only the cases that reached it, quickest first, and stops
at the first failure; a mutant no case reaches survives as "not covered"
without running anything.
"""

import os
import signal
import subprocess
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

KILLED, SURVIVED, UNCOVERED, TIMEOUT = "killed", "survived", "not covered", "timeout"


@dataclass
class TestCase:
    name: str
    command: list
    cwd: str
    seconds: float = 0.0
    reached: frozenset = frozenset()

    @property
    def exe(self):
        return self.command[0]


def run_case(case, mutant_id, timeout, trace=None):
    """Runs one test case with one mutant active. Returns (status, seconds)."""
    env = dict(os.environ)
    env["QEL_MUTANT"] = str(mutant_id)
    env.pop("QEL_MUTANT_TRACE", None)
    if trace:
        env["QEL_MUTANT_TRACE"] = trace
    started = time.monotonic()
    proc = subprocess.Popen(case.command, cwd=case.cwd, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        code = proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        code = None
    finally:
        _kill_group(proc)  # and whatever the test started and left behind
    seconds = time.monotonic() - started
    if code is None:
        return TIMEOUT, seconds
    return ("passed" if code == 0 else "failed"), seconds


def _kill_group(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        pass


def trace_cases(cases, jobs, log=print):
    """Runs every case once with no mutant; keeps those that pass and reach a site."""
    def one(case):
        fd, trace = tempfile.mkstemp(prefix="qel-mutant-trace-")
        os.close(fd)
        try:
            status, seconds = run_case(case, 0, timeout=600, trace=trace)
            with open(trace) as f:
                reached = frozenset(int(x) for x in f.read().split())
        finally:
            os.remove(trace)
        case.seconds, case.reached = seconds, reached
        return case, status

    usable = []
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        for case, status in pool.map(one, cases):
            if status != "passed":
                log(f"  {case.name} fails with no mutant active ({status}); left out")
            elif case.reached:
                usable.append(case)
    return usable


def run_mutants(ids, cases, jobs, deadline=None, min_timeout=30.0, max_cases=0, near=()):
    """Status of every mutant id: {id: (status, the case that killed it or None)}.

    Cases of the programs named in near (the mutated folder's own tests) go
    first, then the quickest; with max_cases, a mutant that outlives that
    many cases is reported as a survivor without running the rest.
    """
    def order(c):
        return (0 if os.path.basename(c.exe) in near else 1, c.seconds)

    def one(mutant_id):
        reaching = sorted((c for c in cases if mutant_id in c.reached), key=order)
        if not reaching:
            return mutant_id, (UNCOVERED, None)
        if deadline is not None and time.monotonic() > deadline:
            return mutant_id, ("not run", None)
        if max_cases:
            reaching = reaching[:max_cases]
        for c in reaching:
            status, _ = run_case(c, mutant_id, timeout=max(min_timeout, 5 * c.seconds + min_timeout / 3))
            if status == "failed":
                return mutant_id, (KILLED, c.name)
            if status == TIMEOUT:
                return mutant_id, (TIMEOUT, c.name)
        return mutant_id, (SURVIVED, None)

    with ThreadPoolExecutor(max_workers=jobs) as pool:
        return dict(pool.map(one, ids))
