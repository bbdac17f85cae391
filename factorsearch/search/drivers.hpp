// FactorSearch's methods: construction, one mining attempt (f / f1) and the search drivers
// (hedge / long) with their result files under factors/.
#pragma once

#include "factorsearch/expr/evaluation.hpp"
#include "factorsearch/market/arguments.hpp"
#include "factorsearch/market/checks.hpp"
#include "factorsearch/search/result_files.hpp"

namespace factorsearch {

inline constexpr long kMaxAttempts = 9999999;

// Arguments keep FactorSearch's names only where a user sees them (signatures, messages); here
// frames = data1 (the stock frames), prices = price1, universe = zz500, wanted = ct, legs = l.

// The second half of an attempt, after the draw: evaluation and back-test of `drawn` over
// prepared data. The row [text, net value, Sharpe value, maxdown], or None without a back-test day.
// Raises what the evaluation raises; callers decide what counts as a miss.
py::object score_program(py::handle mod, py::handle self, const Drawn &drawn, const py::str &text,
                         const Market &market, std::int64_t legs, bool hedged);

// True for an error that ends an attempt as a miss: anything but an interrupt or exit request.
bool is_miss(py::error_already_set &e);

// One attempt: warnings silenced for its span, registration, draw and render (errors there reach the caller), then
// evaluation and back-test, where any error makes it a miss (None). `market` is the data
// prepared by a driver; without it the attempt prepares its own.
py::object attempt(py::handle mod, py::object self, py::handle frames, py::handle prices,
                   py::handle universe, std::int64_t legs, bool hedged,
                   const Market *market = nullptr);

void drive(py::handle mod, py::object self, py::handle frames, py::handle prices,
           py::handle universe, std::int64_t wanted, std::int64_t legs, bool hedged);

}  // namespace factorsearch
