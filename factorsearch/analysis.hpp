// Using a found formula: its factor panel (FactorSearch.factor), the report of one factor
// (factorsearch.report and the Report class) and the long-table reader (factorsearch.from_long).
// Interpreter layer; the numbers come from formula_parser, report and long_table.
#pragma once

#include "factorsearch/evaluation.hpp"

namespace factorsearch {

// The dates x codes float64 DataFrame of a formula text, evaluated as a mining attempt does.
py::object factor_frame(py::handle mod, py::object self, py::handle formula, py::handle data1,
                        py::handle zz500);

// Creates the module's `Report` class (with its plot method) and returns it.
py::object define_report_class(py::module_ &mod);

py::object make_report(py::handle report_cls, py::handle factor, py::handle price1, py::handle l,
                       py::handle long_only, py::handle quantiles, py::handle cost_bps,
                       py::handle start, py::handle end);

// (data1, price1, zz500) from a long table.
py::object from_long(py::handle frame, py::handle date, py::handle code, py::handle price);

}  // namespace factorsearch
