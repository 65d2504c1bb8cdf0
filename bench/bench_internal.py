"""Tcl list parsing and dictionary order, against their peers."""
import functools
import random
import tkinter

from common import Row, per_call


def list_text(tk, count, seed=4):
    """A Tcl list of `count` elements, bare, braced and backslash-escaped, as Tcl writes it."""
    rng = random.Random(seed)
    kinds = [
        lambda i: f"item{i}",                 # bare
        lambda i: f"two words {i}",           # braced
        lambda i: f"open{{brace {i}",         # escaped: unbalanced brace
        lambda i: f'quote"and\\back {i}',     # escaped: quote and backslash
        lambda i: f"tab\there é{i}",          # braced, non-ASCII
    ]
    elements = [rng.choice(kinds)(i) for i in range(count)]
    return tk.call("list", *elements) if count > 1 else tk.call("list", elements[0])


def run():
    import baseline_internal
    from tarvo.tcl.internal import DictionaryCompare, GetListFromAny

    tk = tkinter.Tk(useTk=0).tk
    rows = []
    for count in (10_000, 10):
        text = str(list_text(tk, count))
        assert GetListFromAny(text) == tk.splitlist(text) == baseline_internal.read_list_text(text)
        ours = per_call(lambda: GetListFromAny(text))
        rows.append(Row(f"GetListFromAny({count:,} elements)", ours, "tk.splitlist",
                        per_call(lambda: tk.splitlist(text)), at_most=1.2))
        rows.append(Row(f"GetListFromAny({count:,} elements)", ours, "Python+ctypes loop",
                        per_call(lambda: baseline_internal.read_list_text(text), repeat=3),
                        at_least_faster=50))

    pair = ("Picture10b.png", "picture9B.png")
    rows.append(Row("DictionaryCompare(2 file names)", per_call(lambda: DictionaryCompare(*pair)),
                    "Python version", per_call(lambda: baseline_internal.DictionaryCompare(*pair)),
                    at_least_faster=20))

    rng = random.Random(9)
    alphabet = "aAbBzZ_-.09 " + "0123456789" * 2
    words = ["".join(rng.choice(alphabet) for _ in range(rng.randint(1, 12))) for _ in range(10_000)]
    key = functools.cmp_to_key(DictionaryCompare)
    assert sorted(words, key=key) == list(tk.splitlist(tk.call("lsort", "-dictionary", words)))
    rows.append(Row("sort 10,000 strings, cmp_to_key", per_call(lambda: sorted(words, key=key), repeat=3),
                    "lsort -dictionary", per_call(lambda: tk.call("lsort", "-dictionary", words), repeat=3)))
    return rows
