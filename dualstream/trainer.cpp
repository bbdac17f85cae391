#include "dualstream/trainer.hpp"

#include "common/libs.hpp"
#include "common/settings.hpp"

namespace dualstream {
using namespace alphaloom;

namespace {

py::object mse_loss(py::handle a, py::handle b) {
  return libs().torch.attr("nn").attr("functional").attr("mse_loss")(a, b);
}

py::object cross_entropy(py::handle a, py::handle b) {
  return libs().torch.attr("nn").attr("functional").attr("cross_entropy")(a, b);
}

py::object keep(py::handle record, const char *key, py::object loss) {
  if (!record.is_none()) record[py::str(key)] = loss.attr("item")();
  return loss;
}

py::object present(py::handle label) { return libs().isnan(label).attr("logical_not")(); }

}  // namespace

void add_init(py::handle net_cls, py::object self, py::object d_feat, py::object hidden_size,
              py::object num_layers, py::object dropout, py::object dec_dropout,
              py::object n_epochs, py::object lr, py::object metric, py::object batch_size,
              py::object early_stop, py::object base_model, py::object model_path,
              py::object optimizer, py::object gamma, py::object gamma_clip, py::object mu,
              py::object gpu, py::object seed) {
  Libs &L = libs();
  check_settings({{"d_feat", d_feat, Rule::AtLeastOne},
                  {"hidden_size", hidden_size, Rule::AtLeastOne},
                  {"num_layers", num_layers, Rule::AtLeastOne},
                  {"dropout", dropout, Rule::Probability},
                  {"dec_dropout", dec_dropout, Rule::Probability},
                  {"n_epochs", n_epochs, Rule::NonNegative},
                  {"lr", lr, Rule::Rate},
                  {"batch_size", batch_size, Rule::AtLeastOne}});
  self.attr("print") = L.print;
  emit(self, "ADD pytorch version...");
  self.attr("d_feat") = d_feat;
  self.attr("hidden_size") = hidden_size;
  self.attr("num_layers") = num_layers;
  self.attr("dropout") = dropout;
  self.attr("dec_dropout") = dec_dropout;
  self.attr("n_epochs") = n_epochs;
  self.attr("lr") = lr;
  self.attr("metric") = metric;
  self.attr("batch_size") = batch_size;
  self.attr("early_stop") = early_stop;
  py::object name = optimizer.attr("lower")();
  self.attr("optimizer") = name;
  self.attr("base_model") = base_model;
  self.attr("model_path") = model_path;
  self.attr("device") = choose_device(gpu);
  self.attr("seed") = seed;
  self.attr("gamma") = gamma;
  self.attr("gamma_clip") = gamma_clip;
  self.attr("mu") = mu;

  emit(self, format("ADD parameters setting:\nd_feat : {}\nhidden_size : {}\nnum_layers : {}\n"
                    "dropout : {}\ndec_dropout : {}\nn_epochs : {}\nlr : {}\nmetric : {}\n"
                    "batch_size : {}\nearly_stop : {}\noptimizer : {}\nbase_model : {}\n"
                    "model_path : {}\ngamma : {}\ngamma_clip : {}\nmu : {}\ndevice : {}\n"
                    "use_GPU : {}\nseed : {}",
                    d_feat, hidden_size, num_layers, dropout, dec_dropout, n_epochs, lr, metric,
                    batch_size, early_stop, name, base_model, model_path, gamma, gamma_clip, mu,
                    self.attr("device"), self.attr("use_gpu"), seed));

  // Seeded after the settings are printed and before the network exists, so the initial
  // weights follow the seed.
  if (!self.attr("seed").is_none()) {
    L.np_seed(seed);
    L.manual_seed(seed);
  }
  py::object model = net_cls(
      "d_feat"_a = self.attr("d_feat"), "hidden_size"_a = self.attr("hidden_size"),
      "num_layers"_a = self.attr("num_layers"), "dropout"_a = self.attr("dropout"),
      "dec_dropout"_a = self.attr("dec_dropout"), "base_model"_a = self.attr("base_model"),
      "gamma"_a = self.attr("gamma"), "gamma_clip"_a = self.attr("gamma_clip"));
  self.attr("ADD_model") = model;
  emit(self, format("model:\n{:}", model));

  self.attr("train_optimizer") = make_optimizer(name, optimizer, model.attr("parameters")(),
                                                py::dict("lr"_a = self.attr("lr")));
  self.attr("fitted") = py::bool_(false);
  model.attr("to")(self.attr("device"));
}

bool add_use_gpu(py::object self) { return is_gpu_device(self.attr("device")); }

py::object loss_pre_excess(py::object, py::object pred_excess, py::object label_excess,
                           py::object record) {
  py::object mask = present(label_excess);
  return keep(record, "pre_excess_loss", mse_loss(pred_excess[mask], label_excess[mask]));
}

py::object loss_pre_market(py::object, py::object pred_market, py::object label_market,
                           py::object record) {
  return keep(record, "pre_market_loss", cross_entropy(pred_market, label_market));
}

py::object loss_pre(py::object self, py::object pred_excess, py::object label_excess,
                    py::object pred_market, py::object label_market, py::object record) {
  py::object excess = self.attr("loss_pre_excess")(pred_excess, label_excess, record);
  py::object market = self.attr("loss_pre_market")(pred_market, label_market, record);
  return keep(record, "pre_loss", excess + market);
}

py::object loss_adv_excess(py::object, py::object adv_excess, py::object label_excess,
                           py::object record) {
  // Only trailing unit axes go: removing every unit axis would also drop the row axis of a
  // one-row batch (a day with a single instrument) and the row mask would no longer fit.
  while (py::int_(adv_excess.attr("dim")()).cast<long>() > 1 &&
         py::int_(adv_excess.attr("size")(-1)).cast<long>() == 1)
    adv_excess = adv_excess.attr("squeeze")(-1);
  py::object mask = present(label_excess);
  return keep(record, "adv_excess_loss", mse_loss(adv_excess[mask], label_excess[mask]));
}

py::object loss_adv_market(py::object, py::object adv_market, py::object label_market,
                           py::object record) {
  return keep(record, "adv_market_loss", cross_entropy(adv_market, label_market));
}

py::object loss_adv(py::object self, py::object adv_excess, py::object label_excess,
                    py::object adv_market, py::object label_market, py::object record) {
  py::object excess = self.attr("loss_adv_excess")(adv_excess, label_excess, record);
  py::object market = self.attr("loss_adv_market")(adv_market, label_market, record);
  return keep(record, "adv_loss", excess + market);
}

py::object loss_rec(py::object self, py::object x, py::object rec_x, py::object record) {
  py::object window = x.attr("reshape")(py::len(x), self.attr("d_feat"), -1).attr("permute")(0, 2, 1);
  return keep(record, "rec_loss", mse_loss(window, rec_x));
}

py::object loss_fn(py::object self, py::object x, py::object preds, py::object label_excess,
                   py::object label_market, py::object record) {
  py::object pre = self.attr("loss_pre")(preds[py::str("excess")], label_excess,
                                         preds[py::str("market")], label_market, record);
  py::object adv = self.attr("loss_adv")(preds[py::str("adv_excess")], label_excess,
                                         preds[py::str("adv_market")], label_market, record);
  py::object both = pre + adv;
  py::object mu = self.attr("mu");  // read per call: callers may change it between batches
  py::object rec = self.attr("loss_rec")(x, preds[py::str("reconstructed_feature")], record);
  return keep(record, "loss", both + mu * rec);
}

}  // namespace dualstream
