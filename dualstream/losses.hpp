// The loss terms of the ADD trainer: prediction, adversarial and reconstruction losses and
// their weighted total.
#pragma once

#include "common/pyglue.hpp"

namespace dualstream {
namespace py = pybind11;

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
