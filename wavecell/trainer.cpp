#include "wavecell/trainer.hpp"

namespace wavecell {
using namespace alphaloom;

const TrainerSpec kSpec{"sfm_model", "sfm.pth", /*frame_output=*/false,
                        /*d_feat_on_model=*/false};

void sfm_init(py::handle net_cls, py::object self, py::object d_feat, py::object hidden_size,
              py::object output_dim, py::object freq_dim, py::object dropout_W,
              py::object dropout_U, py::object n_epochs, py::object lr, py::object metric,
              py::object batch_size, py::object early_stop, py::object eval_steps, py::object loss,
              py::object optimizer, py::object gpu, py::object seed) {
  Libs& L = libs();
  check_settings({{"d_feat", d_feat, Rule::AtLeastOne},
                  {"hidden_size", hidden_size, Rule::AtLeastOne},
                  {"dropout_W", dropout_W, Rule::Probability},
                  {"dropout_U", dropout_U, Rule::Probability},
                  {"n_epochs", n_epochs, Rule::NonNegative},
                  {"lr", lr, Rule::Rate},
                  {"batch_size", batch_size, Rule::AtLeastOne}});
  self.attr("print") = L.print;
  emit(self, "SFM pytorch version...");
  self.attr("d_feat") = d_feat;
  self.attr("hidden_size") = hidden_size;
  self.attr("output_dim") = output_dim;
  self.attr("freq_dim") = freq_dim;
  self.attr("dropout_W") = dropout_W;
  self.attr("dropout_U") = dropout_U;
  self.attr("n_epochs") = n_epochs;
  self.attr("lr") = lr;
  self.attr("metric") = metric;
  self.attr("batch_size") = batch_size;
  self.attr("early_stop") = early_stop;
  self.attr("eval_steps") = eval_steps;
  self.attr("optimizer") = optimizer.attr("lower")();
  self.attr("loss") = loss;
  py::object device = choose_device(gpu);
  self.attr("device") = device;
  self.attr("seed") = seed;

  emit(self, format("SFM parameters setting:\nd_feat : {}\nhidden_size : {}\noutput_size : {}"
                    "\nfrequency_dimension : {}\ndropout_W: {}\ndropout_U: {}\nn_epochs : {}"
                    "\nlr : {}\nmetric : {}\nbatch_size : {}\nearly_stop : {}\neval_steps : {}"
                    "\noptimizer : {}\nloss_type : {}\ndevice : {}\nuse_GPU : {}\nseed : {}",
                    d_feat, hidden_size, output_dim, freq_dim, dropout_W, dropout_U, n_epochs, lr,
                    metric, batch_size, early_stop, eval_steps, self.attr("optimizer"), loss,
                    device, py::bool_(is_gpu_device(device)), seed));

  if (!seed.is_none()) {
    L.np_seed(seed);
    L.manual_seed(seed);
  }
  py::object model =
      net_cls("d_feat"_a = d_feat, "output_dim"_a = output_dim, "hidden_size"_a = hidden_size,
              "freq_dim"_a = freq_dim, "dropout_W"_a = dropout_W, "dropout_U"_a = dropout_U,
              "device"_a = device);
  self.attr("sfm_model") = model;
  emit(self, format("model:\n{:}", model));
  self.attr("train_optimizer") = make_optimizer(self.attr("optimizer"), optimizer,
                                                model.attr("parameters")(), py::dict("lr"_a = lr));
  self.attr("fitted") = py::bool_(false);
  model.attr("to")(device);
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
