"""Keyed lists: reading Tcl text and path operations, against NestMap in
interpreted Python following the same rules (baseline_nestmap)."""
from common import Row, per_call


def keyed_list_text(width=10):
    """A keyed list of width**3 leaves, three levels deep; every third leaf
    is a value of several words."""

    def leaf(i, j, k):
        return f"{{port {i} {j} {k}}}" if k % 3 == 0 else f"value{i}{j}{k}"

    def level(entries):
        return " ".join(f"{{{key} {value}}}" for key, value in entries)

    return level(
        (f"group{i}", "{" + level(
            (f"item{j}", "{" + level((f"field{k}", leaf(i, j, k)) for k in range(width)) + "}")
            for j in range(width)
        ) + "}")
        for i in range(width)
    )


def run():
    import baseline_nestmap
    from tarvo.tcl.nestmap import NestMap

    text = keyed_list_text()
    ours, peer = NestMap.from_tcl(text), baseline_nestmap.NestMap.from_tcl(text)
    assert len(ours.all_keys()) == 1000 and ours.all_items() == peer.all_items()

    rows = [Row("NestMap.from_tcl(1,000 leaves, 3 deep)", per_call(lambda: NestMap.from_tcl(text)),
                "Python NestMap", per_call(lambda: baseline_nestmap.NestMap.from_tcl(text)), at_least_faster=20)]
    path = "group5.item5.field5"
    for what, operation in (
        ("lookup", lambda tree: tree[path]),
        ("assignment", lambda tree: tree.__setitem__(path, "new")),
        ("membership", lambda tree: path in tree),
    ):
        rows.append(Row(f"NestMap path {what} (3 levels)", per_call(lambda: operation(ours)),
                        "Python NestMap", per_call(lambda: operation(peer)), at_least_faster=5))
    return rows
