"""The README's "Testing with pytest" shows real runs: its sample test file
fails with the Tcl history shown there, and its console session answers
as shown."""
import pathlib
import re
import subprocess
import sys

README = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text()
SECTION = README.split("## Testing with pytest\n", 1)[1].split("\n## ", 1)[0]
BLOCKS = re.findall(r"```(\w+)\n(.*?)```", SECTION, re.S)
STAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}: ")


def block(kind, index=0):
    return [text for language, text in BLOCKS if language == kind][index]


def history(text):
    """The lines of the first Tcl history section in `text`, without timestamps."""
    lines = text.split("- Tcl history -", 1)[1].splitlines()[1:]
    ending = next((i for i, line in enumerate(lines) if re.match(r"[=_-]{5}", line)), len(lines))
    return [STAMP.sub("TIME: ", line) for line in lines[:ending]]


def test_the_failing_sample_test(pytester):
    sample = block("python")
    name = sample.splitlines()[0].removeprefix("# ")
    pytester.makepyfile(**{name.removesuffix(".py"): sample})
    result = pytester.runpytest()
    result.assert_outcomes(passed=1, failed=1)
    shown = block("text", 0)
    assert history(result.stdout.str()) == history(shown)
    # The traceback too, as far as it does not depend on the Python version.
    for line in shown.splitlines():
        if line.startswith("E "):
            assert line in result.stdout.lines


def test_the_console_session():
    session = block("text", 1).splitlines()
    assert session[0] == "$ python -m tarvo.tcl"
    typed = [line[2:] for line in session[2:] if line.startswith(("% ", "> "))]
    shown = [STAMP.sub("TIME: ", line) for line in session[2:] if not line.startswith(("% ", "> ", "%"))]
    # Piped, the console prints results as on a terminal once Tcl is told
    # it is interactive (whose own result is the first line); its prompts
    # are made empty.
    told = ["set tcl_prompt1 {}", "set tcl_prompt2 {}", "set tcl_interactive 1"]
    out = subprocess.run(
        [sys.executable, "-m", "tarvo.tcl"], input="\n".join([*told, *typed]) + "\n",
        capture_output=True, text=True, timeout=60,
    )
    assert (out.returncode, out.stderr) == (0, "")
    assert [STAMP.sub("TIME: ", line) for line in out.stdout.splitlines()] == ["1", *shown]
