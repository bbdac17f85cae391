import math
import random

import numpy as np
import pandas as pd
import pytest
import ta

import factorsearch
from factorsearch import FactorSearch

from alphaloom._testing import fs_reference


def test_namespace_holds_the_libraries_in_import_order():
    names = list(vars(factorsearch))
    star = list(ta.__all__)
    expected = ["pd", "random", "np", "warnings", *star, "math"]
    positions = [names.index(n) for n in expected]
    assert positions == sorted(positions)
    assert factorsearch.pd is pd and factorsearch.np is np and factorsearch.math is math
    assert factorsearch.random is random
    assert all(getattr(factorsearch, n) is getattr(ta, n) for n in star)


@pytest.mark.parametrize("pair", [("abs", "1"), ["abs", 1], ("abs", 1.0), ["abs", np.int64(1)]])
def test_construction_normalises_each_pair(pair):
    fs = FactorSearch([pair])
    assert fs.fuc is fs.fuc1
    assert fs.fuc1 == [["abs", 1]] and type(fs.fuc1[0]) is list and type(fs.fuc1[0][1]) is int
    assert fs.function == ["abs"] and fs.fc == [abs]
    assert list(vars(fs)) == ["fuc", "fuc1", "function", "fc"]


def test_fields_are_one_constant_list():
    a, b = FactorSearch([["abs", 1]]), FactorSearch([["np.log", 1]])
    assert a.fields == ["open", "high", "low", "close", "volume"] and a.fields is b.fields


@pytest.mark.parametrize("name,expected", [
    ("np.log", np.log), ("math.sqrt", math.sqrt), ("pd.Series.rank", pd.Series.rank),
    ("len", len),
    ("add_volume_ta", ta.add_volume_ta),          # a public name of ta, plain
    ("momentum.rsi", ta.momentum.rsi),            # a dotted path through a ta submodule
    ("volatility.average_true_range", ta.volatility.average_true_range),
])
def test_names_resolve_in_the_module_namespace(name, expected):
    assert FactorSearch([[name, 1]]).fc == [expected]


def test_other_text_is_evaluated_with_the_constructor_names_visible():
    fs = FactorSearch([["lambda x: 2 * x", 1], ("type(i)", 1), ("self.__class__", 1)])
    assert fs.fc[0](3) == 6
    assert fs.fc[1] is tuple and fs.fc[2] is FactorSearch


@pytest.mark.parametrize("pairs,error", [
    ([["no_such_op", 1]], NameError),
    ([["np.no_such_op", 1]], AttributeError),
    ([["momentum.no_such_op", 1]], AttributeError),
    ([["np.log(", 1]], SyntaxError),
    ([["abs", "one"]], ValueError),
    ([["abs"]], IndexError),
])
def test_bad_operators_raise_the_interpreter_error(pairs, error):
    with pytest.raises(error):
        FactorSearch([["np.log", 1]] + pairs)


def test_a_failed_construction_keeps_what_it_assigned():
    fs = FactorSearch.__new__(FactorSearch)
    with pytest.raises(NameError, match="name 'nope' is not defined"):
        fs.__init__([["abs", 1], ("nope", 2), ["len", 1]])
    assert fs.fuc1 == [["abs", 1], ["nope", 2]] and fs.function == ["abs", "nope"]
    assert fs.fc == [abs]


@pytest.mark.parametrize("arity", [0, -1, "0"])
def test_an_operator_without_arguments_is_rejected(arity):
    with pytest.raises(ValueError, match="at least one argument"):
        FactorSearch([["abs", 1], ["np.log", arity]])


def depth_profile(program):
    """(depth of every operator, depth of every terminal); asserts the program is one tree."""
    ops, terms, stack = [], [], []
    for node in program:
        assert stack or not ops, "elements after the tree closed"
        if isinstance(node, int):
            terms.append(len(stack))
            while stack:
                stack[-1] -= 1
                if stack[-1]:
                    break
                stack.pop()
        else:
            ops.append(len(stack))
            stack.append(node[1])
    assert not stack
    return ops, terms


@pytest.mark.parametrize("ops,length", [
    ([["np.add", 2]], 15), ([["abs", 1]], 4),
    ([["abs", 1], ["np.add", 2], ["np.subtract", 2], ["np.log", 1]], None)])
def test_programs_are_full_trees_of_depth_three(ops, length):
    fs = FactorSearch(ops)
    random.seed(3)
    lengths = set()
    for _ in range(60):
        program = fs.build_program()
        op_depths, term_depths = depth_profile(program)
        assert set(op_depths) == {0, 1, 2} and set(term_depths) == {3}
        assert all(any(node is entry for entry in fs.fuc) for node in program
                   if not isinstance(node, int))
        assert all(0 <= node <= 4 for node in program if isinstance(node, int))
        lengths.add(len(program))
    if length is not None:
        assert lengths == {length}
    else:
        assert min(lengths) >= 4 and max(lengths) <= 15 and len(lengths) > 3


def test_binary_operator_positions():
    fs = FactorSearch([["np.add", 2]])
    program = fs.build_program()
    positions = [k for k, node in enumerate(program) if node is fs.fuc[0]]
    assert positions == [0, 1, 2, 5, 8, 9, 12]


@pytest.mark.parametrize("seed", [0, 1, 42])
def test_draws_follow_the_documented_order(seed):
    fs = FactorSearch([["abs", 1], ["np.add", 2], ["np.subtract", 2], ["np.log", 1]])
    random.seed(seed)
    ours = [fs.build_program() for _ in range(5)]
    after_ours = random.random()
    random.seed(seed)
    theirs = [fs_reference.build_program(fs.fuc) for _ in range(5)]
    assert random.random() == after_ours
    assert ours == theirs
    assert all(a is not b for a, b in zip(ours, ours[1:]))


def test_an_empty_operator_list_fails_at_the_first_draw(market):
    fs = FactorSearch([])
    assert fs.fuc == [] and fs.fc == []
    with pytest.raises(ValueError):
        fs.build_program()
    data1, price1, codes = market
    with pytest.raises(ValueError):
        fs.f(data1, price1, codes, 2)


def test_an_arity_changed_to_zero_later_is_refused_rather_than_looping():
    fs = FactorSearch([["abs", 1]])
    fs.fuc[0][1] = 0
    with pytest.raises(ValueError, match="at least one argument"):
        fs.build_program()


A2, B1, C2, A1, C1 = ["A", 2], ["B", 1], ["C", 2], ["A", 1], ["C", 1]


@pytest.mark.parametrize("program,text", [
    ([A2, B1, 3, C2, 0, 4], "A(B(close), C(open, volume))"),
    ([A2, 3, 4], "A(close, volume)"),
    ([A1, B1, C1, 0], "A(B(C(open)))"),
    ([["np.log", 1], ["momentum.rsi", 1], ["abs", 1], 2], "np.log(momentum.rsi(abs(low)))"),
    ([3], "close"),
])
def test_rendering(program, text):
    assert FactorSearch([["abs", 1]]).fuctions(program) == text


def test_rendering_of_a_binary_tree_and_its_separators():
    fs = FactorSearch([["np.add", 2], ["np.subtract", 2]])
    random.seed(5)
    for _ in range(10):
        program = fs.build_program()
        text = fs.fuctions(program)
        assert text == fs_reference.render(program)
        assert text.count("(") == 7 and text.count(")") == 7 and text.count(", ") == 7
        assert "(, " not in text and not text.endswith(", ")

