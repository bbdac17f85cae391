#include "attnencoder/trainer.hpp"

namespace attnencoder {
using namespace alphaloom;

const TrainerSpec kSpec{"model", "transformer.pth", /*frame_output=*/true,
                        /*d_feat_on_model=*/true};
const SavedForm kSavedForm{"attnencoder.TransformerModel", "model", {nullptr, nullptr}};

void trainer_init(py::handle net_cls, py::object self, const Settings &settings) {
  Libs &L = libs();
  begin_trainer_init(self, settings);
  settings.keep_on(self);
  py::object device = self.attr("device");
  emit(self, format("Naive Transformer:\nbatch_size : {}\ndevice : {}", settings["batch_size"],
                    device));

  py::object seed = settings["seed"];
  if (!seed.is_none()) {
    L.np_seed(seed);
    L.manual_seed(seed);
  }
  py::object model = net_cls(settings["d_feat"], settings["d_model"], settings["nhead"],
                             settings["num_layers"], settings["dropout"], device,
                             settings["dim_feedforward"]);
  self.attr("model") = model;
  self.attr("train_optimizer") = make_optimizer(
      self.attr("optimizer"), settings["optimizer"], model.attr("parameters")(),
      py::dict("lr"_a = settings["lr"], "weight_decay"_a = settings["reg"]));
  self.attr("fitted") = py::bool_(false);
  model.attr("to")(device);
  finish_trainer_init(self, settings);
}

py::object trainer_mse(py::object, py::object pred, py::object label) {
  Libs &L = libs();
  py::object diff = pred.attr("to")(L.float32) - label.attr("to")(L.float32);
  return L.mean(diff * diff);
}

}  // namespace attnencoder
