#!/usr/bin/env python3
"""Tcl's own test suite, run by tclsh and by this package, file by file.

    tools/tcl-suite.py [--suite tcl|tcllib] [--source DIR] [--runners tclsh,plain,console,pytest]
                       [--only FILE ...] [--limit SECONDS] [--known FILE]
                       [--interpreter PROGRAM] [--save JSON] [--load JSON ...]

The suite is that of the Tcl which tkinter runs on, from its Debian source
package (`apt-get source tcl8.6`, into build/tcl-suite; a deb-src entry for
the configured mirror is added first where there is none).  --source names
an unpacked source tree instead.  `--suite tcllib` runs tcllib's instead
(`apt-get source tcllib`): every modules/*/*.test, each from its module's
folder.  Its files expect the harness to have loaded tcltest (tcllib runs
them through its sak.tcl), so tclsh, plain and the console run them through
a driver that does that and then sources the file; pytest runs them as they
are, its plugin having loaded tcltest.  TCLLIBPATH puts the tree's modules/
on every runner's auto_path, as the harness does, so that the packages
under test are the tree's own.

Every file of its tests/ folder runs, from that folder, under

  tclsh     tclsh8.6 FILE: the measure;
  plain     plain tkinter with TclX (`source FILE` in tkinter.Tcl()): what
            Tcl inside Python does without this package;
  console   python -m tarvo.tcl FILE;
  pytest    one pytest run with --tcltest over the whole folder (each case
            an item; counted from its JUnit XML).

Each run has its own copy of the tree (tests write files beside them), each
file a time limit (--limit, 300 s by default; pytest's through pytest-timeout
per file), and stdin is empty.  The table gives Total/Passed/Skipped/Failed
per file and runner; a console or pytest count that differs from tclsh's is a
difference, and the run fails on any that tools/tcl-suite-known.txt (for
tcllib, tools/tcllib-suite-known.txt) does not list.  A listed difference
must show under plain tkinter too (its cause is Tcl inside Python with TclX,
not this package); one that does not is reported as wrongly listed.  A file
that runs no case under tclsh either (tcllib's that need Tk or a missing
package), with or without a summary, is the same under both, but not
counted as run as tclsh.  The last lines give each runner's time.

--interpreter gives the pytest run tcltest's interpreter (the program that
runs its child Tcl scripts), such as tclsh8.6: without it that is Python, as
under plain tkinter, and a child that waits for a Tcl script on a pipe
hangs the whole run.  --save and --load let runners run apart (at the same
time, in two processes) and the table join them.
"""
from __future__ import annotations

import argparse
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
from typing import Dict, List, Optional, Tuple

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CACHE = os.path.join(ROOT, "build", "tcl-suite")
KNOWN = {suite: os.path.join(ROOT, "tools", f"{suite}-suite-known.txt") for suite in ("tcl", "tcllib")}
RUNNERS = ("tclsh", "plain", "console", "pytest")
CHECKED = ("console", "pytest")

Counts = Tuple[int, int, int, int]  # Total, Passed, Skipped, Failed
# A runner's word on one file: its counts, or why there are none.
Result = Tuple[Optional[Counts], str]

SUMMARY = re.compile(r"^(\S+):\tTotal\t(\d+)\tPassed\t(\d+)\tSkipped\t(\d+)\tFailed\t(\d+)\s*$", re.M)

PLAIN = (
    "import sys, tkinter\n"
    "t = tkinter.Tcl()\n"
    "t.eval('package require Tclx')\n"
    "t.call('set', 'argv0', sys.argv[1])\n"
    "t.call('set', 'argv', tuple(sys.argv[2:]))\n"
    "t.call('set', 'argc', len(sys.argv[2:]))\n"
    "t.eval('proc exit {{code 0}} {set ::plain_exit $code; return -code error -errorcode PLAIN_EXIT}')\n"
    "try:\n"
    "    t.call('source', sys.argv[1])\n"
    "except tkinter.TclError:\n"
    "    if t.eval('info exists ::plain_exit') == '0':\n"
    "        sys.stderr.write(t.eval('set errorInfo') + '\\n')\n"
    "        sys.exit(1)\n"
    "    sys.exit(int(t.eval('set ::plain_exit')))\n"
)


# Runs the tcllib test file named first in argv as its main script would
# run, once tcltest is loaded, and ends with tcltest's summary where the
# file counted cases but did not end with one (as tcllib's harness, which
# counts the cases it sees, does not need).
DRIVER = """\
package require tcltest
set argv0 [lindex $argv 0]
set argv [lrange $argv 1 end]
set argc [llength $argv]
source $argv0
if {$::tcltest::numTests(Total)} {::tcltest::cleanupTests}
"""


def tcl_version() -> str:
    """The patchlevel of the Tcl that tkinter runs on."""
    import tkinter

    return str(tkinter.Tcl().eval("info patchlevel"))


def fetch(version: str, suite: str = "tcl") -> str:
    """The unpacked Debian source tree of Tcl `version` (of tcllib, whatever
    its version, for `suite` tcllib), fetched into build/tcl-suite unless it
    is there."""
    series = ".".join(version.split(".")[:2])
    package, wanted, tests = (f"tcl{series}", version, "tests") if suite == "tcl" else ("tcllib", "", "modules")
    found = sorted(glob.glob(os.path.join(CACHE, f"{package}-{wanted}*")))
    found = [path for path in found if os.path.isdir(os.path.join(path, tests))]
    if found:
        return found[-1]
    os.makedirs(CACHE, exist_ok=True)
    if not has_deb_src():
        add_deb_src()
    print(f"fetching the Debian source package {package} into {CACHE}", flush=True)
    subprocess.run(["apt-get", "source", "-qq", package], cwd=CACHE, check=True)
    found = sorted(glob.glob(os.path.join(CACHE, f"{package}-*")))
    found = [path for path in found if os.path.isdir(os.path.join(path, tests))]
    if not found:
        sys.exit(f"tcl-suite: apt-get source {package} left no {package}-* tree in {CACHE}")
    if not os.path.basename(found[-1]).startswith(f"{package}-{wanted}"):
        sys.exit(
            f"tcl-suite: the mirror has {os.path.basename(found[-1])}, tkinter runs on Tcl {version}: "
            f"name a tree of {version} with --source"
        )
    return found[-1]


def has_deb_src() -> bool:
    for path in ["/etc/apt/sources.list", *glob.glob("/etc/apt/sources.list.d/*")]:
        try:
            with open(path) as f:
                text = f.read()
        except OSError:
            continue
        if re.search(r"^\s*deb-src\s", text, re.M) or re.search(r"^Types:.*\bdeb-src\b", text, re.M):
            return True
    return False


def add_deb_src() -> None:
    """A deb-src twin of each deb822 source of the system, then apt-get
    update (as root, or through sudo)."""
    entries = []
    for path in glob.glob("/etc/apt/sources.list.d/*.sources"):
        with open(path) as f:
            for stanza in f.read().split("\n\n"):
                if re.search(r"^Types:.*\bdeb\b", stanza, re.M):
                    entries.append(re.sub(r"^Types:.*$", "Types: deb-src", stanza.strip(), flags=re.M))
    if os.path.exists("/etc/apt/sources.list"):
        with open("/etc/apt/sources.list") as f:
            lines = [line.replace("deb ", "deb-src ", 1) for line in f if line.startswith("deb ")]
        if lines:
            entries.append("".join(lines).strip())
    if not entries:
        sys.exit("tcl-suite: no Debian mirror configured to take a deb-src entry from; use --source DIR")
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    target = "/etc/apt/sources.list.d/tarvo-deb-src.sources"
    print(f"adding {target}", flush=True)
    subprocess.run(sudo + ["tee", target], input="\n\n".join(entries) + "\n", text=True, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(sudo + ["apt-get", "update", "-qq"], check=True)


def counts_from(output: str, name: str, every: bool = False) -> Optional[Counts]:
    """The last summary of the file `name` in `output`; `every`: the sum of
    all summaries, whatever file they name (a tcllib file that sources
    others, each of which ends with its own)."""
    found = [m for m in SUMMARY.finditer(output) if every or m.group(1) == name]
    if not found:
        return None
    if every:
        return tuple(sum(int(m.group(i)) for m in found) for i in range(2, 6))  # type: ignore[return-value]
    return tuple(int(n) for n in found[-1].groups()[1:])  # type: ignore[return-value]


def run_each(command: List[str], tests: str, files: List[str], limit: float, every: bool) -> Dict[str, Result]:
    """`command FILE` per file (a path under `tests`), from the file's folder;
    `every`: counted over all its summaries."""
    results: Dict[str, Result] = {}
    for name in files:
        folder, tail = os.path.split(os.path.join(tests, name))
        try:
            done = subprocess.run(command + [tail], cwd=folder, stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=limit)
        except subprocess.TimeoutExpired as timeout:
            out = (timeout.stdout or b"").decode("utf-8", "replace")
            results[name] = (counts_from(out, tail, every), f"killed after {limit:g} s")
            continue
        out = done.stdout.decode("utf-8", "replace")
        counts = counts_from(out, tail, every)
        note = "" if done.returncode == 0 else f"exit status {done.returncode}"
        if counts is None and not note:
            note = "no summary"
        results[name] = (counts, note)
    return results


def run_pytest(
    tests: str, files: List[str], limit: float, work: str, interpreter: Optional[str], file_limit: bool
) -> Dict[str, Result]:
    """One pytest run over `files`, counted per file from its JUnit XML;
    `file_limit`: `limit` is tcltest's per case and set-up code's too."""
    ini = os.path.join(work, "pytest.ini")
    with open(ini, "w") as f:
        f.write("[pytest]\n")
    xml = os.path.join(work, "junit.xml")
    command = [
        sys.executable, "-m", "pytest", "-c", ini, "--rootdir", tests, "-p", "no:cacheprovider", "-q",
        "--tcltest", "--continue-on-collection-errors", f"--junitxml={xml}", f"--timeout={limit:g}",
        "-o", "junit_logging=no", *files,
    ]
    if file_limit:
        # Set-up code that hangs (a child that never answers) ends at it
        # too, collection included, where pytest-timeout sees items only.
        # Bodies then run one `info frame` level deeper, which Tcl's own
        # suite would count.
        command.append(f"--tcl-timeout={limit:g}")
    if interpreter:
        command.append(f"--tcltest-interpreter={interpreter}")
    try:
        subprocess.run(command, cwd=tests, stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=limit * len(files) + 60)
    except subprocess.TimeoutExpired:
        return {name: (None, "the pytest run was killed") for name in files}
    results: Dict[str, Result] = {}
    if not os.path.exists(xml):
        return {name: (None, "pytest wrote no report") for name in files}
    tally: Dict[str, List[int]] = {name: [0, 0, 0, 0] for name in files}
    notes: Dict[str, List[str]] = {name: [] for name in files}
    # JUnit's class name of a case is its file's path with dots for slashes,
    # and more where the case's name holds "::" (tcllib's "docstrip::util-1").
    by_class = {name.replace("/", "."): name for name in files}
    for case in ET.parse(xml).getroot().iter("testcase"):
        classname, casename = case.get("classname", ""), case.get("name", "")
        name, parts = by_class.get(classname), classname.split(".")
        while name is None and len(parts) > 2:
            parts.pop()
            name = by_class.get(".".join(parts))
        if name is None:  # a collection error: classname is the folder, name the file
            path = "/".join([*classname.split(".")[1:], casename]) if "." in classname else casename
            name = path if path in tally else (casename if casename in tally else None)
            if name is not None:
                notes[name].append("collection error")
            continue
        kinds = {child.tag for child in case}
        count = tally[name]
        if "failure" in kinds or ("error" in kinds and not _teardown_only(case)):
            count[3] += 1
        elif "skipped" in kinds:
            count[2] += 1
        else:
            count[1] += 1
        if "error" in kinds and _teardown_only(case):
            notes[name].append("file error")
        count[0] += 1
    for name in files:
        total = tally[name]
        results[name] = (tuple(total) if total[0] or not notes[name] else None, ", ".join(notes[name]))  # type: ignore[assignment]
    return results


def _teardown_only(case: ET.Element) -> bool:
    error = case.find("error")
    return error is not None and "teardown" in (error.get("message", "") + (error.text or ""))[:200].lower()


def read_known(path: str) -> Dict[Tuple[str, str], str]:
    """(runner, file) -> cause, from lines `runner file cause...`."""
    known: Dict[Tuple[str, str], str] = {}
    if not os.path.exists(path):
        return known
    with open(path) as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip() if line.lstrip().startswith("#") else line.strip()
            if not line:
                continue
            words = line.split(None, 2)
            if len(words) < 3 or words[0] not in CHECKED:
                sys.exit(f"{path}:{number}: expected `runner file cause` with runner one of {', '.join(CHECKED)}")
            known[(words[0], words[1])] = words[2]
    return known


def ran(result: Result) -> Optional[Counts]:
    """The counts of a file that ran cases; None for one that ran none,
    whether it said so in a summary or gave none."""
    counts = result[0]
    return tuple(counts) if counts and counts[0] else None  # type: ignore[return-value]


def shown(result: Optional[Result]) -> str:
    if result is None:
        return "-"
    counts, note = result
    text = "/".join(map(str, counts)) if counts else "none"
    return f"{text} ({note})" if note and counts is None else text


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--suite", choices=("tcl", "tcllib"), default="tcl", help="Tcl's own suite, or tcllib's")
    parser.add_argument("--source", help="an unpacked source tree (default: fetched into build/tcl-suite)")
    parser.add_argument("--runners", default=",".join(RUNNERS), help="comma-separated, of " + ", ".join(RUNNERS))
    parser.add_argument("--only", nargs="*", help="these files of tests/ only")
    parser.add_argument("--limit", type=float, default=300, help="time limit of one file, in seconds")
    parser.add_argument("--known", help="the listed differences (default: tools/SUITE-suite-known.txt)")
    parser.add_argument("--interpreter", help="tcltest's interpreter for the pytest run (--tcltest-interpreter)")
    parser.add_argument("--save", help="write the results to this JSON file")
    parser.add_argument("--load", nargs="*", default=[],
                        help="results saved by --save of other runs, for the runners this one does not run")
    args = parser.parse_args()
    runners = [r for r in args.runners.split(",") if r]
    for runner in runners:
        if runner not in RUNNERS:
            parser.error(f"unknown runner {runner!r}")
    if "tclsh" not in runners and not args.load:
        runners.insert(0, "tclsh")

    version = tcl_version()
    source = os.path.abspath(args.source) if args.source else fetch(version, args.suite)
    folder = "tests" if args.suite == "tcl" else "modules"
    tests_dir = os.path.join(source, folder)
    pattern = "*.test" if args.suite == "tcl" else os.path.join("*", "*.test")
    files = sorted(os.path.relpath(p, tests_dir) for p in glob.glob(os.path.join(tests_dir, pattern)))
    if args.only:
        files = [f for f in files if f in set(args.only)]
    if not files:
        sys.exit(f"tcl-suite: no *.test files in {tests_dir}")
    tclsh = shutil.which(f"tclsh{'.'.join(version.split('.')[:2])}") or shutil.which("tclsh")
    if not tclsh:
        sys.exit("tcl-suite: no tclsh on PATH (Debian: tcl8.6)")
    suite = f"Tcl {version}'s" if args.suite == "tcl" else "tcllib's"
    print(f"{suite} suite from {source}: {len(files)} files", flush=True)

    results: Dict[str, Dict[str, Result]] = {}
    seconds: Dict[str, float] = {}
    with tempfile.TemporaryDirectory(prefix="tcl-suite-") as work:
        # tcllib's files, through a driver that loads tcltest first, as its sak.tcl does.
        driver = [] if args.suite == "tcl" else [os.path.join(work, "tcllib-driver.tcl")]
        if driver:
            with open(driver[0], "w") as f:
                f.write(DRIVER)
        for runner in runners:
            tree = os.path.join(work, runner)
            shutil.copytree(source, tree, symlinks=True)
            tests = os.path.join(tree, folder)
            if driver:  # tcllib's packages from the tree under test, as its harness puts them on auto_path
                os.environ["TCLLIBPATH"] = "{" + tests + "}"
            print(f"running {runner} ...", flush=True)
            start = time.monotonic()
            program = {"tclsh": [tclsh], "plain": [sys.executable, "-c", PLAIN],
                       "console": [sys.executable, "-m", "tarvo.tcl"]}.get(runner)
            if program is not None:
                results[runner] = run_each(program + driver, tests, files, args.limit, bool(driver))
            else:
                results[runner] = run_pytest(tests, files, args.limit, work, args.interpreter, args.suite == "tcllib")
            seconds[runner] = time.monotonic() - start
            shutil.rmtree(tree, ignore_errors=True)
    if args.save:
        with open(args.save, "w") as f:
            json.dump({"results": results, "seconds": seconds}, f)
    for path in args.load:
        with open(path) as f:
            saved = json.load(f)
        for runner, by_file in saved["results"].items():
            if runner not in results:
                results[runner] = {name: (tuple(c) if c else None, note) for name, (c, note) in by_file.items()}
                seconds[runner] = saved["seconds"][runner]
                runners.append(runner)
    runners = [r for r in RUNNERS if r in runners]

    known = read_known(args.known or KNOWN[args.suite])
    width = max(map(len, files))
    header = f"{'file':<{width}}  " + "  ".join(f"{r:<24}" for r in runners) + "  differs"
    print("\nTotal/Passed/Skipped/Failed per file")
    print(header)
    print("-" * len(header))
    unlisted: List[str] = []
    wrongly: List[str] = []
    agree = {runner: 0 for runner in runners}
    for name in files:
        measure = results["tclsh"][name]
        plain_differs = "plain" in results and ran(results["plain"][name]) != ran(measure)
        marks = []
        for runner in runners:
            if ran(results[runner][name]) == ran(measure):
                agree[runner] += ran(measure) is not None
                continue
            if runner not in CHECKED:
                continue
            cause = known.get((runner, name))
            if cause is None:
                marks.append(f"{runner}!")
                unlisted.append(f"{runner} {name}: {shown(results[runner][name])} against tclsh's {shown(measure)}")
            else:
                marks.append(runner)
                if "plain" in results and not plain_differs:
                    wrongly.append(f"{runner} {name}: listed, but plain tkinter agrees with tclsh")
        row = f"{name:<{width}}  " + "  ".join(f"{shown(results[r][name]):<24}" for r in runners)
        print(row + "  " + " ".join(marks))
    print()
    for runner in runners:
        totals = [sum((results[runner][n][0] or (0, 0, 0, 0))[i] for n in files) for i in range(4)]
        print(f"{runner:<8} {agree[runner]:>4} of {len(files)} files as tclsh; "
              f"{'/'.join(map(str, totals))} in all; {seconds[runner]:.0f} s")
    for line in wrongly:
        print("wrongly listed:", line)
    for line in unlisted:
        print("unlisted difference:", line)
    return 1 if unlisted or wrongly else 0


if __name__ == "__main__":
    sys.exit(main())
