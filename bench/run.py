"""Runs the benchmarks (all bench_*.py modules, or those named on the command
line) and prints one table of ratios, every pair measured in this one run."""
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
# The interpreted baselines are the test suite's oracles too: they live there.
sys.path.insert(0, str(HERE.parent / "tests" / "support"))

from common import print_table  # noqa: E402


def main(names):
    names = names or sorted(p.stem for p in HERE.glob("bench_*.py"))
    rows = []
    for name in names:
        module = __import__(name)
        print(f"running {name} ...", file=sys.stderr)
        rows.extend(module.run())
    print_table(rows)


if __name__ == "__main__":
    main(sys.argv[1:])
