#include "dualstream/losses.hpp"

#include "common/libs.hpp"

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
