// TransformerModel: configuration, training with early stopping, prediction.
#pragma once

#include "common/saved_models.hpp"
#include "common/trainer.hpp"

namespace attnencoder {
namespace py = pybind11;

extern const alphaloom::TrainerSpec kSpec;
extern const alphaloom::SavedForm kSavedForm;

// Stores the checked settings, prints the header, seeds, builds the network and its optimiser.
void trainer_init(py::handle net_cls, py::object self, const alphaloom::Settings &settings);
py::object trainer_mse(py::object self, py::object pred, py::object label);

}  // namespace attnencoder
