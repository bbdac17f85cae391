// SFM: configuration, training with early stopping, prediction (the loop itself is the shared
// batch trainer); AverageMeter, a running-average holder.
#pragma once

#include "common/trainer.hpp"

namespace wavecell {
namespace py = pybind11;

extern const alphaloom::TrainerSpec kSpec;

void sfm_init(py::handle net_cls, py::object self, py::object d_feat, py::object hidden_size,
              py::object output_dim, py::object freq_dim, py::object dropout_W,
              py::object dropout_U, py::object n_epochs, py::object lr, py::object metric,
              py::object batch_size, py::object early_stop, py::object eval_steps, py::object loss,
              py::object optimizer, py::object gpu, py::object seed);
py::object sfm_mse(py::object self, py::object pred, py::object label);

void average_meter_reset(py::object self);
void average_meter_update(py::object self, py::object val, py::object n);

}  // namespace wavecell
