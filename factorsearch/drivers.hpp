// FactorSearch's methods: construction, one mining attempt (f / f1) and the search drivers
// (hedge / long) with their result files under factors/.
#pragma once

#include "factorsearch/evaluation.hpp"

namespace factorsearch {

inline constexpr long kMaxAttempts = 9999999;

void search_init(py::handle mod, py::object self, py::object fuc);

// One attempt: warnings off, registration, draw and render (errors there reach the caller), then
// evaluation and back-test, where any error makes it a miss (None). `market` is the data
// prepared by a driver; without it the attempt prepares its own.
py::object attempt(py::handle mod, py::object self, py::handle data1, py::handle price1,
                   py::handle zz500, py::handle l, bool hedged, const Market *market = nullptr);

void drive(py::handle mod, py::object self, py::handle data1, py::handle price1,
           py::handle zz500, py::handle ct, py::handle l, bool hedged);

// The back-test alone over a dates x stocks factor array and price array:
// (daily returns, net value, sharp, maxdown), or None without a back-test day.
py::object backtest_arrays(py::handle panel, py::handle prices, py::handle l, bool hedged);

}  // namespace factorsearch
