"""The schemata really compile, switch one mutant at a time, trace, and prune what does not build."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

from qelmutate import build, run  # noqa: E402
from qelmutate.mutants import find_mutants, schemata  # noqa: E402

PROGRAM = """\
#include <cstdio>
#include <cstdlib>
#include <string>

static int clamp(int v, int lo, int hi) {
    if (v < lo) {
        return lo;
    }
    return v > hi ? hi : v;
}

static std::string joined(const std::string& a, const std::string& b) {
    return a + "/" + b;
}

int main(int argc, char** argv) {
    int v = std::atoi(argv[1]);
    std::printf("%d %d %s %d\\n", clamp(v, 2, 9), __LINE__, joined("x", "y").c_str(), argc == 2 && v != 5);
    return 0;
}
"""

COMPILER = shutil.which("g++") or shutil.which("c++")


@unittest.skipUnless(COMPILER, "needs a C++ compiler")
class SchemataTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="qel-mutate-test-")
        cls.source = os.path.join(cls.dir, "program.cpp")
        with open(cls.source, "w") as f:
            f.write(PROGRAM)
        cls.exe = os.path.join(cls.dir, "program")
        with open(os.path.join(cls.dir, "compile_commands.json"), "w") as f:
            json.dump([{"directory": cls.dir, "file": cls.source, "output": cls.exe + ".o",
                        "command": f"{COMPILER} -std=c++20 -MD -MF program.d -o {cls.exe}.o -c {cls.source}"}], f)
        db = build.CompileDatabase(cls.dir)
        cls.kept, cls.dropped = build.compile_schemata(db, cls.source, PROGRAM, find_mutants(PROGRAM),
                                                       os.path.join(cls.dir, "work"), log=lambda _: None)
        subprocess.run([COMPILER, "-o", cls.exe, cls.exe + ".o"], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def output(self, mutant, arg, trace=None):
        env = dict(os.environ, QEL_MUTANT=str(mutant))
        if trace:
            env["QEL_MUTANT_TRACE"] = trace
        return subprocess.run([self.exe, str(arg)], env=env, capture_output=True, text=True, check=True).stdout

    def test_each_mutant_changes_only_its_own_span(self):
        kept = self.kept
        self.assertEqual(self.dropped, [])
        self.assertFalse(os.path.exists(os.path.join(self.dir, "program.d")))  # no depfile for ninja to misread
        by_change = {(m.original, m.mutated): m.id for m in kept}
        # Inactive: the original program, line numbers included.
        self.assertEqual(self.output(0, 7), "7 18 x/y 1\n")
        self.assertEqual(self.output(by_change[("v < lo", "v <= lo")], 2), "2 18 x/y 1\n")
        self.assertEqual(self.output(by_change[("v < lo", "v <= lo")], 1), "2 18 x/y 1\n")
        self.assertEqual(self.output(by_change[("v > hi", "v >= hi")], 9), "9 18 x/y 1\n")
        self.assertEqual(self.output(by_change[("return lo;", "return {};")], 1), "0 18 x/y 1\n")
        self.assertEqual(self.output(by_change[("v < lo", "true")], 7), "2 18 x/y 1\n")
        self.assertEqual(self.output(by_change[("argc == 2 && v != 5", "argc == 2 || v != 5")], 5),
                         "5 18 x/y 1\n")
        self.assertEqual(self.output(by_change[("argc == 2 && v != 5", "argc == 2 || v != 5")], 7),
                         "7 18 x/y 1\n")
        self.assertEqual(self.output(by_change[("v != 5", "v == 5")], 5), "5 18 x/y 1\n")
        self.assertEqual(self.output(by_change[('joined("x", "y")', 'joined("y", "x")')], 7), "7 18 y/x 1\n")
        self.assertEqual(self.output(by_change[("9", "10")], 10), "10 18 x/y 1\n")

    def test_trace_lists_the_sites_reached_once_each(self):
        kept = self.kept
        trace = os.path.join(self.dir, "trace")
        self.output(0, 1, trace)  # v < lo: returns early, never reaches the ternary
        self.output(0, 1, trace)
        with open(trace) as f:
            ids = [int(x) for x in f.read().split()]
        reached = {next(m.id for m in kept if m.original == "return lo;")}
        ternary = next(m.id for m in kept if m.original == "v > hi")
        self.assertTrue(reached <= set(ids))
        self.assertNotIn(ternary, ids)
        self.assertEqual(len(ids), 2 * len(set(ids)))  # once per process

    def test_mutants_that_do_not_compile_are_dropped_and_the_rest_kept(self):
        source = PROGRAM.replace("return a + \"/\" + b;", "auto f = [&] { return a + \"/\" + b; };\n    return f();")
        other = os.path.join(self.dir, "other.cpp")
        with open(other, "w") as f:
            f.write(source)
        with open(os.path.join(self.dir, "compile_commands.json"), "w") as f:
            json.dump([{"directory": self.dir, "file": other, "output": "other.o",
                        "command": f"{COMPILER} -std=c++20 -o other.o -c {other}"}], f)
        mutants = find_mutants(source)
        db = build.CompileDatabase(self.dir)
        kept, dropped = build.compile_schemata(db, other, source, mutants, os.path.join(self.dir, "work"),
                                               log=lambda _: None)
        # `return {};` cannot deduce the lambda's return type; the rest still builds.
        self.assertEqual([m.original for m in dropped], ['return a + "/" + b;'])
        self.assertEqual(len(kept), len(mutants) - 1)


class RunTest(unittest.TestCase):
    """Test cases stand in as shell scripts that read the same variables a test program does."""

    def case(self, d, name, body):
        script = os.path.join(d, name)
        with open(script, "w") as f:
            f.write("#!/bin/sh\n" + body)
        os.chmod(script, 0o755)
        return run.TestCase(name, [script], d)

    def test_trace_keeps_passing_cases_with_what_they_reach(self):
        with tempfile.TemporaryDirectory() as d:
            reaches = self.case(d, "reaches", 'printf "7\\n9\\n" >> "$QEL_MUTANT_TRACE"\n')
            nothing = self.case(d, "nothing", "exit 0\n")
            broken = self.case(d, "broken", 'echo 7 >> "$QEL_MUTANT_TRACE"; exit 1\n')
            logged = []
            usable = run.trace_cases([reaches, nothing, broken], jobs=2, log=logged.append)
            self.assertEqual([c.name for c in usable], ["reaches"])
            self.assertEqual(usable[0].reached, frozenset({7, 9}))
            self.assertEqual(len(logged), 1)
            self.assertIn("broken", logged[0])

    def test_failing_or_hanging_kills_passing_survives_unreached_is_not_covered(self):
        with tempfile.TemporaryDirectory() as d:
            quick = self.case(d, "quick", "exit 0\n")
            slow = self.case(d, "slow", 'case "$QEL_MUTANT" in 1) exit 1;; 2) sleep 60;; esac\nexit 0\n')
            quick.reached = frozenset({1, 3})
            slow.reached = frozenset({1, 2, 3})
            slow.seconds = 0.1
            statuses = run.run_mutants([1, 2, 3, 4], [slow, quick], jobs=2, min_timeout=1)
            self.assertEqual(statuses[1], (run.KILLED, "slow"))  # after quick passed
            self.assertEqual(statuses[2], (run.TIMEOUT, "slow"))
            self.assertEqual(statuses[3], (run.SURVIVED, None))
            self.assertEqual(statuses[4], (run.UNCOVERED, None))
            past = run.run_mutants([1], [slow], jobs=1, deadline=0)
            self.assertEqual(past[1], ("not run", None))


if __name__ == "__main__":
    unittest.main()
