// factorsearch.report and the Report class it returns: the Python face of report.*.
#pragma once

#include "common/pyglue.hpp"
#include "factorsearch/market/arguments.hpp"

namespace factorsearch {
namespace py = pybind11;

// Creates the module's `Report` class (with its plot method) and returns it.
py::object define_report_class(py::module_ &mod);

// factorsearch.report(factor, price1, l, long_only, quantiles, cost_bps, start, end) as a
// `report_cls`, its arguments as the table of factorsearch/arguments.hpp binds and checks them.
py::object make_report(py::handle report_cls, const Args &args);

}  // namespace factorsearch
