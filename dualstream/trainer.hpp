// ADD: configuration, construction of the network and optimiser, and the loss terms.
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

// The loss terms. Each returns a scalar tensor that keeps the graph and, when `record` is not
// None, stores its value under its key. The composite terms call their parts through the
// object, so a subclass that overrides a part changes the whole.
py::object loss_pre_excess(py::object self, py::object pred_excess, py::object label_excess,
                           py::object record);
py::object loss_pre_market(py::object self, py::object pred_market, py::object label_market,
                           py::object record);
py::object loss_pre(py::object self, py::object pred_excess, py::object label_excess,
                    py::object pred_market, py::object label_market, py::object record);
py::object loss_adv_excess(py::object self, py::object adv_excess, py::object label_excess,
                           py::object record);
py::object loss_adv_market(py::object self, py::object adv_market, py::object label_market,
                           py::object record);
py::object loss_adv(py::object self, py::object adv_excess, py::object label_excess,
                    py::object adv_market, py::object label_market, py::object record);
py::object loss_rec(py::object self, py::object x, py::object rec_x, py::object record);
py::object loss_fn(py::object self, py::object x, py::object preds, py::object label_excess,
                   py::object label_market, py::object record);

}  // namespace dualstream
