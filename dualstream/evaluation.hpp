// Day-wise evaluation, market regimes, training loop, fit and prediction of the ADD trainer.
// Free functions taking the ADD object first; module.cpp binds them as methods.
#pragma once

#include "common/pyglue.hpp"

namespace dualstream {
namespace py = pybind11;

py::object get_daily_inter(py::object self, py::object df, py::object shuffle);
py::object cal_ic_metrics(py::object self, py::object pred, py::object label);
py::object test_epoch(py::object self, py::object data_x, py::object data_y, py::object data_m);
py::object train_epoch(py::object self, py::object x_train_values, py::object y_train_values,
                       py::object m_train_values);
py::object log_metrics(py::object self, py::object mode, py::object metrics);
py::object bootstrap_fit(py::object self, py::object x_train, py::object y_train,
                         py::object m_train, py::object x_valid, py::object y_valid,
                         py::object m_valid);
py::object gen_market_label(py::object self, py::object df, py::object raw_label);
py::object fit_thresh(py::object self, py::object train_label);
py::object fit(py::object self, py::object dataset1, py::object evals_result,
               py::object save_path);
py::object predict(py::object self, py::object dataset1);

}  // namespace dualstream
