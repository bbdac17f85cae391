// Day-wise evaluation of the ADD trainer: day ranges, per-day IC metrics, one evaluation pass
// over a split (blockwise forward passes reduced per day in C++), the metric line. Free functions
// taking the ADD object first; module.cpp binds them as methods.
#pragma once

#include "common/pyglue.hpp"

namespace dualstream {
namespace py = pybind11;

py::object get_daily_inter(py::object self, py::object df, py::object shuffle);
py::object cal_ic_metrics(py::object self, py::object pred, py::object label);
py::object test_epoch(py::object self, py::object data_x, py::object data_y, py::object data_m);
py::object log_metrics(py::object self, py::object mode, py::object metrics);

// True when `name` is one of the keys of test_epoch's record.
bool is_metric_name(py::handle name);

}  // namespace dualstream
