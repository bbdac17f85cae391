// Interpreter layer of the research-validity checks: FactorSearch.lookahead (a formula evaluated
// on data cut at several dates against its whole-data values) and factorsearch.deflated_sharpe.
// The numbers come from selection_checks.hpp and common/sharpe_inference.hpp.
#pragma once

#include "factorsearch/expr/evaluation.hpp"

namespace factorsearch {

// One row per cut: cut (the first date left out), compared, changed, first_changed (NaT: none).
py::object lookahead_frame(py::handle mod, py::object self, py::handle formula, py::handle data1,
                           py::handle zz500, std::int64_t cuts);


// The deflated Sharpe of a return series against the per-day SRs of the tries it was chosen from.
double deflated_sharpe_of(py::handle returns, py::handle trial_sharpes);

}  // namespace factorsearch
