#include "dualstream/evaluation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include <pybind11/numpy.h>

#include "common/libs.hpp"
#include "common/settings.hpp"
#include "dualstream/daily.hpp"

namespace dualstream {
using namespace alphaloom;

namespace {

// Rows per forward pass when evaluating or predicting. In eval() mode rows do not interact, so
// the budget only trades memory for fewer passes. On a CPU the arithmetic dominates and a
// moderate block stays in cache; on a GPU each pass costs a fixed number of kernel launches
// (the decoder's T steps), so the block is larger. An object may override it with an
// `eval_rows` attribute.
constexpr long long kEvalRowsCpu = 4096;
constexpr long long kEvalRowsGpu = 16384;

// Names of the per-day metrics, in the order the trainer reports them.
constexpr const char *kMetricNames[daily::kMetricCount] = {
    "pre_excess_loss", "pre_market_loss", "pre_loss", "adv_excess_loss",
    "adv_market_loss", "adv_loss",        "rec_loss", "loss",
    "mse",             "ic",              "ric"};

long long to_ll(py::handle v) {
  return py::int_(py::reinterpret_borrow<py::object>(v)).cast<long long>();
}

long long eval_rows(py::handle self) {
  long long rows = is_gpu_device(self.attr("device")) ? kEvalRowsGpu : kEvalRowsCpu;
  if (py::hasattr(self, "eval_rows")) {
    py::object v = self.attr("eval_rows");
    if (!v.is_none()) rows = to_ll(v);
  }
  if (rows <= 0) raise(PyExc_ValueError, "eval_rows must be positive");
  return rows;
}

std::string repr_of(py::handle o) { return py::repr(o).cast<std::string>(); }

// ---------------------------------------------------------------------------------------------
// Conversions of caller data, each checked before anything changes.

void require_type(py::handle obj, py::handle type, const char *type_name_, const char *what) {
  if (!py::isinstance(obj, type))
    raise(PyExc_TypeError, std::string(what) + " must be a pandas " + type_name_ + ", got " +
                               type_name(obj));
}

void require_frame(py::handle obj, const char *what) {
  require_type(obj, libs().DataFrame, "DataFrame", what);
}

// A C-contiguous NumPy array of `dtype` holding `values` (no copy when it already is one).
py::array contiguous(py::handle values, py::handle dtype) {
  return libs().np_ascontiguousarray(values, "dtype"_a = dtype);
}

// Feature columns as one C-contiguous float32 (n, F) array.
py::array feature_matrix(py::handle frame, const char *what) {
  require_frame(frame, what);
  py::handle f32 = libs().np_float32;
  py::array a = contiguous(frame.attr("to_numpy")("dtype"_a = f32), f32);
  const long long width = a.ndim() == 2 ? a.shape(1) : 0;
  if (width == 0) raise(PyExc_ValueError, std::string(what) + " has no feature columns");
  return a;
}

void require_width(long long width, py::handle self, const char *what) {
  long long d = to_ll(self.attr("d_feat"));
  if (d <= 0 || width % d != 0)
    raise(PyExc_ValueError, std::string(what) + " has " + std::to_string(width) +
                                " feature columns, which is not a multiple of d_feat=" +
                                std::to_string(d));
}

// A label Series (or one-column frame / array) as a flat float32 array of `n` values.
py::array label_vector(py::handle y, long long n, const char *what) {
  py::object v = py::reinterpret_borrow<py::object>(y);
  if (py::hasattr(v, "to_numpy")) v = v.attr("to_numpy")();
  py::array a = contiguous(libs().np.attr("asarray")(v).attr("reshape")(-1), libs().np_float32);
  if (a.shape(0) != n)
    raise(PyExc_ValueError, std::string(what) + " has " + std::to_string(a.shape(0)) +
                                " values for " + std::to_string(n) + " feature rows");
  return a;
}

// Market-regime classes as int64, each 0, 1 or 2. A missing class (NaN) cannot be trained or
// scored, and a cast would turn it into an arbitrary integer, so it is an error here.
py::array_t<std::int64_t> class_vector(py::handle m, long long n, const char *what) {
  py::object v = py::reinterpret_borrow<py::object>(m);
  if (py::hasattr(v, "to_numpy")) v = v.attr("to_numpy")();
  py::array_t<double, py::array::c_style> f =
      contiguous(libs().np.attr("asarray")(v, "dtype"_a = libs().np_float64).attr("reshape")(-1),
                 libs().np_float64);
  if (f.shape(0) != n)
    raise(PyExc_ValueError, std::string(what) + " has " + std::to_string(f.shape(0)) +
                                " values for " + std::to_string(n) + " feature rows");
  py::array_t<std::int64_t> out(n);
  auto src = f.unchecked<1>();
  auto dst = out.mutable_unchecked<1>();
  for (long long i = 0; i < n; ++i) {
    const double c = src(i);
    if (!(c == 0.0 || c == 1.0 || c == 2.0))
      raise(PyExc_ValueError, std::string(what) + " holds " + repr_of(py::float_(c)) + " at row " +
                                  std::to_string(i) +
                                  "; market-regime classes must be 0, 1 or 2 (a day without any "
                                  "known label has no class)");
    dst(i) = static_cast<std::int64_t>(c);
  }
  return out;
}

// Day ranges from the first index level, in one pass over sorted day codes.
daily::DayRanges day_ranges_of(py::handle frame, const char *what) {
  Libs &L = libs();
  if (py::len(frame) == 0) raise(PyExc_ValueError, std::string(what) + " has no rows");
  py::object level = frame.attr("index").attr("get_level_values")(0);
  py::tuple fact = L.pd.attr("factorize")(level, "sort"_a = true);
  py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> codes(fact[0]);
  auto view = codes.unchecked<1>();
  std::span<const std::int64_t> span(view.data(0), static_cast<std::size_t>(view.shape(0)));
  try {
    py::gil_scoped_release nogil;
    return daily::day_ranges(span);
  } catch (const daily::DayOrderError &e) {
    const auto r = static_cast<py::ssize_t>(e.row);
    raise(PyExc_ValueError,
          std::string(what) + " is not ordered by day: row " + std::to_string(e.row) +
              " (day " + py::str(level[py::int_(r)]).cast<std::string>() + ") follows day " +
              py::str(level[py::int_(r - 1)]).cast<std::string>() +
              "; sort it by its first index level so that each day's rows are contiguous and "
              "the days ascending");
  } catch (const daily::MissingDayError &e) {
    raise(PyExc_ValueError, std::string(what) + " has no day in the first index level at row " +
                                std::to_string(e.row));
  }
}

// torch.from_numpy shares the memory; a read-only array (pandas hands out read-only views) is
// copied first, since torch cannot mark a tensor read-only.
py::object tensor(py::array array) {
  if (!array.writeable()) array = py::array(libs().np.attr("array")(array));
  return libs().tensor_from_numpy(array);
}

// ---------------------------------------------------------------------------------------------
// One evaluation pass over a split: per-row terms from batched forward passes (rows are
// independent in eval() mode), reduced per day in C++.

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
  require_width(s.x.shape(1), self, "data_x");
  s.n = s.x.shape(0);
  s.y = label_vector(data_y, s.n, "data_y");
  s.m = class_vector(data_m, s.n, "data_m");
  s.days = day_ranges_of(data_x, "data_x");
  return s;
}

// Per-day metrics (n_days x kMetricCount) of the network on one split.
std::vector<double> split_day_metrics(py::handle self, const EvalSplit &s) {
  Libs &L = libs();
  py::object model = self.attr("ADD_model");
  py::object device = self.attr("device");
  const long long d_feat = to_ll(self.attr("d_feat"));
  const long long budget = eval_rows(self);
  py::object cross_entropy = L.torch.attr("nn").attr("functional").attr("cross_entropy");
  py::object stack = L.torch.attr("stack");
  model.attr("eval")();
  py::object x_all = tensor(s.x), m_all = tensor(s.m);
  py::list parts;
  {
    NoGrad no_grad;
    for (long long b = 0; b < s.n; b += budget) {
      const long long e = std::min(s.n, b + budget), rows = e - b;
      py::slice sl(b, e, 1);
      py::object feature = x_all[sl].attr("to")(device);
      py::object label_market = m_all[sl].attr("to")(device);
      py::dict preds = model(feature);
      py::object rec_x = preds["reconstructed_feature"];
      py::object x3 = feature.attr("reshape")(rows, d_feat, -1).attr("permute")(0, 2, 1);
      py::object diff = x3 - rec_x;
      py::object rec = (diff * diff).attr("reshape")(rows, -1).attr("mean")(1);
      py::object terms = stack(
          py::make_tuple(preds["excess"].attr("reshape")(-1),
                         preds["adv_excess"].attr("reshape")(-1),
                         cross_entropy(preds["market"], label_market, "reduction"_a = "none"),
                         cross_entropy(preds["adv_market"], label_market, "reduction"_a = "none"),
                         rec),
          0);
      parts.append(terms.attr("to")(L.float32));
    }
  }
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

}  // namespace

// ---------------------------------------------------------------------------------------------
// Day grouping and metrics

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
  Libs &L = libs();
  // float64 on the host: the correlations are computed in double precision whatever the dtype
  auto host = [&](py::object t) {
    py::object flat =
        t.attr("detach")().attr("reshape")(-1).attr("to")("cpu", L.torch.attr("float64"));
    return py::array_t<double, py::array::c_style>(flat.attr("contiguous")().attr("numpy")());
  };
  py::array_t<double, py::array::c_style> p = host(pred), y = host(label);
  if (p.shape(0) != y.shape(0))
    raise(PyExc_ValueError, "pred has " + std::to_string(p.shape(0)) + " values and label " +
                                std::to_string(y.shape(0)));
  const auto n = static_cast<std::size_t>(p.shape(0));
  std::span<const double> ps(p.data(), n), ys(y.data(), n);
  double mse;
  daily::Correlations c;
  {
    py::gil_scoped_release nogil;
    double sq = 0.0;
    std::size_t known = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (std::isnan(ys[i])) continue;
      const double e = ps[i] - ys[i];
      sq += e * e;
      ++known;
    }
    mse = known ? -sq / static_cast<double>(known) : std::numeric_limits<double>::quiet_NaN();
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

py::object log_metrics(py::object self, py::object mode, py::object metrics) {
  py::list pieces;
  py::str fmt("{}/{}: {:.6f}");
  py::object items = metrics.attr("items")();
  for (py::handle kv : items) pieces.append(fmt.format(kv[py::int_(0)], mode, kv[py::int_(1)]));
  emit(self, py::str(", ").attr("join")(pieces));
  return py::none();
}

// ---------------------------------------------------------------------------------------------
// Training

py::object train_epoch(py::object self, py::object x_train_values, py::object y_train_values,
                       py::object m_train_values) {
  Libs &L = libs();
  py::object model = self.attr("ADD_model");
  py::object device = self.attr("device");
  py::object opt = self.attr("train_optimizer");
  py::object loss_fn = self.attr("loss_fn");
  py::object params = model.attr("parameters");
  py::object zero_grad = opt.attr("zero_grad"), step = opt.attr("step");
  const long long bs = batch_size_of(self);
  py::array x = contiguous(x_train_values, L.np_float32);
  if (x.ndim() != 2) raise(PyExc_ValueError, "the training features must be a 2-d array");
  const long long n = x.shape(0);
  py::array y = label_vector(y_train_values, n, "the training labels");
  py::array_t<std::int64_t> m = class_vector(m_train_values, n, "the training classes");
  model.attr("train")();
  py::object indices = L.np_arange(n);
  L.np_shuffle(indices);
  py::object idx_all = tensor(indices);
  py::object xt = tensor(x), yt = tensor(y), mt = tensor(m);
  py::object x_sel = xt.attr("index_select"), y_sel = yt.attr("index_select"),
             m_sel = mt.attr("index_select");
  for (long long i = 0; i < n; i += bs) {
    if (n - i < bs) break;
    py::object idx = idx_all[py::slice(i, i + bs, 1)];
    py::object feature = x_sel(0, idx).attr("to")(device);
    py::object label_excess = y_sel(0, idx).attr("to")(device);
    py::object label_market = m_sel(0, idx).attr("to")(device);
    py::object preds = model(feature);
    py::object loss = loss_fn(feature, preds, label_excess, label_market);
    zero_grad();
    loss.attr("backward")();
    L.clip_grad_value(params(), 3.0);
    step();
  }
  return py::none();
}

py::object bootstrap_fit(py::object self, py::object x_train, py::object y_train,
                         py::object m_train, py::object x_valid, py::object y_valid,
                         py::object m_valid) {
  Libs &L = libs();
  long long stop_steps = 0, best_epoch = 0;
  py::object best_score = py::float_(-std::numeric_limits<double>::infinity());
  py::object best_param;  // unset until an epoch improves
  emit(self, "training...");
  self.attr("fitted") = py::bool_(true);

  // converted once; train_epoch accepts the arrays as they are
  py::array x_train_values =
      contiguous(x_train.attr("to_numpy")("dtype"_a = L.np_float32), L.np_float32);
  py::object y_train_values = L.np.attr("squeeze")(y_train.attr("to_numpy")());
  py::object m_train_values = L.np.attr("squeeze")(m_train.attr("to_numpy")());

  py::object model = self.attr("ADD_model");
  const long long n_epochs = n_epochs_of(self);
  const long long early_stop = to_ll(self.attr("early_stop"));
  py::object metric = self.attr("metric");
  for (long long step = 0; step < n_epochs; ++step) {
    emit(self, percent("Epoch%d:", py::make_tuple(step)));
    emit(self, "training...");
    self.attr("train_epoch")(x_train_values, y_train_values, m_train_values);
    emit(self, "evaluating...");
    py::object train_metrics = self.attr("test_epoch")(x_train, y_train, m_train);
    py::object valid_metrics = self.attr("test_epoch")(x_valid, y_valid, m_valid);
    self.attr("log_metrics")("train", train_metrics);
    self.attr("log_metrics")("valid", valid_metrics);
    if (!valid_metrics.contains(metric))
      raise(PyExc_ValueError,
            percent("unknown metric name `%s`", py::make_tuple(metric)).cast<std::string>());
    py::object val_score = valid_metrics[metric];
    const int better = PyObject_RichCompareBool(val_score.ptr(), best_score.ptr(), Py_GT);
    if (better < 0) throw py::error_already_set();
    if (better) {
      best_score = val_score;
      stop_steps = 0;
      best_epoch = step;
      best_param = L.copy.attr("deepcopy")(model.attr("state_dict")());
    } else {
      stop_steps += 1;
      if (stop_steps >= early_stop) {
        emit(self, "early stop");
        break;
      }
    }
    model.attr("before_adv_excess").attr("step_alpha")();
    model.attr("before_adv_market").attr("step_alpha")();
  }
  emit(self, format("bootstrap_fit best score: {:.6f} @ {}", best_score, best_epoch));
  if (!best_param)
    raise(PyExc_RuntimeError,
          "no epoch improved the validation score (n_epochs is 0, or every validation score "
          "was NaN); the weights of the last epoch were kept and nothing was saved");
  model.attr("load_state_dict")(best_param);
  return best_score;
}

// ---------------------------------------------------------------------------------------------
// Market regimes

namespace {

// Mean label of each day; a one-column frame is read as its column. No squeeze to a scalar, so
// a single-day split stays a Series.
py::object daily_means(py::handle label) {
  py::object means = label.attr("groupby")("datetime").attr("mean")();
  if (py::isinstance(means, libs().DataFrame)) {
    if (py::len(means.attr("columns")) != 1)
      raise(PyExc_ValueError, "the labels must be a Series or a one-column DataFrame");
    means = means.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), 0)];
  }
  return means;
}

py::array_t<double, py::array::c_style> float64_values(py::handle series) {
  return contiguous(series.attr("to_numpy")("dtype"_a = libs().np_float64), libs().np_float64);
}

}  // namespace

py::object fit_thresh(py::object self, py::object train_label) {
  py::array_t<double, py::array::c_style> means = float64_values(daily_means(train_label));
  const double qs[2] = {1.0 / 3.0, 2.0 / 3.0};
  std::vector<double> q;
  {
    std::span<const double> v(means.data(), static_cast<std::size_t>(means.shape(0)));
    py::gil_scoped_release nogil;
    q = daily::quantiles(v, qs);
  }
  if (std::isnan(q[0]) || std::isnan(q[1]))
    raise(PyExc_ValueError,
          "no day of the training labels has a known label, so the market-regime thresholds "
          "cannot be set");
  self.attr("lo") = py::float_(q[0]);
  self.attr("hi") = py::float_(q[1]);
  return py::none();
}

py::object gen_market_label(py::object self, py::object df, py::object raw_label) {
  Libs &L = libs();
  py::object means = daily_means(raw_label);
  const double lo = to_double(self.attr("lo")), hi = to_double(self.attr("hi"));
  if (!(lo < hi))
    raise(PyExc_ValueError,
          format("the market-regime thresholds do not separate three regimes (lo = {}, hi = {}): "
                 "the training split's daily mean labels are too concentrated",
                 lo, hi)
              .cast<std::string>());
  py::array_t<double, py::array::c_style> v = float64_values(means);
  std::vector<std::int64_t> cls;
  {
    std::span<const double> s(v.data(), static_cast<std::size_t>(v.shape(0)));
    py::gil_scoped_release nogil;
    cls = daily::regime_classes(s, lo, hi);
  }
  const bool missing = std::find(cls.begin(), cls.end(), -1) != cls.end();
  py::object values;
  if (missing) {
    py::array_t<double> a(static_cast<py::ssize_t>(cls.size()));
    double *p = a.mutable_data();
    for (std::size_t i = 0; i < cls.size(); ++i)
      p[i] = cls[i] < 0 ? std::numeric_limits<double>::quiet_NaN() : static_cast<double>(cls[i]);
    values = a;
  } else {
    py::array_t<std::int64_t> a(static_cast<py::ssize_t>(cls.size()));
    std::copy(cls.begin(), cls.end(), a.mutable_data());
    values = a;
  }
  py::object market = L.Series(values, "index"_a = means.attr("index"), "name"_a = "market_return");
  return df.attr("join")(market);
}

// ---------------------------------------------------------------------------------------------
// fit and predict

namespace {

// Rows of days that have no regime class (every label missing) carry no training target of any
// kind; they are left out of the split, with a note.
py::object drop_unlabelled_days(py::handle self, py::object df, const char *what) {
  Libs &L = libs();
  py::object known = df["market_return"].attr("notna")();
  if (!known.attr("all")().cast<bool>()) {
    py::object days = df.attr("index").attr("get_level_values")(0);
    long long n_days = to_ll(days[known.attr("__invert__")().attr("to_numpy")()].attr("nunique")());
    df = df.attr("loc")[known];
    emit(self, format("{}: left out {} day(s) without a known label", what, n_days));
  }
  if (py::len(df) == 0)
    raise(PyExc_ValueError, std::string(what) + " has no day with a known label");
  py::dict cols;
  cols["market_return"] = L.np.attr("int64");
  return df.attr("astype")(cols);
}

}  // namespace

py::object fit(py::object self, py::object dataset1, py::object evals_result,
               py::object save_path) {
  Libs &L = libs();
  py::module_ mod = py::module_::import("dualstream");
  check_fit_settings(self);
  if (py::len(dataset1) != 2)
    raise(PyExc_ValueError, "dataset1 must be a pair (frame, (train selector, valid selector))");
  py::object dataset = dataset1[py::int_(0)];
  require_frame(dataset, "dataset1[0]");
  py::object selectors = dataset1[py::int_(1)];
  if (py::len(selectors) != 2)
    raise(PyExc_ValueError, "dataset1[1] must hold two selector texts (train, valid)");
  py::object sel_train = selectors[py::int_(0)], sel_valid = selectors[py::int_(1)];

  py::list feature(dataset.attr("columns"));
  py::str label("label");
  if (!feature.contains(label))
    raise(PyExc_ValueError, "the training frame has no \"label\" column");
  feature.attr("remove")(label);
  if (feature.contains(label))
    raise(PyExc_ValueError, "the training frame has more than one \"label\" column");
  if (py::len(feature) == 0) raise(PyExc_ValueError, "the training frame has no feature columns");
  require_width(static_cast<long long>(py::len(feature)), self, "the training frame");

  py::dict locals("dataset"_a = dataset, "dataset1"_a = dataset1, "evals_result"_a = evals_result,
                  "save_path"_a = save_path, "self"_a = self);
  locals["label_train"] = dataset[label];
  py::object label_train = evaluate_selector(mod, "label_train", sel_train, locals);
  locals["label_train"] = label_train;
  locals["label_valid"] = dataset[label];
  py::object label_valid = evaluate_selector(mod, "label_valid", sel_valid, locals);
  locals["label_valid"] = label_valid;
  require_type(label_train, L.Series, "Series", "the training labels");
  require_type(label_valid, L.Series, "Series", "the validation labels");
  self.attr("fit_thresh")(label_train);  // thresholds from the training labels only

  py::object df_train = evaluate_selector(mod, "dataset", sel_train, locals);
  locals["df_train"] = df_train;
  py::object df_valid = evaluate_selector(mod, "dataset", sel_valid, locals);
  const char *names[2] = {"the training split", "the validation split"};
  py::object frames[2] = {df_train, df_valid};
  for (int k = 0; k < 2; ++k) {
    require_frame(frames[k], names[k]);
    if (!frames[k].attr("columns").attr("equals")(dataset.attr("columns")).cast<bool>())
      raise(PyExc_ValueError, std::string(names[k]) + " does not have the frame's columns");
    day_ranges_of(frames[k], names[k]);  // ordering checked before any training
  }

  py::object gen = self.attr("gen_market_label");
  df_train = drop_unlabelled_days(self, gen(df_train, label_train), names[0]);
  df_valid = drop_unlabelled_days(self, gen(df_valid, label_valid), names[1]);

  py::object x_train = df_train[feature], y_train = df_train[label],
             m_train = df_train["market_return"];
  py::object x_valid = df_valid[feature], y_valid = df_valid[label],
             m_valid = df_valid["market_return"];
  evals_result["train"] = py::list();
  evals_result["valid"] = py::list();

  py::object base_model = self.attr("base_model");
  py::object pretrained;
  if (base_model.equal(py::str("LSTM")))
    pretrained = mod.attr("LSTMModel")();
  else if (base_model.equal(py::str("GRU")))
    pretrained = mod.attr("GRUModel")();
  else
    raise(PyExc_ValueError,
          percent("unknown base model name `%s`", py::make_tuple(base_model)).cast<std::string>());

  py::object model = self.attr("ADD_model");
  py::object model_path = self.attr("model_path");
  if (!model_path.is_none()) {
    emit(self, "Loading pretrained model...");
    pretrained.attr("load_state_dict")(
        L.torch.attr("load")(model_path, "map_location"_a = self.attr("device")));
    py::dict rnn_state = pretrained.attr("rnn").attr("state_dict")();
    for (const char *enc_name : {"enc_excess", "enc_market"}) {
      py::object enc = model.attr(enc_name);
      py::object model_dict = enc.attr("state_dict")();
      py::dict matched;
      for (auto kv : rnn_state)
        if (model_dict.contains(kv.first)) matched[kv.first] = kv.second;
      model_dict.attr("update")(matched);
      enc.attr("load_state_dict")(model_dict);
    }
    emit(self, "Loading pretrained model Done...");
  }

  self.attr("bootstrap_fit")(x_train, y_train, m_train, x_valid, y_valid, m_valid);
  py::object best_param = L.copy.attr("deepcopy")(model.attr("state_dict")());
  L.save(best_param, "ADD.pth");
  if (is_gpu_device(self.attr("device"))) L.torch.attr("cuda").attr("empty_cache")();
  return py::none();
}

py::object predict(py::object self, py::object dataset1) {
  Libs &L = libs();
  py::object x_test = dataset1;
  require_frame(x_test, "the feature table");
  if (py::len(x_test) == 0) raise(PyExc_ValueError, "the feature table has no rows");
  if (py::list(x_test.attr("columns")).contains(py::str("label")))
    raise(PyExc_ValueError,
          "the feature table holds a \"label\" column; pass the feature columns only");
  py::array x = feature_matrix(x_test, "the feature table");
  require_width(x.shape(1), self, "the feature table");
  py::object index = x_test.attr("index");
  py::object model = self.attr("ADD_model");
  py::object device = self.attr("device");
  const long long budget = eval_rows(self);
  const long long n = x.shape(0);
  model.attr("eval")();
  py::object xt = tensor(x);
  py::list parts;
  {
    NoGrad no_grad;
    for (long long b = 0; b < n; b += budget) {
      py::object feature = xt[py::slice(b, std::min(n, b + budget), 1)].attr("to")(device);
      py::dict preds = model(feature);
      parts.append(preds["excess"].attr("detach")().attr("reshape")(-1));
    }
  }
  py::object scores = L.cat(parts).attr("cpu")().attr("numpy")();
  return L.Series(scores, "index"_a = index);
}

}  // namespace dualstream
