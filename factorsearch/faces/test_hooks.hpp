// The module's private hooks for tests and benchmarks: a native `ta` kernel, a program's panel and
// the back-test alone, each over plain arrays.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "factorsearch/expr/evaluation.hpp"

namespace factorsearch {

// Native `ta` kernel over dates x stocks arrays: inputs in the function's positional order,
// output of the same shape, on up to `threads` threads (0: every usable core).
py::object ta_panel(const std::string &module, const std::string &name, py::args inputs,
                    int threads);

// The dates x stocks factor panel of a program given as a list of `self`, as an attempt
// evaluates it (errors are raised, not caught).
py::object evaluate_list(py::handle mod, py::handle self, py::handle program, py::handle data1,
                         py::handle price1, py::handle zz500);

// The back-test alone over a dates x stocks factor array and price array:
// (daily returns, net value, Sharpe value, maxdown), or None without a back-test day.
py::object backtest_arrays(py::handle panel, py::handle prices, py::handle legs, bool hedged);

// For tests: the mean daily rank correlation mine and evolve bound near-copies with, between two
// dates x stocks arrays over the days [first_day, end_day).
double rank_correlation(py::handle a, py::handle b, std::size_t first_day, std::size_t end_day);

// For tests: `count` (parent, donor, child) triples of one variation, programs as lists of
// (operator or -1, field or -1, arity).
py::list gp_samples(std::vector<std::int64_t> arities, std::pair<std::int64_t, std::int64_t> init_depth,
                    std::int64_t max_depth, const std::string &variation, std::int64_t count,
                    std::uint64_t seed);

}  // namespace factorsearch
