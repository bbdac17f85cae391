// TransformerModel: configuration, training with early stopping, prediction.
#pragma once

#include "common/trainer.hpp"

namespace attnencoder {
namespace py = pybind11;

extern const alphaloom::TrainerSpec kSpec;

void trainer_init(py::handle net_cls, py::object self, py::object d_feat, py::object d_model,
                  py::object batch_size, py::object nhead, py::object num_layers,
                  py::object dropout, py::object n_epochs, py::object lr, py::object metric,
                  py::object early_stop, py::object loss, py::object optimizer, py::object reg,
                  py::object n_jobs, py::object gpu, py::object seed);
py::object trainer_mse(py::object self, py::object pred, py::object label);

}  // namespace attnencoder
