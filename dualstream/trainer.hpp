// ADD: construction of the network and optimiser, the training epochs, fit and prediction. The
// loop itself is the shared trainer skeleton (common/trainer.hpp); what is ADD's own lives in
// losses.*, regimes.* and evaluation.* (day-wise evaluation). Free functions taking the ADD
// object first; module.cpp binds them as methods.
#pragma once

#include "common/pyglue.hpp"

namespace dualstream {
namespace py = pybind11;

// `net_cls` is ADDModel.
void add_init(py::handle net_cls, py::object self, py::object d_feat, py::object hidden_size,
              py::object num_layers, py::object dropout, py::object dec_dropout,
              py::object n_epochs, py::object lr, py::object metric, py::object batch_size,
              py::object early_stop, py::object base_model, py::object model_path,
              py::object optimizer, py::object gamma, py::object gamma_clip, py::object mu,
              py::object gpu, py::object seed);
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
