"""Every parameter of every factorsearch entry point with a rule in the argument table, attacked
with values its rule refuses: each is refused before any work, in the one message form
"<name> must be <what>, got <value>", and nothing is printed or written."""
import inspect
import os
import re

import pytest

import factorsearch

TABLE = factorsearch._arguments
BAD = {
    "whole": ["3", 2.5, True, None, float("nan")],
    "switch": [None, 2, "no", 0.5],
    "seed": [-1, 2.5, "7", True],
    "probability": [-0.1, 1.5, "0.5", True, float("nan")],
    "progress": [1, "yes", 0.0],
    "correlation": [0, 0.0, -0.5, 1.5, float("nan"), float("inf"), "0.5", True],
}


def valid(rule, minimum):
    return {"whole": minimum + 1, "switch": False, "seed": 1, "probability": 0.5,
            "progress": False, "correlation": 0.5}.get(rule)


def entry(name):
    if name.startswith("FactorSearch."):
        return getattr(factorsearch.FactorSearch([["np.add", 2]]), name.split(".", 1)[1])
    return getattr(factorsearch, name)


def attacks():
    for name, params in TABLE.items():
        for k, (param, _, rule, minimum, maximum, _) in enumerate(params):
            if rule == "any":
                continue
            bad = list(BAD[rule])
            if rule == "whole":
                bad.append(minimum - 1)
                if maximum < 2**63 - 1:
                    bad.append(maximum + 1)
            for value in bad:
                yield pytest.param(name, k, value, id=f"{name}-{param}={value!r}")


@pytest.mark.parametrize("name,k,value", list(attacks()))
def test_a_refused_value_names_its_parameter(in_tmp, capsys, name, k, value):
    params = TABLE[name]
    kwargs = {}
    for param, default, rule, minimum, _, _ in params:
        if default is None:
            kwargs[param] = valid(rule, minimum)
    kwargs[params[k][0]] = value
    with pytest.raises((ValueError, TypeError)) as info:
        entry(name)(**kwargs)
    assert re.fullmatch(rf"{re.escape(params[k][0])} must be .+, got {re.escape(repr(value))}",
                        str(info.value)), str(info.value)
    assert capsys.readouterr() == ("", "")
    assert os.listdir(in_tmp) == []


@pytest.mark.parametrize("name", sorted(TABLE))
def test_the_signature_is_the_table(name):
    sig = inspect.signature(entry(name))
    assert [(p.name, p.kind == p.KEYWORD_ONLY) for p in sig.parameters.values()] == [
        (param, keyword_only) for param, *_, keyword_only in TABLE[name]]
