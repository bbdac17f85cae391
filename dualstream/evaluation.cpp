#include "dualstream/evaluation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "common/trainer.hpp"
#include "dualstream/daily.hpp"
#include "dualstream/inputs.hpp"

namespace dualstream {
using namespace alphaloom;

namespace {

// Names of the per-day metrics, in the order the trainer reports them.
constexpr const char *kMetricNames[daily::kMetricCount] = {
    "pre_excess_loss", "pre_market_loss", "pre_loss", "adv_excess_loss",
    "adv_market_loss", "adv_loss",        "rec_loss", "loss",
    "mse",             "ic",              "ric"};

struct EvalSplit {
  py::array x;                   // (n, F) float32
  py::array y;                   // (n,) float32
  py::array_t<std::int64_t> m;   // (n,) int64
  daily::DayRanges days;
  long long n = 0;
};

EvalSplit eval_split(py::handle self, py::handle data_x, py::handle data_y, py::handle data_m) {
  EvalSplit s;
  s.x = feature_matrix(data_x, "data_x");
  require_feature_width(s.x.shape(1), self.attr("d_feat"), "data_x");
  s.n = s.x.shape(0);
  s.y = label_vector(data_y, s.n, "data_y");
  s.m = class_vector(data_m, s.n, "data_m");
  s.days = day_ranges_of(data_x, "data_x");
  return s;
}

// The per-row terms of one block (5, rows): excess prediction, adversarial excess prediction,
// market and adversarial market cross-entropy, reconstruction error.
py::object row_terms(py::handle preds, py::handle feature, py::handle label_market,
                     long long rows, long long d_feat) {
  Libs &L = libs();
  py::object cross_entropy = L.torch.attr("nn").attr("functional").attr("cross_entropy");
  py::object rec_x = preds[py::str("reconstructed_feature")];
  py::object x3 = feature.attr("reshape")(rows, d_feat, -1).attr("permute")(0, 2, 1);
  py::object diff = x3 - rec_x;
  py::object rec = (diff * diff).attr("reshape")(rows, -1).attr("mean")(1);
  py::object terms = L.torch.attr("stack")(
      py::make_tuple(preds[py::str("excess")].attr("reshape")(-1),
                     preds[py::str("adv_excess")].attr("reshape")(-1),
                     cross_entropy(preds[py::str("market")], label_market, "reduction"_a = "none"),
                     cross_entropy(preds[py::str("adv_market")], label_market,
                                   "reduction"_a = "none"),
                     rec),
      0);
  return terms.attr("to")(L.float32);
}

// Per-day metrics (n_days x kMetricCount) of the network on one split: per-row terms from
// blockwise forward passes (rows are independent in eval() mode), reduced per day in C++.
std::vector<double> split_day_metrics(py::handle self, const EvalSplit &s) {
  Libs &L = libs();
  py::object device = self.attr("device");
  const long long d_feat = whole_setting(self.attr("d_feat"), "d_feat");
  py::object m_all = writable_tensor(s.m);
  py::list parts;
  forward_blocks(self.attr("ADD_model"), writable_tensor(s.x), device, s.n, eval_rows(self),
                 [&](py::handle feature, py::object preds, long long b, long long e) {
                   py::object label_market = m_all[py::slice(b, e, 1)].attr("to")(device);
                   parts.append(row_terms(preds, feature, label_market, e - b, d_feat));
                 });
  py::object all = L.cat(parts, 1).attr("cpu")().attr("contiguous")();
  py::array_t<float, py::array::c_style> host(all.attr("numpy")());
  auto h = host.unchecked<2>();
  auto y = py::array_t<float, py::array::c_style>(s.y).unchecked<1>();
  const auto n = static_cast<std::size_t>(s.n);
  auto row = [&](int k) { return std::span<const float>(h.data(k, 0), n); };
  daily::RowTerms t{row(0), row(1), row(2), row(3), row(4), std::span<const float>(y.data(0), n)};
  py::gil_scoped_release nogil;
  return daily::day_metrics(t, s.days);
}

py::dict metrics_dict(std::span<const double> values) {
  py::dict d;
  for (int k = 0; k < daily::kMetricCount; ++k) d[kMetricNames[k]] = py::float_(values[k]);
  return d;
}

// Prediction and label of one day as float64 host arrays: the correlations are computed in
// double precision whatever the dtype.
py::array_t<double, py::array::c_style> host_float64(py::handle t) {
  py::object flat =
      t.attr("detach")().attr("reshape")(-1).attr("to")("cpu", libs().torch.attr("float64"));
  return py::array_t<double, py::array::c_style>(flat.attr("contiguous")().attr("numpy")());
}

// Minus the mean squared error over rows with a label (NaN when none has one).
double negative_mse(std::span<const double> p, std::span<const double> y) {
  double sq = 0.0;
  std::size_t known = 0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (std::isnan(y[i])) continue;
    const double e = p[i] - y[i];
    sq += e * e;
    ++known;
  }
  return known ? -sq / static_cast<double>(known) : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

py::object get_daily_inter(py::object, py::object df, py::object shuffle) {
  Libs &L = libs();
  daily::DayRanges days = day_ranges_of(df, "the frame");
  const auto n = static_cast<py::ssize_t>(days.size());
  py::array_t<std::int64_t> index(n), count(n);
  std::copy(days.start.begin(), days.start.end(), index.mutable_data());
  std::copy(days.count.begin(), days.count.end(), count.mutable_data());
  if (!py::bool_(shuffle)) return py::make_tuple(index, count);
  py::list pairs;
  for (py::ssize_t i = 0; i < n; ++i)
    pairs.append(py::make_tuple(index[py::int_(i)], count[py::int_(i)]));
  L.np_shuffle(pairs);
  py::list starts, counts;
  for (py::handle p : pairs) {
    starts.append(p[py::int_(0)]);
    counts.append(p[py::int_(1)]);
  }
  return py::make_tuple(py::tuple(starts), py::tuple(counts));
}

py::object cal_ic_metrics(py::object, py::object pred, py::object label) {
  py::array_t<double, py::array::c_style> p = host_float64(pred), y = host_float64(label);
  if (p.shape(0) != y.shape(0))
    raise(PyExc_ValueError, "pred has " + std::to_string(p.shape(0)) + " values and label " +
                                std::to_string(y.shape(0)));
  const auto n = static_cast<std::size_t>(p.shape(0));
  std::span<const double> ps(p.data(), n), ys(y.data(), n);
  double mse;
  daily::Correlations c;
  {
    py::gil_scoped_release nogil;
    mse = negative_mse(ps, ys);
    c = daily::correlations(ps, ys);
  }
  py::dict d;
  d["mse"] = mse;
  d["loss"] = mse;
  d["ic"] = c.pearson;
  d["ric"] = c.spearman;
  return d;
}

py::object test_epoch(py::object self, py::object data_x, py::object data_y, py::object data_m) {
  EvalSplit s = eval_split(self, data_x, data_y, data_m);
  std::vector<double> per_day = split_day_metrics(self, s);
  return metrics_dict(daily::mean_over_days(per_day, s.days.size()));
}

bool is_metric_name(py::handle name) {
  for (const char *known : kMetricNames)
    if (name.equal(py::str(known))) return true;
  return false;
}

py::object log_metrics(py::object self, py::object mode, py::object metrics) {
  py::list pieces;
  py::str fmt("{}/{}: {:.6f}");
  py::object items = metrics.attr("items")();
  for (py::handle kv : items) pieces.append(fmt.format(kv[py::int_(0)], mode, kv[py::int_(1)]));
  emit(self, py::str(", ").attr("join")(pieces));
  return py::none();
}

}  // namespace dualstream
