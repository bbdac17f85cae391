#include "attnencoder/trainer.hpp"

namespace attnencoder {
using namespace alphaloom;

const TrainerSpec kSpec{"model", "transformer.pth", /*frame_output=*/true,
                        /*d_feat_on_model=*/true};

void trainer_init(py::handle net_cls, py::object self, py::object d_feat, py::object d_model,
                  py::object batch_size, py::object nhead, py::object num_layers,
                  py::object dropout, py::object n_epochs, py::object lr, py::object metric,
                  py::object early_stop, py::object loss, py::object optimizer, py::object reg,
                  py::object n_jobs, py::object gpu, py::object seed) {
  Libs &L = libs();
  // Typed arguments are checked before anything is stored or printed.
  require_exact_int(d_feat, "d_feat");
  require_exact_int(d_model, "d_model");
  require_exact_int(batch_size, "batch_size");
  require_exact_int(nhead, "nhead");
  require_exact_int(num_layers, "num_layers");
  py::float_ dropout_f(to_double(dropout));
  check_settings({{"d_feat", d_feat, Rule::AtLeastOne},
                  {"d_model", d_model, Rule::AtLeastOne},
                  {"batch_size", batch_size, Rule::AtLeastOne},
                  {"nhead", nhead, Rule::AtLeastOne},
                  {"num_layers", num_layers, Rule::AtLeastOne},
                  {"dropout", dropout, Rule::Probability},
                  {"n_epochs", n_epochs, Rule::NonNegative},
                  {"lr", lr, Rule::Rate}});

  self.attr("print") = L.print;
  self.attr("d_model") = d_model;
  self.attr("dropout") = dropout_f;
  self.attr("n_epochs") = n_epochs;
  self.attr("lr") = lr;
  self.attr("reg") = reg;
  self.attr("metric") = metric;
  self.attr("batch_size") = batch_size;
  self.attr("early_stop") = early_stop;
  self.attr("optimizer") = optimizer.attr("lower")();
  self.attr("loss") = loss;
  self.attr("n_jobs") = n_jobs;
  py::object device = choose_device(gpu);
  self.attr("device") = device;
  self.attr("seed") = seed;

  emit(self, format("Naive Transformer:\nbatch_size : {}\ndevice : {}", batch_size, device));

  if (!seed.is_none()) {
    L.np_seed(seed);
    L.manual_seed(seed);
  }
  py::object model = net_cls(d_feat, d_model, nhead, num_layers, dropout_f, device);
  self.attr("model") = model;
  self.attr("train_optimizer") = make_optimizer(self.attr("optimizer"), optimizer,
                                                model.attr("parameters")(),
                                                py::dict("lr"_a = lr, "weight_decay"_a = reg));
  self.attr("fitted") = py::bool_(false);
  model.attr("to")(device);
}

py::object trainer_mse(py::object, py::object pred, py::object label) {
  Libs &L = libs();
  py::object diff = pred.attr("to")(L.float32) - label.attr("to")(L.float32);
  return L.mean(diff * diff);
}

}  // namespace attnencoder
