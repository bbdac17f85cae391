// SFM: configuration, training with early stopping, prediction (the loop itself is the shared
// batch trainer); AverageMeter, a running-average holder.
#pragma once

#include "common/saved_models.hpp"
#include "common/trainer.hpp"

namespace wavecell {
namespace py = pybind11;

extern const alphaloom::TrainerSpec kSpec;
extern const alphaloom::SavedForm kSavedForm;

// Stores the checked settings, prints them, seeds, builds the network and its optimiser.
void sfm_init(py::handle net_cls, py::object self, const alphaloom::Settings& settings);
py::object sfm_mse(py::object self, py::object pred, py::object label);

void average_meter_reset(py::object self);
void average_meter_update(py::object self, py::object val, py::object n);

}  // namespace wavecell
