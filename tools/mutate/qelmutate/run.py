"""Runs the test programs against one file's mutants.

A first run with no mutant active (QEL_MUTANT=0) and QEL_MUTANT_TRACE set
records which mutation sites each test program reaches and how long it
takes. Each mutant then runs only the programs that reached it, quickest
first, stopping at the first failure; a mutant no program reaches survives
as "not covered" without running anything.
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
class Program:
    path: str
    cwd: str
    seconds: float = 0.0
    reached: frozenset = frozenset()


def run_program(program, mutant_id, timeout, trace=None, extra_args=()):
    """Runs one test program with one mutant active. Returns (status, seconds)."""
    env = dict(os.environ)
    env["QEL_MUTANT"] = str(mutant_id)
    env.pop("QEL_MUTANT_TRACE", None)
    if trace:
        env["QEL_MUTANT_TRACE"] = trace
    args = [program.path]
    if mutant_id:
        args.append("--gtest_fail_fast")
    args += list(extra_args)
    started = time.monotonic()
    proc = subprocess.Popen(args, cwd=program.cwd, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        code = proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        _kill_group(proc)
        return TIMEOUT, time.monotonic() - started
    finally:
        _kill_group(proc)  # children the tests started and left behind
    return ("passed" if code == 0 else "failed"), time.monotonic() - started


def _kill_group(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        pass


def trace_programs(programs, jobs, log=print):
    """Runs every program once with no mutant; keeps those that pass, with what they reach."""
    def one(program):
        fd, trace = tempfile.mkstemp(prefix="qel-mutant-trace-")
        os.close(fd)
        try:
            status, seconds = run_program(program, 0, timeout=1800, trace=trace)
            with open(trace) as f:
                reached = frozenset(int(x) for x in f.read().split())
        finally:
            os.remove(trace)
        program.seconds, program.reached = seconds, reached
        return program, status

    usable = []
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        for program, status in pool.map(one, programs):
            if status == "passed":
                if program.reached:
                    usable.append(program)
            else:
                log(f"  {os.path.basename(program.path)} fails with no mutant active ({status}); left out")
    return usable


def run_mutants(mutants, programs, jobs, deadline=None, min_timeout=30.0):
    """Status of every mutant: {id: (status, program that killed it or None)}."""
    def one(m):
        reaching = sorted((p for p in programs if m.id in p.reached), key=lambda p: p.seconds)
        if not reaching:
            return m.id, (UNCOVERED, None)
        if deadline is not None and time.monotonic() > deadline:
            return m.id, ("not run", None)
        for p in reaching:
            status, _ = run_program(p, m.id, timeout=max(min_timeout, 5 * p.seconds + 10))
            if status == "failed":
                return m.id, (KILLED, os.path.basename(p.path))
            if status == TIMEOUT:
                return m.id, (TIMEOUT, os.path.basename(p.path))
        return m.id, (SURVIVED, None)

    with ThreadPoolExecutor(max_workers=jobs) as pool:
        return dict(pool.map(one, mutants))
