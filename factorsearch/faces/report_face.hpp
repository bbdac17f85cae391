// factorsearch.report and the Report class it returns: the Python face of report.*.
#pragma once

#include "common/pyglue.hpp"

namespace factorsearch {
namespace py = pybind11;

// Creates the module's `Report` class (with its plot method) and returns it.
py::object define_report_class(py::module_ &mod);

// factorsearch.report(factor, price1, l, long_only, quantiles, cost_bps, start, end) as a
// `report_cls`.
py::object make_report(py::handle report_cls, py::handle factor, py::handle price1, py::handle l,
                       py::handle long_only, py::handle quantiles, py::handle cost_bps,
                       py::handle start, py::handle end, py::handle warmup);

}  // namespace factorsearch
