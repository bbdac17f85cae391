"""The alphaloom package: version from pyproject.toml, the four modules re-exported, and type
stubs that match the runtime (every public class, method, property and module function, with its
parameters, kinds and defaults, and a one-line docstring)."""
import ast
import importlib
import inspect
import pathlib
import re
import sys
import types

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
if (ROOT / "alphaloom" / "__init__.py").exists():
    sys.path.insert(0, str(ROOT))  # the checkout's package, not an older installed copy

import alphaloom  # noqa: E402

MODULES = ["attnencoder", "dualstream", "wavecell", "factorsearch"]
STUBS = pathlib.Path(alphaloom.__file__).resolve().parent
ANY_DEFAULT = object()  # a stub default written as `...`


def public_names(module):
    """What the module itself defines: classes and functions whose __module__ is the module.
    Python functions are skipped: operators evaluated or registered into factorsearch's namespace
    by a mining run (a lambda text, a user's function) look like the module's own."""
    for name, value in vars(module).items():
        if name.startswith("_") or not name.isidentifier():
            continue
        if isinstance(value, (types.ModuleType, types.FunctionType)):
            continue
        if getattr(value, "__module__", None) == module.__name__:
            yield name, value


def class_members(cls):
    for name, value in vars(cls).items():
        if name == "__init__" or not name.startswith("_"):
            yield name, value


def runtime_params(fn):
    params = inspect.signature(fn).parameters.values()
    return [(p.name, p.kind.name, p.default) for p in params]


def stub_params(node):
    a = node.args
    out = []
    positional = a.posonlyargs + a.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(a.defaults)) + a.defaults
    for arg, default in zip(positional, defaults):
        kind = "POSITIONAL_ONLY" if arg in a.posonlyargs else "POSITIONAL_OR_KEYWORD"
        out.append((arg.arg, kind, default))
    if a.vararg:
        out.append((a.vararg.arg, "VAR_POSITIONAL", inspect.Parameter.empty))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        out.append((arg.arg, "KEYWORD_ONLY", inspect.Parameter.empty if default is None else default))
    if a.kwarg:
        out.append((a.kwarg.arg, "VAR_KEYWORD", inspect.Parameter.empty))
    return [(n, k, d if d is inspect.Parameter.empty else
             ANY_DEFAULT if isinstance(d, ast.Constant) and d.value is ... else ast.literal_eval(d))
            for n, k, d in out]


def same_default(stub, runtime):
    if stub is ANY_DEFAULT:
        return runtime is not inspect.Parameter.empty
    return type(stub) is type(runtime) and stub == runtime


def compare_signature(where, stub_node, runtime_fn, problems):
    try:
        runtime = runtime_params(runtime_fn)
    except (TypeError, ValueError):
        problems.append(f"{where}: the runtime has no readable signature")
        return
    stub = stub_params(stub_node)
    if [(n, k) for n, k, _ in stub] != [(n, k) for n, k, _ in runtime]:
        problems.append(f"{where}: stub parameters {[n for n, _, _ in stub]} differ from the "
                        f"runtime's {[n for n, _, _ in runtime]} (or their kinds)")
        return
    for (name, _, s), (_, _, r) in zip(stub, runtime):
        if not same_default(s, r):
            problems.append(f"{where}: default of {name} is {s!r} in the stub, {r!r} at runtime")


def decorators(node):
    return {d.id for d in node.decorator_list if isinstance(d, ast.Name)}


def compare_member(where, node, value, problems):
    """One class attribute of the runtime against its stub entry."""
    if isinstance(value, property):
        if not isinstance(node, ast.FunctionDef) or "property" not in decorators(node):
            problems.append(f"{where}: a property at runtime, not one in the stub")
    elif isinstance(value, (staticmethod, classmethod)):
        kind = type(value).__name__
        if not isinstance(node, ast.FunctionDef) or kind not in decorators(node):
            problems.append(f"{where}: a {kind} at runtime, not one in the stub")
        else:
            compare_signature(where, node, value.__func__, problems)
    elif callable(value):
        if not isinstance(node, ast.FunctionDef):
            problems.append(f"{where}: a method at runtime, not a def in the stub")
        else:
            compare_signature(where, node, value, problems)
    elif not isinstance(node, ast.AnnAssign):
        problems.append(f"{where}: a class attribute at runtime, not an annotated name in the stub")


def entries(body):
    found = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            found[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            found[node.target.id] = node
    return found


def stub_problems(module_name):
    module = importlib.import_module(module_name)
    stub_file = STUBS / f"{module_name}.pyi"
    tree = ast.parse(stub_file.read_text(encoding="utf-8"))
    stub, problems = entries(tree.body), []
    missing = lambda where: problems.append(f"{where}: in the module, missing from {stub_file.name}")
    for name, value in public_names(module):
        where = f"{module_name}.{name}"
        node = stub.pop(name, None)
        if node is None:
            missing(where)
        elif isinstance(value, type):
            if not isinstance(node, ast.ClassDef):
                problems.append(f"{where}: a class at runtime, not in the stub")
                continue
            members = entries(node.body)
            for member, member_value in class_members(value):
                if member not in members:
                    missing(f"{where}.{member}")
                else:
                    compare_member(f"{where}.{member}", members.pop(member), member_value, problems)
            problems += [f"{where}.{m}: in {stub_file.name}, not in the module"
                         for m, n in members.items() if isinstance(n, ast.FunctionDef)]
        else:
            compare_member(where, node, value, problems)
    problems += [f"{module_name}.{n}: in {stub_file.name}, not in the module" for n in stub]
    return problems


@pytest.mark.parametrize("module_name", MODULES)
def test_stubs_match_the_runtime(module_name):
    problems = stub_problems(module_name)
    assert not problems, "stubs out of step with the modules:\n" + "\n".join(problems)


@pytest.mark.parametrize("module_name", MODULES)
def test_every_stub_entry_has_a_one_line_docstring(module_name):
    tree = ast.parse((STUBS / f"{module_name}.pyi").read_text(encoding="utf-8"))
    nodes = [n for n in ast.walk(tree) if isinstance(n, (ast.FunctionDef, ast.ClassDef))]
    bare = [n.name for n in nodes if "\n" in (ast.get_docstring(n) or "\n").strip() or
            not ast.get_docstring(n)]
    assert ast.get_docstring(tree) and not bare, f"entries without a one-line docstring: {bare}"


def test_checker_reports_drift(tmp_path, monkeypatch):
    """The comparison itself catches a renamed parameter, a changed default and a missing entry."""
    text = (STUBS / "wavecell.pyi").read_text(encoding="utf-8")
    text = text.replace("def update(self, val: Any", "def update(self, value: Any")
    text = text.replace("d_feat: int = 6,\n        hidden_size: int = 64,\n        output_dim: int = 32",
                        "d_feat: int = 7,\n        hidden_size: int = 64,\n        output_dim: int = 32")
    text = text.replace("    def reset(self) -> None:\n        \"\"\"val, avg, sum and count back to 0.\"\"\"\n", "")
    (tmp_path / "wavecell.pyi").write_text(text, encoding="utf-8")
    monkeypatch.setattr(sys.modules[__name__], "STUBS", tmp_path)
    problems = "\n".join(stub_problems("wavecell"))
    assert "wavecell.AverageMeter.update: stub parameters ['self', 'value', 'n']" in problems
    assert "wavecell.AverageMeter.reset: in the module, missing from wavecell.pyi" in problems
    assert "wavecell.SFM.__init__: default of d_feat is 7 in the stub, 6 at runtime" in problems


def test_version_is_the_one_in_pyproject():
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    expected = re.search(r'^version\s*=\s*"([^"]+)"', text, re.M).group(1)
    assert alphaloom.__version__ == expected


@pytest.mark.parametrize("module_name", MODULES)
def test_modules_reexported_as_the_same_objects(module_name):
    module = importlib.import_module(module_name)
    assert getattr(alphaloom, module_name) is module
    assert importlib.import_module(f"alphaloom.{module_name}") is module
    assert module_name in dir(alphaloom)


def test_package_is_typed_and_unknown_names_fail():
    assert (STUBS / "py.typed").exists()
    with pytest.raises(AttributeError, match="has no attribute 'nothing'"):
        alphaloom.nothing  # noqa: B018
