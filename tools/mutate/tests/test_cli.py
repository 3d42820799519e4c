"""Choosing files, sampling, judging equivalents and scoring."""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

from qelmutate import cli  # noqa: E402
from qelmutate.mutants import find_mutants  # noqa: E402


def git(repo, *args):
    subprocess.run(["git", "-C", repo, "-c", "user.name=t", "-c", "user.email=t@t"] + list(args), check=True,
                   capture_output=True)


class ChangedFilesTest(unittest.TestCase):
    def test_changed_sources_and_headers_under_the_mutated_roots(self):
        with tempfile.TemporaryDirectory() as repo:
            git(repo, "init", "-q", "-b", "main")
            files = ["src/a/x.cpp", "src/a/x.h", "src/a/y.cpp", "src/a/only.h", "server/s.cpp", "tools/t.cpp",
                     "src/a/gone.cpp"]
            for rel in files:
                os.makedirs(os.path.dirname(os.path.join(repo, rel)), exist_ok=True)
                with open(os.path.join(repo, rel), "w") as f:
                    f.write("int v;\n")
            git(repo, "add", "-A")
            git(repo, "commit", "-qm", "base")
            git(repo, "tag", "v1")
            for rel in ["src/a/x.h", "src/a/only.h", "server/s.cpp", "tools/t.cpp"]:
                with open(os.path.join(repo, rel), "a") as f:
                    f.write("int w;\n")
            os.remove(os.path.join(repo, "src/a/gone.cpp"))
            git(repo, "commit", "-qam", "change")
            self.assertEqual(cli.default_base(repo), "v1")
            # A header brings its own .cpp; a lone header, other roots and deleted files do not count.
            self.assertEqual(cli.changed_files(repo, "v1"), ["server/s.cpp", "src/a/x.cpp"])
            self.assertEqual(cli.changed_files(repo, "HEAD"), [])
            with open(os.path.join(repo, "src/a/y.cpp"), "a") as f:
                f.write("int u;\n")  # not committed yet: still a change
            self.assertEqual(cli.changed_files(repo, "HEAD"), ["src/a/y.cpp"])

    def test_without_origin_or_tag_the_base_is_where_the_branch_left_main(self):
        with tempfile.TemporaryDirectory() as repo:
            git(repo, "init", "-q", "-b", "main")
            with open(os.path.join(repo, "f"), "w") as f:
                f.write("x")
            git(repo, "add", "-A")
            git(repo, "commit", "-qm", "base")
            git(repo, "checkout", "-qb", "topic")
            git(repo, "commit", "-q", "--allow-empty", "-m", "more")
            base = subprocess.run(["git", "-C", repo, "rev-parse", "main"], capture_output=True,
                                  text=True).stdout.strip()
            self.assertEqual(cli.default_base(repo), base)


class SampleAndScoreTest(unittest.TestCase):
    SRC = "int f(int a, int b) {\n" + "".join(f"    if (a < {k}) g(a, b);\n" for k in range(40)) + "    return a;\n}\n"

    def test_sampling_is_stable_and_bounded(self):
        ms = find_mutants(self.SRC)
        one = cli.sample(ms, "src/x.cpp", 4, 0)
        self.assertEqual([m.id for m in one], [m.id for m in cli.sample(ms, "src/x.cpp", 4, 0)])
        self.assertTrue(0 < len(one) < len(ms) / 2)
        limited = cli.sample(ms, "src/x.cpp", 1, 10)
        self.assertEqual(len(limited), 10)
        self.assertGreater(limited[-1].line, ms[len(ms) // 2].line)  # spread over the file, not its head
        self.assertEqual(cli.sample(ms, "src/x.cpp", 1, 0), ms)

    def test_equivalents_are_read_by_file_and_change(self):
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
            f.write("# comment\nsrc/core/a.cpp:12: x < 0  ->  x <= 0  # x is never 0 here\n\n"
                    "src/core/a.cpp:30: 0  ->  1  # overwritten\nsrc/core/a.cpp:31: 0  ->  1  # same\n"
                    "src/core/a.cpp:40: v.reserve(n);  ->    # capacity only\n")
        try:
            self.assertEqual(cli.load_equivalents(f.name), {("src/core/a.cpp", "x < 0", "x <= 0"): {12},
                                                            ("src/core/a.cpp", "0", "1"): {30, 31},
                                                            ("src/core/a.cpp", "v.reserve(n);", ""): {40}})
        finally:
            os.remove(f.name)

    def test_a_change_found_once_matches_anywhere_and_one_found_twice_only_on_its_line(self):
        src = "int f(int x) {\n    int n = 0;\n    if (x < 0) return 0;\n    return n;\n}\n"
        ms = find_mutants(src)
        twins = {}
        for m in ms:
            twins[(m.original, m.mutated)] = twins.get((m.original, m.mutated), 0) + 1
        less = next(m for m in ms if m.mutated == "x <= 0")
        zeros = [m for m in ms if (m.original, m.mutated) == ("0", "1")]
        self.assertEqual([m.line for m in zeros], [2, 3, 3])
        entries = {("src/a.cpp", "x < 0", "x <= 0"): {40}, ("src/a.cpp", "0", "1"): {2}}
        self.assertTrue(cli.is_equivalent(entries, "src/a.cpp", less, twins))  # moved lines: still judged
        self.assertFalse(cli.is_equivalent(entries, "src/b.cpp", less, twins))
        self.assertEqual([cli.is_equivalent(entries, "src/a.cpp", m, twins) for m in zeros], [True, False, False])

    def test_score_counts_timeouts_as_killed_and_leaves_out_the_unjudged(self):
        statuses = ["killed", "timeout", "survived", "not covered", "equivalent", "not run"]
        self.assertEqual(cli.score([{"status": s} for s in statuses]), (2, 4))

    def test_folders_and_goals(self):
        self.assertEqual(cli.folder_of("src/core/text.cpp"), "src/core")
        self.assertEqual(cli.folder_of("src/db/sqlite/x.cpp"), "src/db")
        self.assertEqual(cli.folder_of("server/http.cpp"), "server")
        results = [{"file": "src/core/a.cpp", "mutants": [{"status": "killed"}] * 17 + [{"status": "survived"}] * 3},
                   {"file": "src/db/a.cpp", "mutants": [{"status": "killed"}] * 3 + [{"status": "survived"}]}]
        self.assertEqual(cli.report(results, log=lambda _: None), [])  # 85% and 75%: both at their goal
        results[0]["mutants"].append({"status": "survived"})
        results[1]["mutants"].append({"status": "not covered"})
        self.assertEqual(cli.report(results, log=lambda _: None), ["src/core", "src/db"])


if __name__ == "__main__":
    unittest.main()
