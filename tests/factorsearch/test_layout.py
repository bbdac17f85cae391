"""The stage folders of factorsearch: an include never runs from a lower stage to a higher one,
headers include no cycle, and the root holds only the module's assembly."""
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SRC = ROOT / "factorsearch"
# Lower stages first; a file may include its own stage, lower ones and common/.
STAGES = ["kernels", "backtest", "market", "expr", "runtime", "search", "faces", "forecast"]
RANK = {name: k for k, name in enumerate(STAGES)}
RANK["forecast"] = RANK["faces"]  # siblings: neither includes the other
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)

pytestmark = pytest.mark.skipif(not SRC.is_dir(), reason="sources not beside the tests")


def units():
    return sorted(p for p in SRC.rglob("*") if p.suffix in (".cpp", ".hpp", ".inc"))


def stage(path):
    rel = path.relative_to(SRC).parts
    return rel[0] if len(rel) > 1 else None


def includes(path):
    return [inc for inc in INCLUDE.findall(path.read_text()) if inc.startswith("factorsearch/")]


def test_root_holds_only_the_assembly():
    loose = [p.name for p in SRC.iterdir() if p.is_file()]
    assert set(loose) <= {"module.cpp", "arguments.hpp", "arguments.cpp"}, loose
    assert {stage(p) for p in units()} - {None} <= set(STAGES)


def test_no_include_runs_up_a_stage():
    upward = []
    for p in units():
        own = stage(p)
        for inc in includes(p):
            target = pathlib.Path(inc).parts[1]
            assert (SRC / pathlib.Path(*pathlib.Path(inc).parts[1:])).is_file(), (p, inc)
            if own is None:
                continue  # the assembly may include any stage
            if target not in RANK or RANK[target] > RANK[own] or (
                    target != own and RANK[target] == RANK[own]):
                upward.append(f"{p.relative_to(ROOT)} -> {inc}")
    assert not upward, "\n".join(upward)


def test_headers_include_no_cycle():
    graph = {str(p.relative_to(ROOT)): [i for i in includes(p) if i.endswith((".hpp", ".inc"))]
             for p in units() if p.suffix != ".cpp"}
    state = {}

    def visit(node, trail):
        if state.get(node) == "done":
            return
        assert state.get(node) != "open", " -> ".join(trail + [node])
        state[node] = "open"
        for nxt in graph.get(node, []):
            visit(nxt, trail + [node])
        state[node] = "done"

    for node in graph:
        visit(node, [])
