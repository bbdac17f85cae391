// ADD: construction of the network and optimiser, the training epochs, fit and prediction. The
// loop itself is the shared trainer skeleton (common/trainer.hpp); what is ADD's own lives in
// losses.*, regimes.* and evaluation.* (day-wise evaluation). Free functions taking the ADD
// object first; module.cpp binds them as methods.
#pragma once

#include "common/pyglue.hpp"
#include "common/settings.hpp"

namespace dualstream {
namespace py = pybind11;

// Stores the checked settings, prints them, seeds, builds ADD_model and its optimiser.
// `net_cls` is ADDModel.
void add_init(py::handle net_cls, py::object self, const alphaloom::Settings &settings);
bool add_use_gpu(py::object self);

py::object train_epoch(py::object self, py::object x_train_values, py::object y_train_values,
                       py::object m_train_values);
py::object bootstrap_fit(py::object self, py::object x_train, py::object y_train,
                         py::object m_train, py::object x_valid, py::object y_valid,
                         py::object m_valid);
py::object fit(py::object self, py::object dataset1, py::object evals_result,
               py::object save_path);
py::object predict(py::object self, py::object dataset1);

}  // namespace dualstream
