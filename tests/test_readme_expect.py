"""The README's section on Expect runs as written, and gives what its
comments say.

Each Python block of the section runs in turn, statement by statement, in one
namespace, from the top of the checkout.  A statement whose comment begins
with a Python literal (alone, or followed by ": ...") must give that value;
a `# TclError: text` line under a statement says that it raises TclError
with a message that begins with that text.
"""
import ast
import io
import os
import re
import tokenize

import pytest
from tkinter import TclError

from support.spawned import children, close_spawned, kill_and_reap, require_debian_package

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SECTION = "## Driving interactive programs with Expect"


def section_blocks(title=SECTION):
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as readme:
        text = readme.read()
    section = text.split(title + "\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```python\n(.*?)```", section, re.S)


def expected_value(comment):
    """The literal a comment begins with, as (True, value), or (False, None)."""
    text = comment.lstrip("#").strip()
    cuts = [len(text)] + [m.start() for m in re.finditer(": ", text)][::-1]
    for cut in cuts:
        try:
            return True, ast.literal_eval(text[:cut])
        except (ValueError, SyntaxError):
            continue
    return False, None


def steps(block):
    """(code, what it must give) per statement: ('value', v), ('raises', text) or None."""
    comments = {}
    for token in tokenize.generate_tokens(io.StringIO(block).readline):
        if token.type == tokenize.COMMENT:
            comments[token.start[0]] = (token.start[1], token.string)
    lines = block.splitlines()
    statements = ast.parse(block).body
    for i, node in enumerate(statements):
        code = "\n".join(lines[node.lineno - 1:node.end_lineno])
        check = None
        following = node.end_lineno + 1
        next_start = statements[i + 1].lineno if i + 1 < len(statements) else len(lines) + 1
        raises = [comments[n][1] for n in range(following, next_start)
                  if n in comments and comments[n][0] == 0 and comments[n][1].startswith("# TclError: ")]
        if raises:
            check = ("raises", raises[0][len("# TclError: "):])
        elif isinstance(node, ast.Expr) and node.end_lineno in comments:
            found, value = expected_value(comments[node.end_lineno][1])
            if found:
                check = ("value", value)
        yield node.lineno, code, isinstance(node, ast.Expr), check


def run_blocks(blocks, namespace):
    """Runs the statements of `blocks`, checking the results and errors
    their comments give; returns how many were checked."""
    checked = 0
    for block in blocks:
        for line, code, is_expression, check in steps(block):
            where = f"README line {line} of its block: {code}"
            if check and check[0] == "raises":
                with pytest.raises(TclError) as failure:
                    exec(compile(code, "README.md", "exec"), namespace)
                assert str(failure.value).startswith(check[1]), where
                checked += 1
            elif is_expression:
                value = eval(compile(code, "README.md", "eval"), namespace)
                if check:
                    assert value == check[1] and type(value) is type(check[1]), where
                    checked += 1
            else:
                exec(compile(code, "README.md", "exec"), namespace)
    return checked


def test_the_expect_section_runs_as_written(monkeypatch):
    require_debian_package("tcl-expect")
    monkeypatch.chdir(ROOT)
    namespace = {}
    before = children()
    try:
        checked = run_blocks(section_blocks(), namespace)
    finally:
        if "tcl" in namespace:
            close_spawned(namespace["tcl"])
        for pid in children() - before:
            kill_and_reap(pid)
    assert checked >= 10


def test_the_expect_example_runs():
    import subprocess
    import sys

    require_debian_package("tcl-expect")
    example = os.path.join(ROOT, "examples", "expect_console.py")
    out = subprocess.run([sys.executable, example], capture_output=True, text=True, timeout=60, check=True).stdout
    assert "['Unlocked.']" in out and "'no prompt within 1 s'" in out and "'CHILDKILLED', 'SIGHUP'" in out
    assert "'send ****'" in out and "hunter2" not in out


def test_the_good_to_know_section_runs_as_written():
    require_debian_package("tcllib")
    from tarvo.tcl.interpreter import Interpreter

    with Interpreter() as tcl:
        assert run_blocks(section_blocks("## Good to know"), {"tcl": tcl}) == 3
