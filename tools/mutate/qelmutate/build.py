"""The build side: compile commands, the ninja graph, and the schemata object.

The schemata source is written beside the build (never into the source tree)
and compiled with the file's own command straight into the file's object;
ninja then sees an object newer than its library and relinks what uses it.
Once the file is done its object is deleted, so the next build compiles the
real source again.
"""

import json
import os
import re
import shlex
import shutil
import subprocess
from collections import defaultdict

from .mutants import schemata


def configure(repo, build_dir, log=print):
    """Configures and builds the mutation build: lightly optimised, no sanitizers, ccache when present."""
    args = ["cmake", "-S", repo, "-B", build_dir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug",
            "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g0", "-DQEL_BUILD_BENCH=OFF"]
    env = dict(os.environ)
    if shutil.which("ccache"):
        args += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
        env.update(CCACHE_BASEDIR=repo, CCACHE_NOHASHDIR="1")
    for cmd in (args, ["ninja", "-C", build_dir]):
        proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
        if proc.returncode != 0:
            log(f"mutate: {' '.join(cmd[:2])} failed\n" + proc.stdout[-3000:] + proc.stderr[-3000:])
            return False
    return True


class CompileDatabase:
    def __init__(self, build_dir):
        self.build_dir = os.path.abspath(build_dir)
        with open(os.path.join(self.build_dir, "compile_commands.json")) as f:
            entries = json.load(f)
        self.by_file = {}
        for e in entries:
            path = os.path.normpath(os.path.join(e["directory"], e["file"]))
            self.by_file.setdefault(path, e)

    def entry(self, path):
        return self.by_file.get(os.path.abspath(path))

    def object_path(self, entry):
        if "output" in entry:
            return os.path.normpath(os.path.join(entry["directory"], entry["output"]))
        args = shlex.split(entry["command"])
        return os.path.normpath(os.path.join(entry["directory"], args[args.index("-o") + 1]))


def mutant_compile_command(entry, mutated_path):
    """The file's compile command, reading mutated_path instead and writing no depfile."""
    args = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
    source = entry["file"]
    out = []
    skip_next = False
    for arg in args:
        if skip_next:
            skip_next = False
            continue
        if arg in ("-MT", "-MF", "-MQ"):
            skip_next = True
            continue
        if arg in ("-MD", "-MMD"):
            continue
        if arg == source or os.path.normpath(os.path.join(entry["directory"], arg)) == os.path.normpath(
                os.path.join(entry["directory"], source)):
            out.append(mutated_path)
            continue
        out.append(arg)
    # Quoted includes resolve against the original file's folder.
    source_dir = os.path.dirname(os.path.normpath(os.path.join(entry["directory"], source)))
    return out[:1] + ["-iquote", source_dir] + out[1:]


ERROR_LINE = re.compile(r"^(?P<file>[^:\s][^:]*):(?P<line>\d+):(?:\d+:)? (?:error|required from|note)")


def error_lines(stderr, source_path):
    """Lines of source_path that the compiler's messages point at."""
    wanted = os.path.abspath(source_path)
    lines = set()
    errors = set()
    for text in stderr.splitlines():
        m = ERROR_LINE.match(text)
        if not m:
            continue
        if os.path.abspath(m.group("file")) != wanted:
            continue
        if " error" in text[m.end("line"):m.end("line") + 12] or ": error" in text:
            errors.add(int(m.group("line")))
        lines.add(int(m.group("line")))
    return errors or lines


def compile_schemata(db, path, src, mutants, work_dir, base=0, log=print, max_rounds=12):
    """Compiles the file's schemata into its object, dropping mutants that do not build.

    Mutant i is switched on by QEL_MUTANT=base+i. Returns (kept mutants, dropped
    mutants); kept is empty when nothing built.
    """
    entry = db.entry(path)
    if entry is None:
        raise LookupError(f"{path} is not in the compile database")
    os.makedirs(work_dir, exist_ok=True)
    mutated_path = os.path.join(work_dir, os.path.basename(path))
    kept = list(mutants)
    dropped = []
    for _ in range(max_rounds):
        with open(mutated_path, "w") as f:
            f.write(schemata(src, kept, os.path.abspath(path), base))
        cmd = mutant_compile_command(entry, mutated_path)
        proc = subprocess.run(cmd, cwd=entry["directory"], capture_output=True, text=True)
        if proc.returncode == 0:
            return kept, dropped
        lines = error_lines(proc.stderr, path)
        starting = [m for m in kept if m.line in lines or _start_line(src, m) in lines]
        covering = [m for m in kept if any(_start_line(src, m) <= ln <= m.last_line for ln in lines)]
        culprits = starting or covering
        if not culprits:
            log(f"  cannot build the mutants of {path}:\n" + proc.stderr[-3000:])
            return [], dropped + kept
        ids = {m.id for m in culprits}
        dropped += culprits
        kept = [m for m in kept if m.id not in ids]
        if not kept:
            return [], dropped
    return [], dropped + kept


def _start_line(src, m):
    return src.count("\n", 0, m.start) + 1


class NinjaGraph:
    """What each build output feeds, from `ninja -t graph` (order-only edges included)."""

    def __init__(self, build_dir):
        self.build_dir = os.path.abspath(build_dir)
        dot = subprocess.run(["ninja", "-C", self.build_dir, "-t", "graph"], capture_output=True,
                             text=True, check=True).stdout
        label = {}
        children = defaultdict(set)
        self.rules = set()  # nodes that stand for a build edge, not a file
        for line in dot.splitlines():
            m = re.match(r'^"(0x[0-9a-f]+)" \[label="(.*?)"', line)
            if m:
                if "shape=ellipse" in line:
                    self.rules.add(m.group(1))
                else:
                    label[m.group(1)] = m.group(2)
                continue
            m = re.match(r'^"(0x[0-9a-f]+)" -> "(0x[0-9a-f]+)"', line)
            if m:
                children[m.group(1)].add(m.group(2))
        self.by_name = defaultdict(list)
        for node, name in label.items():
            self.by_name[os.path.normpath(os.path.join(self.build_dir, name))].append(node)
        self.label = label
        self.children = children

    def direct_outputs(self, output_path):
        """The files built straight from output_path (its library, or the executable it is linked into)."""
        outputs = set()
        for node in self.by_name.get(os.path.abspath(output_path), []):
            for child in self.children.get(node, ()):
                for out in self.children.get(child, ()) if child in self.rules else (child,):
                    if out in self.label:
                        outputs.add(os.path.normpath(os.path.join(self.build_dir, self.label[out])))
        return outputs

    def dependents(self, output_path):
        """Every output built from output_path, as absolute paths."""
        start = self.by_name.get(os.path.abspath(output_path), [])
        seen = set(start)
        todo = list(start)
        while todo:
            node = todo.pop()
            for child in self.children.get(node, ()):
                if child not in seen:
                    seen.add(child)
                    todo.append(child)
        return {os.path.normpath(os.path.join(self.build_dir, self.label[n])) for n in seen if n in self.label}


def test_cases(build_dir):
    """Every ctest test (one gtest case each), with its command and working directory."""
    from .run import TestCase

    out = subprocess.run(["ctest", "--test-dir", build_dir, "--show-only=json-v1"], capture_output=True,
                         text=True, check=True).stdout
    cases = []
    for test in json.loads(out).get("tests", []):
        cmd = test.get("command") or []
        if not cmd:
            continue
        cwd = None
        for prop in test.get("properties", []):
            if prop.get("name") == "WORKING_DIRECTORY":
                cwd = prop.get("value")
        cases.append(TestCase(test.get("name", cmd[0]), [os.path.abspath(cmd[0])] + cmd[1:],
                              cwd or os.path.dirname(os.path.abspath(cmd[0]))))
    return cases


def build_targets(build_dir, targets, log=print):
    rel = [os.path.relpath(t, build_dir) for t in targets]
    proc = subprocess.run(["ninja", "-C", build_dir] + rel, capture_output=True, text=True)
    if proc.returncode != 0:
        log(proc.stdout[-3000:] + proc.stderr[-3000:])
        return False
    return True
