#include "wavecell/trainer.hpp"

namespace wavecell {
using namespace alphaloom;

const TrainerSpec kSpec{"sfm_model", "sfm.pth", /*frame_output=*/false,
                        /*d_feat_on_model=*/false};
const SavedForm kSavedForm{"wavecell.SFM", "sfm_model", {nullptr, nullptr}};

namespace {

void print_settings(py::handle self) {
  auto a = [&](const char* name) { return self.attr(name); };
  emit(self, format("SFM parameters setting:\nd_feat : {}\nhidden_size : {}\noutput_size : {}"
                    "\nfrequency_dimension : {}\ndropout_W: {}\ndropout_U: {}\nn_epochs : {}"
                    "\nlr : {}\nmetric : {}\nbatch_size : {}\nearly_stop : {}\neval_steps : {}"
                    "\noptimizer : {}\nloss_type : {}\ndevice : {}\nuse_GPU : {}\nseed : {}",
                    a("d_feat"), a("hidden_size"), a("output_dim"), a("freq_dim"), a("dropout_W"),
                    a("dropout_U"), a("n_epochs"), a("lr"), a("metric"), a("batch_size"),
                    a("early_stop"), a("eval_steps"), a("optimizer"), a("loss"), a("device"),
                    py::bool_(is_gpu_device(a("device"))), a("seed")));
}

}  // namespace

void sfm_init(py::handle net_cls, py::object self, const Settings& settings) {
  Libs& L = libs();
  begin_trainer_init(self, settings);
  emit(self, "SFM pytorch version...");
  settings.keep_on(self);
  print_settings(self);

  py::object seed = settings["seed"];
  if (!seed.is_none()) {
    L.np_seed(seed);
    L.manual_seed(seed);
  }
  // The network gets the trainer's values, never SFM_Model's own defaults.
  py::object device = self.attr("device");
  py::object model = net_cls(
      "d_feat"_a = settings["d_feat"], "output_dim"_a = settings["output_dim"],
      "hidden_size"_a = settings["hidden_size"], "freq_dim"_a = settings["freq_dim"],
      "dropout_W"_a = settings["dropout_W"], "dropout_U"_a = settings["dropout_U"],
      "device"_a = device);
  self.attr("sfm_model") = model;
  emit(self, format("model:\n{:}", model));
  self.attr("train_optimizer") =
      make_optimizer(self.attr("optimizer"), settings["optimizer"], model.attr("parameters")(),
                     py::dict("lr"_a = settings["lr"]));
  self.attr("fitted") = py::bool_(false);
  model.attr("to")(device);
  finish_trainer_init(self, settings);
}

py::object sfm_mse(py::object, py::object pred, py::object label) {
  py::object diff = pred - label;
  return libs().mean(diff * diff);
}

void average_meter_reset(py::object self) {
  py::int_ zero(0);
  self.attr("val") = zero;
  self.attr("avg") = zero;
  self.attr("sum") = zero;
  self.attr("count") = zero;
}

void average_meter_update(py::object self, py::object val, py::object n) {
  self.attr("val") = val;
  py::object sum = py::object(self.attr("sum")) + val * n;
  py::object count = py::object(self.attr("count")) + n;
  self.attr("sum") = sum;
  self.attr("count") = count;
  self.attr("avg") = sum / count;
}

}  // namespace wavecell
