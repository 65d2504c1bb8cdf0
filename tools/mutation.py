#!/usr/bin/env python3
"""Mutation testing of the C++ modules: does the test suite notice a fault?

    tools/mutation.py [--n N] [--seed SEED] [--only FILE ...] [--min-score PCT]

The mutants come from universalmutator's rules for C++ (the ones its `mutate`
command applies to a .cpp or .hpp file), one changed line each, over every
file in src/tarvo/tcl/ and src/tarvo/tcl/_cxx/.  A sample of N of them
(N=0: all), drawn with SEED, is tried one at a time:

1. the tree is copied once into build/mutation/work (the work tree it was
   started from is never written to) and built there by CMake and Ninja into
   build/mutation/cmake, with warnings as errors as `make build` does;
2. per mutant, the changed line is written into the copy, Ninja rebuilds
   (only the modules that include the file), and the tests that cover the
   file run with `pytest -x`, under a time limit; then the file is restored.

A mutant is
  killed     when a test fails, the interpreter crashes (`crash`) or the
             run passes its time limit (`timeout`);
  survived   when every test passes;
  invalid    when it does not build (warnings are errors here too);
  equivalent when it is listed in tools/mutation-equivalent.txt, or when the
             compiler makes the very same modules of it (`same code`: a line
             that the preprocessor leaves out, an assert under NDEBUG, ...).
The score is killed / (killed + survived).  build/mutation/report.md lists
the survivors with file, line and the changed line; results-seedS.json has
every mutant, and --again tries only the survivors of that run again;
--retry RESULTS tries the survivors saved in RESULTS again in the code as it
stands now (after tests were added, say).  With --min-score the exit status
is 1 when the score is below it.

The catalogue, tools/mutation-killed.jsonl, keeps mutants that full draws saw
killed: --record adds the killed mutants of this run to it, and --from
CATALOGUE draws this run's mutants from it alone (those whose line is still
there).  A fresh draw meets mutants that no one has judged yet, and about a
quarter of those that survive turn out equivalent; a draw from the
catalogue asks only whether the tests still kill what they killed, so its
score falls only when a change weakens them.  CI draws from it.
"""
from __future__ import annotations

import argparse
import contextlib
import hashlib
import io
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = "src/tarvo/tcl"
CATALOGUE = ROOT / "tools" / "mutation-killed.jsonl"
EQUIVALENTS = ROOT / "tools" / "mutation-equivalent.txt"
# universalmutator's rules for a C++ file, as its `mutate` command picks them.
RULES = ["universal.rules", "cpp.rules", "c_like.rules"]

# The tests that exercise each module, its own first: pytest -x stops at the
# first failure, and most mutants fall to the module's own tests.  A header
# gets those of every module that includes it.
COMMON = ["test_hostile.py", "test_leaks.py", "test_signatures.py", "test_crashes.py"]
MODULE_TESTS = {
    "quoten": ["test_quoten.py", "test_secret.py", "test_jot.py"],
    "nestmap": ["test_nestmap.py", "test_casts.py", "test_native_casts.py",
                "test_datastructures.py", "test_secret.py", "test_cast_list.py"],
    "history": ["test_history.py", "test_jot.py", "test_interpreter.py",
                "test_callbacks.py", "test_pytest_plugin.py"],
    "jot": ["test_jot.py", "test_secret.py", "test_expect.py", "test_console.py",
            "test_readme_expect.py", "test_history.py", "test_hangs.py"],
    # The callbacks' trampolines, close() and the Expect clean-up live here.
    "internal": ["test_internal.py", "test_callbacks.py", "test_callback_states.py",
                 "test_cast_list.py", "test_native_casts.py", "test_hangs.py",
                 "test_portability.py", "test_extensions.py", "test_expect.py"],
    "interpreter": ["test_interpreter.py", "test_casts.py", "test_native_casts.py",
                    "test_cast_list.py", "test_callbacks.py", "test_callback_states.py",
                    "test_namespace.py", "test_array.py", "test_extensions.py",
                    "test_secret.py", "test_history.py", "test_jot.py", "test_console.py",
                    "test_readme.py", "test_portability.py", "test_hangs.py"],
}

# What the copy leaves out: version control, venvs, build output.
SKIP_TOP = {".git", "build", "dist"}
SKIP_ANY = {"__pycache__", ".hypothesis", ".pytest_cache", ".mypy_cache"}


@dataclass
class Mutant:
    file: str  # relative to the root, e.g. src/tarvo/tcl/quoten.cpp
    line: int
    original: str
    mutated: str
    status: str = ""  # killed / survived / invalid / equivalent
    detail: str = ""  # failed, crash, timeout; same code, listed
    seconds: float = 0.0
    tests: list[str] = field(default_factory=list)

    @property
    def key(self) -> tuple[str, int, str]:
        return (self.file, self.line, self.mutated)


# ---------------------------------------------------------------------------
# The mutants

def code_part(line: str) -> str:
    """The line without its // comment (string and character literals kept),
    whitespace removed: two lines that differ only in a comment or in spacing
    compile alike."""
    out = []
    quote = None
    i = 0
    while i < len(line):
        c = line[i]
        if quote:
            out.append(c)
            if c == "\\" and i + 1 < len(line):
                out.append(line[i + 1])
                i += 1
            elif c == quote:
                quote = None
        elif c in "\"'":
            quote = c
            out.append(c)
        elif line.startswith("//", i) or line.startswith("/*", i):
            if line.startswith("/*", i):
                end = line.find("*/", i + 2)
                if end >= 0:
                    i = end + 2
                    continue
            break
        else:
            out.append(c)
        i += 1
    return re.sub(r"\s+", "", "".join(out))


def sources() -> list[str]:
    files = sorted((ROOT / PACKAGE).glob("*.cpp")) + sorted((ROOT / PACKAGE / "_cxx").glob("*.hpp"))
    return [str(f.relative_to(ROOT)) for f in files]


def generate(rel: str) -> list[Mutant]:
    """universalmutator's mutants of one file, less those that change only a
    comment or spacing, or that the rules made inside a comment block."""
    from universalmutator import mutator

    lines = (ROOT / rel).read_text().splitlines(keepends=True)
    with contextlib.redirect_stdout(io.StringIO()):
        raw = mutator.mutants_regexp(lines, ruleFiles=RULES, ignorePatterns=[], ignoreStringOnly=True)
    in_comment = comment_lines(lines)
    found = []
    for lineno, text, *_ in raw:
        original = lines[lineno - 1]
        if lineno in in_comment:
            continue
        # A mutant that comments out a whole line leaves nothing to compare;
        # the others must change the code, not a comment or the spacing.
        if code_part(text) == code_part(original):
            continue
        found.append(Mutant(rel, lineno, original.rstrip("\n"), text.rstrip("\n")))
    return found


def comment_lines(lines: list[str]) -> set[int]:
    """Line numbers that are all comment (// lines and /* */ blocks)."""
    result = set()
    in_block = False
    for n, line in enumerate(lines, 1):
        s = line.strip()
        if in_block:
            result.add(n)
            if "*/" in s:
                in_block = False
            continue
        if s.startswith("//"):
            result.add(n)
        elif s.startswith("/*"):
            result.add(n)
            in_block = "*/" not in s
    return result


def load_equivalents() -> list[tuple[re.Pattern[str], str]]:
    """tools/mutation-equivalent.txt: blocks of

        @ quoten.cpp
        - the line as it is
        + the line as the mutant has it
        why: one line on why no test can tell them apart

    Lines are compared without their leading and trailing spaces; `*` in the
    file name or the lines stands for any text.  An entry covers the same
    change wherever a file has that line."""
    entries: list[tuple[re.Pattern[str], str]] = []
    if not EQUIVALENTS.exists():
        return entries
    file = old = new = None
    for n, line in enumerate(EQUIVALENTS.read_text().splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        if line.startswith("@ "):
            file, old, new = line[2:].strip(), None, None
        elif line.startswith("- "):
            old = line[2:].strip()
        elif line.startswith("+ ") or line.strip() == "+":
            new = line[2:].strip()
        elif line.startswith("why: "):
            if not (file and old is not None and new is not None):
                sys.exit(f"{EQUIVALENTS}:{n}: 'why:' without '@ file', '- line' and '+ line' before it")
            pattern = "\n".join(".*".join(map(re.escape, part.split("*"))) for part in (file, old, new))
            entries.append((re.compile(pattern, re.S), line[5:].strip()))
        else:
            sys.exit(f"{EQUIVALENTS}:{n}: expected '@ file', '- ', '+ ' or 'why: '")
    return entries


def equivalent_reason(m: Mutant, listed: list[tuple[re.Pattern[str], str]]) -> str | None:
    short = m.file[len(PACKAGE) + 1:]
    text = "\n".join((short, m.original.strip(), m.mutated.strip()))
    for pattern, why in listed:
        if pattern.fullmatch(text):
            return why
    return None


# ---------------------------------------------------------------------------
# The copy, its build and its tests

def read_catalogue(path: Path) -> list[tuple[str, int, str, str]]:
    """(file, line number when it was recorded, line as it is, line as the
    mutant has it): one JSON object a line ("#" lines are comments)."""
    found = []
    for n, line in enumerate(path.read_text().splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        try:
            m = json.loads(line)
            found.append((m["file"], int(m["line"]), m["original"].strip(), m["mutated"].strip()))
        except (ValueError, KeyError, TypeError, AttributeError) as error:
            sys.exit(f"{path}:{n}: expected an object with file, line, original and mutated ({error})")
    return found


def record(path: Path, mutants: list[Mutant]) -> int:
    """Adds the killed `mutants` that `path` lacks; returns how many."""
    known = {(f, old, new) for f, _, old, new in read_catalogue(path)} if path.exists() else set()
    added = []
    for m in mutants:
        entry = (m.file[len(PACKAGE) + 1:], m.original.strip(), m.mutated.strip())
        if m.status == "killed" and entry not in known:
            known.add(entry)
            added.append(json.dumps({"file": entry[0], "line": m.line, "original": entry[1], "mutated": entry[2]}))
    if added:
        with path.open("a") as out:
            out.write("".join(line + "\n" for line in added))
    return len(added)


def sync_copy(work: Path) -> None:
    """Make `work` a copy of the tree, writing only files that differ so that
    Ninja rebuilds only what changed since the last run."""
    wanted = set()
    for dirpath, dirnames, filenames in os.walk(ROOT):
        here = Path(dirpath)
        rel_dir = here.relative_to(ROOT)
        dirnames[:] = [d for d in dirnames
                       if d not in SKIP_ANY and not d.endswith(".egg-info")
                       and not (rel_dir == Path(".") and (d in SKIP_TOP or d.startswith(".venv")))]
        for name in filenames:
            if name.endswith(".so"):
                continue
            rel = rel_dir / name
            wanted.add(rel)
            src, dst = here / name, work / rel
            data = src.read_bytes()
            if dst.is_symlink() or not dst.exists() or dst.read_bytes() != data:
                dst.parent.mkdir(parents=True, exist_ok=True)
                if dst.is_symlink():
                    dst.unlink()
                dst.write_bytes(data)
                shutil.copymode(src, dst)
    for dirpath, dirnames, filenames in os.walk(work):
        for name in filenames:
            path = Path(dirpath) / name
            if path.suffix != ".so" and path.relative_to(work) not in wanted:
                path.unlink()


def includers() -> dict[str, set[str]]:
    """For each source file, the modules whose build includes it."""
    direct: dict[str, set[str]] = {}
    for rel in sources():
        text = (ROOT / rel).read_text()
        direct[rel] = set()
        for inc in re.findall(r'^\s*#\s*include\s+"([^"]+)"', text, re.M):
            base = (ROOT / rel).parent
            direct[rel].add(str((base / inc).resolve().relative_to(ROOT)))
    result = {}
    for rel in sources():
        if rel.endswith(".cpp"):
            continue
        result[rel] = set()
    for rel in sources():
        if not rel.endswith(".cpp"):
            continue
        module = Path(rel).stem
        result[rel] = {module}
        seen, todo = set(), list(direct[rel])
        while todo:
            h = todo.pop()
            if h in seen or h not in direct:
                continue
            seen.add(h)
            result.setdefault(h, set()).add(module)
            todo.extend(direct[h])
    return result


def tests_for(rel: str, users: dict[str, set[str]]) -> list[str]:
    modules = sorted(users.get(rel, set()))
    if rel.endswith(".cpp"):
        modules = [Path(rel).stem]
    files: list[str] = []
    # Round-robin over the modules' lists: each module's own tests come early.
    lists = [MODULE_TESTS.get(m, []) for m in modules]
    for i in range(max(map(len, lists), default=0)):
        for lst in lists:
            if i < len(lst) and lst[i] not in files:
                files.append(lst[i])
    for t in COMMON:
        if t not in files:
            files.append(t)
    return ["tests/" + f for f in files]


def run(cmd: list[str], cwd: Path, env: dict[str, str], limit: float, log: Path) -> tuple[int | None, float]:
    """Runs cmd in its own process group; (exit status or None on time-out,
    seconds).  On time-out the whole group is killed."""
    start = time.monotonic()
    with open(log, "wb") as out:
        proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=out, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, start_new_session=True)
        try:
            rc: int | None = proc.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            rc = None
        finally:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    return rc, time.monotonic() - start


class Lab:
    def __init__(self, out: Path, build_limit: float):
        self.out = out
        self.work = out / "work"
        self.cmake = out / "cmake"
        self.logs = out / "logs"
        self.build_limit = build_limit
        bindir = Path(sys.executable).parent
        self.env = dict(os.environ)
        self.env["PATH"] = f"{bindir}{os.pathsep}{self.env.get('PATH', '')}"
        self.env["PYTHONPATH"] = str(self.work / "src")
        self.env["PYTHONDONTWRITEBYTECODE"] = "1"
        self.env.pop("PYTEST_ADDOPTS", None)

    def prepare(self) -> None:
        self.work.mkdir(parents=True, exist_ok=True)
        self.logs.mkdir(parents=True, exist_ok=True)
        sync_copy(self.work)
        if not (self.cmake / "build.ninja").exists():
            cmd = ["cmake", "-S", str(self.work), "-B", str(self.cmake), "-G", "Ninja",
                   "-DCMAKE_BUILD_TYPE=Release", "-DTARVO_WERROR=ON",
                   f"-DPython_EXECUTABLE={sys.executable}"]
            rc, _ = run(cmd, ROOT, self.env, self.build_limit, self.logs / "configure.log")
            if rc != 0:
                sys.exit(f"mutation: CMake failed, see {self.logs / 'configure.log'}")
        if not self.build(self.logs / "build.log"):
            sys.exit(f"mutation: the unchanged copy does not build, see {self.logs / 'build.log'}")
        package = self.work / PACKAGE
        for so in self.cmake.glob("*.so"):
            link = package / so.name
            if not link.is_symlink():
                if link.exists():
                    link.unlink()
                link.symlink_to(so)
        self.clean_code = self.code_hash()

    def build(self, log: Path) -> bool:
        rc, _ = run(["ninja", "-C", str(self.cmake)], ROOT, self.env, self.build_limit, log)
        return rc == 0

    def code_hash(self) -> dict[str, str]:
        return {so.name: hashlib.sha256(so.read_bytes()).hexdigest() for so in self.cmake.glob("*.so")}

    def pytest(self, tests: list[str], limit: float, log: Path) -> tuple[int | None, float]:
        shutil.rmtree(self.work / ".hypothesis", ignore_errors=True)
        cmd = [sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
               "--hypothesis-seed=0", *tests]
        return run(cmd, self.work, self.env, limit, log)

    def baseline(self, tests: list[str]) -> dict[str, float]:
        """Runs the tests on the unchanged build: they must pass.  Returns the
        seconds each test file took, from which a mutant's time limit comes."""
        report = self.logs / "baseline.xml"
        rc, _ = self.pytest([f"--junitxml={report}", *tests], 3600, self.logs / "baseline.log")
        if rc != 0:
            sys.exit(f"mutation: the tests fail without any mutant, see {self.logs / 'baseline.log'}")
        import xml.etree.ElementTree as ET

        seconds = dict.fromkeys(tests, 0.0)
        for case in ET.parse(report).iter("testcase"):
            parts = case.get("classname", "").split(".")
            name = "/".join(parts[:2]) + ".py"
            if name in seconds:
                seconds[name] += float(case.get("time", 0))
        return seconds

    def try_mutant(self, m: Mutant, limit: float, number: int) -> None:
        path = self.work / m.file
        original = path.read_text()
        lines = original.splitlines(keepends=True)
        assert lines[m.line - 1].rstrip("\n") == m.original
        lines[m.line - 1] = m.mutated + "\n"
        log = self.logs / f"mutant-{number:04d}.log"
        start = time.monotonic()
        try:
            path.write_text("".join(lines))
            if not self.build(log):
                m.status, m.detail = "invalid", "does not build"
            elif self.code_hash() == self.clean_code:
                m.status, m.detail = "equivalent", "same code"
            else:
                rc, _ = self.pytest(m.tests, limit, log)
                if rc is None:
                    m.status, m.detail = "killed", "timeout"
                elif rc < 0:
                    m.status, m.detail = "killed", f"crash ({signal.Signals(-rc).name})"
                elif rc == 0:
                    m.status = "survived"
                elif rc == 1:
                    m.status, m.detail = "killed", "failed"
                else:
                    m.status, m.detail = "killed", f"pytest exit {rc}"
        finally:
            path.write_text(original)
        m.seconds = time.monotonic() - start


# ---------------------------------------------------------------------------
# The report

def score(mutants: list[Mutant]) -> tuple[int, int, float | None]:
    killed = sum(m.status == "killed" for m in mutants)
    survived = sum(m.status == "survived" for m in mutants)
    return killed, survived, (100.0 * killed / (killed + survived) if killed + survived else None)


def write_report(out: Path, mutants: list[Mutant], total: int, seed: int, n: int) -> str:
    killed, survived, pct = score(mutants)
    count = lambda s, d=None: sum(m.status == s and (d is None or m.detail.startswith(d)) for m in mutants)
    pct_text = "n/a" if pct is None else f"{pct:.1f}%"
    summary = (f"mutation score {pct_text}: {killed} killed ({count('killed', 'timeout')} by time-out, "
               f"{count('killed', 'crash')} by a crash), {survived} survived, {count('invalid')} invalid, "
               f"{count('equivalent')} equivalent ({count('equivalent', 'listed')} listed, "
               f"{count('equivalent', 'same code')} same code)")
    rows = [f"# Mutation testing", "",
            f"Seed {seed}, {len(mutants)} of {total} mutants (asked for {n or 'all'}).", "",
            summary, "",
            "| status | count |", "| --- | --- |"]
    for status in ("killed", "survived", "invalid", "equivalent"):
        rows.append(f"| {status} | {count(status)} |")
    rows.append(f"| of the killed: time-out | {count('killed', 'timeout')} |")
    rows.append(f"| of the killed: crash | {count('killed', 'crash')} |")

    def listing(title: str, chosen: list[Mutant], why: bool = False) -> None:
        rows.extend(["", f"## {title} ({len(chosen)})", ""])
        for m in chosen:
            rows.append(f"- `{m.file}:{m.line}`" + (f" ({m.detail})" if why else ""))
            rows.append("  ```")
            rows.append(f"  - {m.original.strip()}")
            rows.append(f"  + {m.mutated.strip()}")
            rows.append("  ```")

    listing("Survived", [m for m in mutants if m.status == "survived"])
    listing("Killed by time-out", [m for m in mutants if m.detail == "timeout"])
    listing("Killed by a crash", [m for m in mutants if m.detail.startswith("crash")])
    listing("Equivalent", [m for m in mutants if m.status == "equivalent"], why=True)
    listing("Invalid", [m for m in mutants if m.status == "invalid"])
    (out / "report.md").write_text("\n".join(rows) + "\n")
    return summary


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=150, help="mutants to try; 0 for all (default 150)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the sample (default 1)")
    parser.add_argument("--only", nargs="*", default=[], help="only these files (e.g. quoten.cpp tcl.hpp)")
    parser.add_argument("--timeout", type=float, default=None,
                        help="time limit of one mutant's tests in seconds "
                             "(default: three times the tests' own time, plus a minute)")
    parser.add_argument("--build-timeout", type=float, default=900)
    parser.add_argument("--min-score", type=float, default=None,
                        help="exit with status 1 when the score (%%) is below this")
    parser.add_argument("--counted", action="store_true",
                        help="draw mutants until N of them count (build, change the code, not listed)")
    parser.add_argument("--again", action="store_true",
                        help="try again only the survivors of the last run with this seed")
    parser.add_argument("--retry", type=Path, default=None, metavar="RESULTS",
                        help="try again the survivors of the run saved in RESULTS (a results-seedS.json), "
                             "found by their lines wherever they stand now")
    parser.add_argument("--from", dest="source", type=Path, default=None, metavar="CATALOGUE",
                        help="draw from the mutants of CATALOGUE (tools/mutation-killed.jsonl) only")
    parser.add_argument("--record", action="store_true",
                        help=f"add the killed mutants of this run to {CATALOGUE.relative_to(ROOT)}")
    parser.add_argument("--list", action="store_true", help="print the mutants per file and stop")
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "mutation")
    args = parser.parse_args()
    # Stopped from outside: the mutated file is restored and the tests' process
    # group killed on the way out, as on Ctrl-C.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    files = sources()
    if args.only:
        files = [f for f in files if Path(f).name in args.only or f in args.only]
        if not files:
            sys.exit(f"mutation: no source file is named {' '.join(args.only)}")
    everything = [m for f in files for m in generate(f)]
    if args.list:
        for f in files:
            print(f"{sum(m.file == f for m in everything):6d}  {f}")
        print(f"{len(everything):6d}  in all")
        return 0
    rng = random.Random(args.seed)
    if args.source:
        # The catalogue's mutants, each where its line is now (of the same
        # lines, the nearest to where it was).
        by_change: dict[tuple[str, str, str], list[Mutant]] = {}
        for m in everything:
            by_change.setdefault((m.file[len(PACKAGE) + 1:], m.original.strip(), m.mutated.strip()), []).append(m)
        entries = read_catalogue(args.source)
        everything = [min(by_change[(f, old, new)], key=lambda m: abs(m.line - at))
                      for f, at, old, new in entries if (f, old, new) in by_change]
        print(f"mutation: {len(everything)} of the {len(entries)} mutants of {args.source.name} "
              f"are in the code as it is", flush=True)
    if args.retry:
        # The survivors of an earlier run, in the code as it is now: the
        # same change of the same line (which may have moved since).
        earlier = json.loads(args.retry.read_text())["mutants"]
        chosen = []
        for old in (m for m in earlier if m["status"] == "survived"):
            same = [m for m in everything if m.file == old["file"] and m.original.strip() == old["original"].strip()
                    and m.mutated.strip() == old["mutated"].strip()]
            if same:
                chosen.append(min(same, key=lambda m: abs(m.line - old["line"])))
            else:
                print(f"mutation: {old['file']}:{old['line']} no longer has that line", flush=True)
    elif args.counted:
        # Drawn one by one until N of them count (they build, change the
        # code and are not listed as equivalent).
        chosen = list(everything)
        rng.shuffle(chosen)
    else:
        chosen = everything if args.n <= 0 or args.n >= len(everything) else rng.sample(everything, args.n)
        chosen.sort(key=lambda m: (files.index(m.file), m.line, m.mutated))

    listed = load_equivalents()
    users = includers()
    for m in chosen:
        m.tests = tests_for(m.file, users)
        reason = equivalent_reason(m, listed)
        if reason is not None:
            m.status, m.detail = "equivalent", f"listed: {reason}"

    lab = Lab(args.out.resolve(), args.build_timeout)
    saved = lab.out / (f"results-retry-{args.retry.stem}.json" if args.retry else f"results-seed{args.seed}.json")
    hashes = {f: hashlib.sha256((ROOT / f).read_bytes()).hexdigest() for f in files}
    if args.again and saved.exists():
        # Adding tests cannot bring a killed mutant back, nor make one build:
        # only the survivors of the earlier run are tried again, in files that
        # have not changed since.
        earlier = json.loads(saved.read_text())
        kept = {(m["file"], m["line"], m["mutated"]): m for m in earlier["mutants"]
                if earlier.get("sources", {}).get(m["file"]) == hashes.get(m["file"])
                and (m["status"] in ("killed", "invalid") or m["detail"] == "same code")}
        for m in chosen:
            old = kept.get(m.key)
            if old and not m.status:
                m.status, m.detail, m.seconds = old["status"], old["detail"], old["seconds"]
    drawn = f"drawn until {args.n} count" if args.counted else f"{len(chosen)} of {len(everything)}"
    print(f"mutation: mutants {drawn}, seed {args.seed}; "
          f"copy and build in {lab.out}", flush=True)
    lab.prepare()
    to_run = [m for m in chosen if not m.status]
    needed = sorted({t for m in to_run for t in m.tests})
    per_file = lab.baseline(needed) if needed and args.timeout is None else {}
    if per_file:
        print(f"mutation: the tests pass unchanged ({sum(per_file.values()):.0f} s)", flush=True)

    def save(done: list[Mutant]) -> str:
        summary = write_report(lab.out, done, len(everything), args.seed, args.n)
        saved.write_text(json.dumps({"seed": args.seed, "sources": hashes,
                                     "mutants": [asdict(m) for m in done]}, indent=1))
        return summary

    tried = len(chosen)
    try:
        for i, m in enumerate(chosen, 1):
            if args.counted and sum(x.status in ("killed", "survived") for x in chosen[:i - 1]) >= args.n:
                tried = i - 1
                break
            if not m.status:
                # Three times what the tests take unchanged, and a minute for
                # pytest's start and a loaded machine.
                limit = args.timeout or 3 * sum(per_file.get(t, 0) for t in m.tests) + 60
                lab.try_mutant(m, limit, i)
            print(f"[{i}/{'?' if args.counted else len(chosen)}] {m.status:10} {m.file}:{m.line} {m.detail} ({m.seconds:.0f} s)\n"
                  f"    - {m.original.strip()}\n    + {m.mutated.strip()}", flush=True)
            save([x for x in chosen[:i] if x.status])
    finally:
        # The copy goes back to the tree as it was; its build follows next run.
        sync_copy(lab.work)
    chosen = chosen[:tried]
    summary = save(chosen)
    if args.record:
        print(f"mutation: {record(CATALOGUE, chosen)} killed mutants added to {CATALOGUE.relative_to(ROOT)}")
    print(f"mutation: {summary}\nmutation: report in {lab.out / 'report.md'}")
    _, _, pct = score(chosen)
    if args.min_score is not None and pct is not None and pct < args.min_score:
        print(f"mutation: the score is below {args.min_score:.0f}%")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
