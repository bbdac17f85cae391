// The trainer skeleton. Pieces every forecaster uses (fit input and split checks, the shuffled
// full-batch optimiser loop, blockwise forward passes, early stopping with the best weights kept
// in memory, the epoch loop, saving) and, built from them, the whole batch trainer of the
// regression forecasters (Transformer, SFM): masked losses, row-weighted evaluation, fit, batched
// prediction. Each of those modules supplies a TrainerSpec naming its network attribute and
// weight file.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>

#include "common/epoch_progress.hpp"
#include "common/libs.hpp"
#include "common/pyglue.hpp"
#include "common/safety.hpp"
#include "common/settings.hpp"
#include "common/stats.hpp"

namespace alphaloom {

struct TrainerSpec {
  const char *model_attr;   // attribute holding the network ("model", "sfm_model")
  const char *weight_file;  // written at the end of fit
  bool frame_output;        // predict returns a one-column DataFrame (else a Series)
  bool d_feat_on_model;     // d_feat is kept by the network (else by the trainer)
};

inline py::object d_feat_of(py::handle self, const TrainerSpec &spec) {
  return spec.d_feat_on_model ? self.attr(spec.model_attr).attr("d_feat") : self.attr("d_feat");
}

// Feature matrix / label vector of a split, converted once to float32 CPU tensors.
struct SplitArrays {
  py::object x;  // (n, F) float32, C-contiguous
  py::object y;  // (n,) float32, or None
  long long n = 0;
  std::vector<std::int64_t> day;  // per row, the day's number; empty when the rows carry no day
};

// ---------------------------------------------------------------------------------------------
// Validation of caller data: clear errors before anything is changed.

inline void require_instance(py::handle obj, py::handle type, const char *type_text,
                             const char *what) {
  if (!py::isinstance(obj, type))
    raise(PyExc_TypeError,
          std::string(what) + " must be a pandas " + type_text + ", got " + type_name(obj));
}

inline void require_frame(py::handle obj, const char *what) {
  require_instance(obj, libs().DataFrame, "DataFrame", what);
}

inline void require_feature_width(long long width, py::handle d_feat, const char *what) {
  const long long d = whole_setting(d_feat, "d_feat");
  if (width == 0) raise(PyExc_ValueError, std::string(what) + " has no feature columns");
  if (d <= 0 || width % d != 0)
    raise(PyExc_ValueError, std::string(what) + " has " + std::to_string(width) +
                                " feature columns, which is not a multiple of d_feat=" +
                                std::to_string(d));
}

// pandas may hand out read-only views; torch must own writable memory, so those are copied
// (as is anything not C-contiguous or, when `dtype` is given, of another type).
inline py::object writable_tensor(py::handle array, py::handle dtype = py::none()) {
  Libs &L = libs();
  return L.tensor_from_numpy(L.np.attr("require")(array, dtype, py::make_tuple("C", "W")));
}

inline py::object writable_float32(py::handle array) {
  return writable_tensor(array, libs().np_float32);
}

inline py::object float32_matrix(py::handle frame) {
  return writable_float32(frame.attr("to_numpy")("dtype"_a = libs().np_float32));
}

// The day of each row when the frame's first index level holds the dates: a MultiIndex whose
// first level is of a datetime type or is named "datetime" (the forecasters' day level). Empty
// otherwise.
inline std::vector<std::int64_t> day_numbers(py::handle frame) {
  Libs &L = libs();
  py::object index = frame.attr("index");
  if (!py::isinstance(index, L.pd.attr("MultiIndex"))) return {};
  py::object level = index.attr("levels")[py::int_(0)];
  const bool dated = L.pd.attr("api").attr("types").attr("is_datetime64_any_dtype")(level).cast<bool>() ||
                     py::str("datetime").equal(index.attr("names")[py::int_(0)]);
  if (!dated) return {};
  using Codes = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
  Codes codes(index.attr("codes")[py::int_(0)]);
  return {codes.data(), codes.data() + codes.size()};
}

inline SplitArrays to_arrays(py::handle x, py::handle y) {
  Libs &L = libs();
  SplitArrays s;
  s.x = float32_matrix(x);
  s.n = py::len(x);
  s.day = day_numbers(x);
  if (!y.is_none()) {
    py::object v = L.np.attr("squeeze")(py::reinterpret_borrow<py::object>(y).attr("to_numpy")(
        "dtype"_a = L.np_float32));
    s.y = writable_float32(v.attr("reshape")(-1));
  } else {
    s.y = py::none();
  }
  return s;
}

// ---------------------------------------------------------------------------------------------
// Loss and metric over masked rows.

[[noreturn]] inline void raise_unknown(const char *fmt, py::handle name) {
  raise(PyExc_ValueError, percent(fmt, py::make_tuple(name)).cast<std::string>());
}

inline py::object masked_loss(py::handle self, py::handle pred, py::handle label) {
  py::object mask = libs().isnan(label).attr("logical_not")();
  py::object loss = self.attr("loss");
  if (loss.equal(py::str("mse"))) return self.attr("mse")(pred[mask], label[mask]);
  raise_unknown("unknown loss `%s`", loss);
}

// The correlation metrics: "ic" (Pearson) and "rank_ic" (Spearman) of predictions and labels,
// per day and averaged over the days when the rows' days are known, else over all rows at once.
enum class Correlation { none, pearson, spearman };

inline Correlation correlation_of(py::handle self) {
  py::object metric = self.attr("metric");
  if (metric.equal(py::str("ic"))) return Correlation::pearson;
  if (metric.equal(py::str("rank_ic"))) return Correlation::spearman;
  return Correlation::none;
}

// Rows with a finite label and a finite prediction count; a day with fewer than two of them or a
// constant side has no correlation and is left out of the mean. NaN when no day has one.
inline double correlation_score(const float *pred, const float *label, std::size_t n,
                                const std::vector<std::int64_t> &day, Correlation kind) {
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  if (!day.empty())
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return day[a] < day[b]; });
  std::vector<double> x, y;
  stats::RankScratch scratch;
  double sum = 0.0;
  std::size_t days = 0;
  for (std::size_t i = 0; i < n;) {
    std::size_t e = i + 1;
    if (day.empty()) e = n;
    else
      while (e < n && day[order[e]] == day[order[i]]) ++e;
    x.clear();
    y.clear();
    for (std::size_t k = i; k < e; ++k) {
      const std::size_t r = order[k];
      if (std::isfinite(label[r]) && std::isfinite(pred[r])) {
        x.push_back(pred[r]);
        y.push_back(label[r]);
      }
    }
    const double c = kind == Correlation::pearson ? stats::pearson(x, y) : stats::spearman(x, y, scratch);
    if (!std::isnan(c)) {
      sum += c;
      ++days;
    }
    i = e;
  }
  return days ? sum / static_cast<double>(days) : std::numeric_limits<double>::quiet_NaN();
}

// Flat float32 NumPy copy of a tensor, on the CPU.
inline py::array_t<float, py::array::c_style | py::array::forcecast> cpu_floats(py::handle t) {
  return py::array_t<float, py::array::c_style | py::array::forcecast>(
      t.attr("detach")().attr("reshape")(-1).attr("cpu")().attr("float")().attr("numpy")());
}

inline py::object masked_metric(py::handle self, py::handle pred, py::handle label) {
  const Correlation kind = correlation_of(self);
  if (kind != Correlation::none) {
    auto p = cpu_floats(pred), l = cpu_floats(label);
    if (p.size() != l.size())
      raise(PyExc_ValueError, "pred and label differ in length");
    const double score = correlation_score(p.data(), l.data(), static_cast<std::size_t>(p.size()),
                                           {}, kind);
    return libs().torch.attr("tensor")(score);
  }
  py::object mask = libs().isfinite(label);
  py::object metric = self.attr("metric");
  if (metric.equal(py::str("")) || metric.equal(py::str("loss")))
    return -self.attr("loss_fn")(pred[mask], label[mask]);
  raise_unknown("unknown metric `%s`", metric);
}

// True while `name` on `self` is still the method `cls` binds: neither a subclass nor the
// instance has replaced it, so only the names that method knows can work.
inline bool own_method(py::handle self, py::handle cls, const char *name) {
  py::object dict = py::getattr(self, "__dict__", py::none());
  if (!dict.is_none() && dict.contains(name)) return false;
  return py::type::of(self).attr(name).is(cls.attr(name));
}

// A loss or metric name the trainer's own loss_fn / metric_fn do not know is refused before fit
// prints or changes anything; found by those methods, it surfaced only after a first epoch had
// trained. A replaced method may know other names and is left to judge its own.
inline void require_known_loss_and_metric(py::handle self, py::handle cls) {
  py::object metric = self.attr("metric");
  if (correlation_of(self) == Correlation::none && own_method(self, cls, "metric_fn") &&
      !metric.equal(py::str("")) && !metric.equal(py::str("loss")))
    raise_unknown("unknown metric `%s`", metric);
  py::object loss = self.attr("loss");
  if (own_method(self, cls, "loss_fn") && !loss.equal(py::str("mse")))
    raise_unknown("unknown loss `%s`", loss);
}

// ---------------------------------------------------------------------------------------------
// Epochs over converted arrays.

// One epoch of optimiser steps over shuffled full batches of row-aligned CPU tensors, the
// features first; the incomplete tail of the shuffled order sits this epoch out.
// `loss_of(batch, pred)` receives the batch rows of every column, on the device, and the
// network's output for the features, and returns the loss of that batch.
template <class LossOf>
void shuffled_batch_steps(py::handle self, py::handle model, long long n,
                          const std::vector<py::object> &columns, LossOf &&loss_of) {
  Libs &L = libs();
  py::object device = self.attr("device");
  py::object opt = self.attr("train_optimizer");
  py::object params = model.attr("parameters");
  py::object zero_grad = opt.attr("zero_grad"), step = opt.attr("step");
  const long long bs = batch_size_of(self);
  model.attr("train")();
  py::object indices = L.np_arange(n);
  L.np_shuffle(indices);
  py::object idx_all = L.tensor_from_numpy(indices);
  std::vector<py::object> batch(columns.size());
  EpochBar::start(n / bs);
  for (long long i = 0; i + bs <= n; i += bs) {
    check_signals();
    py::object idx = idx_all[py::slice(i, i + bs, 1)];
    for (std::size_t k = 0; k < columns.size(); ++k)
      batch[k] = columns[k].attr("index_select")(0, idx).attr("to")(device);
    py::object pred = model(batch[0]);
    py::object loss = loss_of(batch, pred);
    zero_grad();
    loss.attr("backward")();
    L.clip_grad_value(params(), 3.0);
    step();
    EpochBar::tick();
  }
}

// The network over rows [0, n) of `x` in blocks of `rows`, in eval() mode and without gradient
// tracking; `take(feature, output, begin, end)` receives each block.
template <class Take>
void forward_blocks(py::handle model, py::handle x, py::handle device, long long n, long long rows,
                    Take &&take) {
  model.attr("eval")();
  NoGrad no_grad;
  for (long long b = 0; b < n; b += rows) {
    check_signals();
    const long long e = std::min(n, b + rows);
    py::object feature = x[py::slice(b, e, 1)].attr("to")(device);
    py::object out = model(feature);
    take(feature, out, b, e);
  }
}

// One flat float32 NumPy vector of scores for every row; `pick` selects the score tensor from
// the network's output.
template <class Pick>
py::object block_scores(py::handle model, py::handle x, py::handle device, long long n,
                        long long rows, Pick &&pick) {
  py::list parts;
  forward_blocks(model, x, device, n, rows,
                 [&](py::handle, py::object out, long long, long long) {
                   parts.append(pick(out).attr("detach")().attr("reshape")(-1).attr("cpu")());
                 });
  return libs().cat(parts).attr("numpy")();
}

inline void train_epoch_arrays(py::handle self, const TrainerSpec &spec, const SplitArrays &s) {
  py::object loss_fn = self.attr("loss_fn");
  shuffled_batch_steps(self, self.attr(spec.model_attr), s.n, {s.x, s.y},
                       [&](const std::vector<py::object> &b, py::handle pred) {
                         return loss_fn(pred, b[1]);
                       });
}

// Every row is scored, the short last batch included; batch results are weighted by their row
// counts, so the result does not depend on how the rows fall into batches. A batch without a label
// its loss (or metric) reads gives that mean nothing to add: counted, its NaN would turn the whole
// score NaN and fail a fit whose validation split is merely partly unlabelled.
// With a correlation metric the score is one figure over the whole split (per day when the rows'
// days are known), from the predictions of every block.
inline std::pair<double, double> test_epoch_arrays(py::handle self, const TrainerSpec &spec,
                                                   const SplitArrays &s) {
  Libs &L = libs();
  py::object loss_fn = self.attr("loss_fn"), metric_fn = self.attr("metric_fn");
  const Correlation corr = correlation_of(self);
  std::vector<float> preds;
  double loss_sum = 0.0, score_sum = 0.0, loss_rows = 0.0, score_rows = 0.0;
  forward_blocks(self.attr(spec.model_attr), s.x, self.attr("device"), s.n, batch_size_of(self),
                 [&](py::handle, py::object pred, long long b, long long e) {
                   py::object label = s.y[py::slice(b, e, 1)].attr("to")(self.attr("device"));
                   const double w = static_cast<double>(e - b);
                   if (L.isnan(label).attr("logical_not")().attr("any")().cast<bool>()) {
                     loss_sum += w * loss_fn(pred, label).attr("item")().cast<double>();
                     loss_rows += w;
                   }
                   if (corr != Correlation::none) {
                     auto p = cpu_floats(pred);
                     preds.insert(preds.end(), p.data(), p.data() + p.size());
                   } else if (L.isfinite(label).attr("any")().cast<bool>()) {
                     score_sum += w * metric_fn(pred, label).attr("item")().cast<double>();
                     score_rows += w;
                   }
                 });
  const double nan = std::numeric_limits<double>::quiet_NaN();
  double score = score_rows > 0 ? score_sum / score_rows : nan;
  if (corr != Correlation::none) {
    auto labels = cpu_floats(s.y);
    if (static_cast<long long>(preds.size()) != s.n || labels.size() != s.n)
      raise(PyExc_ValueError, "a correlation metric needs one score per row; the network gave " +
                                  std::to_string(preds.size()) + " for " + std::to_string(s.n) +
                                  " rows");
    score = correlation_score(preds.data(), labels.data(), preds.size(), s.day, corr);
  }
  return {loss_rows > 0 ? loss_sum / loss_rows : nan, score};
}

inline py::object train_epoch(py::handle self, const TrainerSpec &spec, py::handle x, py::handle y) {
  train_epoch_arrays(self, spec, to_arrays(x, y));
  return py::none();
}

inline py::tuple test_epoch(py::handle self, const TrainerSpec &spec, py::handle x, py::handle y) {
  auto [loss, score] = test_epoch_arrays(self, spec, to_arrays(x, y));
  return py::make_tuple(loss, score);
}

// ---------------------------------------------------------------------------------------------
// Splits from the selector texts.

// dataset1 = (frame, (train selector, valid selector)), checked, with the feature columns: every
// column but the one "label", in frame order.
struct FitInput {
  py::object dataset, sel_train, sel_valid;
  py::list feature;
};

inline FitInput fit_input(py::handle dataset1, py::handle d_feat) {
  if (py::len(dataset1) != 2)
    raise(PyExc_ValueError, "dataset1 must be a pair (frame, (train selector, valid selector))");
  FitInput in;
  in.dataset = dataset1[py::int_(0)];
  require_frame(in.dataset, "dataset1[0]");
  py::object selectors = dataset1[py::int_(1)];
  if (py::isinstance<py::str>(selectors) || py::len(selectors) != 2)
    raise(PyExc_ValueError, "dataset1[1] must hold two selector texts (train, valid)");
  in.sel_train = selectors[py::int_(0)];
  in.sel_valid = selectors[py::int_(1)];
  in.feature = py::list(in.dataset.attr("columns"));
  py::str label("label");
  if (!in.feature.contains(label))
    raise(PyExc_ValueError, "the training frame has no \"label\" column");
  in.feature.attr("remove")(label);
  if (in.feature.contains(label))
    raise(PyExc_ValueError, "the training frame has more than one \"label\" column");
  require_unique_columns(in.feature, "the training frame");
  require_feature_width(py::len(in.feature), d_feat, "the training frame");
  return in;
}

constexpr const char *kSplitNames[2] = {"the training split", "the validation split"};

// One split of `base` (the frame, or ADD's label column) as dataset1[1] names it: a selector text
// evaluated after `prefix`, the split itself as a DataFrame (for the label column: its "label"),
// or index labels / a boolean mask taken with `.loc`.
inline py::object split_of(const py::module_ &mod, const char *prefix, py::handle base,
                           py::handle sel, const py::dict &locals) {
  if (py::isinstance<py::str>(sel)) return evaluate_selector(mod, prefix, sel, locals);
  if (py::isinstance(sel, libs().DataFrame)) {
    if (!py::isinstance(base, libs().Series)) return py::reinterpret_borrow<py::object>(sel);
    if (!py::list(sel.attr("columns")).contains(py::str("label")))
      raise(PyExc_ValueError, "a split given as a DataFrame must hold the frame's columns, "
                              "\"label\" included");
    return sel[py::str("label")];
  }
  return base.attr("loc")[sel];
}

// Both selected splits must be DataFrames with the frame's columns; `need_rows` also refuses an
// empty one (a trainer that checks its days reports that itself).
inline void require_splits(py::handle dataset, py::handle df_train, py::handle df_valid,
                           bool need_rows) {
  py::handle frames[2] = {df_train, df_valid};
  for (int k = 0; k < 2; ++k) {
    require_frame(frames[k], kSplitNames[k]);
    if (!frames[k].attr("columns").attr("equals")(dataset.attr("columns")).cast<bool>())
      raise(PyExc_ValueError, std::string(kSplitNames[k]) + " does not have the frame's columns");
    if (need_rows && py::len(frames[k]) == 0)
      raise(PyExc_ValueError, std::string(kSplitNames[k]) + " is empty");
  }
}

struct Splits {
  py::list feature;
  py::object dataset, df_train, df_valid;
};

inline Splits select_splits(const py::module_ &mod, py::handle self, py::handle dataset1,
                            py::handle evals_result, py::handle d_feat) {
  FitInput in = fit_input(dataset1, d_feat);
  Splits sp;
  sp.feature = in.feature;
  sp.dataset = in.dataset;
  py::dict locals("dataset"_a = in.dataset, "dataset1"_a = dataset1,
                  "evals_result"_a = evals_result, "feature"_a = sp.feature, "self"_a = self);
  sp.df_train = split_of(mod, "dataset", in.dataset, in.sel_train, locals);
  locals["df_train"] = sp.df_train;
  sp.df_valid = split_of(mod, "dataset", in.dataset, in.sel_valid, locals);
  require_splits(in.dataset, sp.df_train, sp.df_valid, true);
  return sp;
}

// ---------------------------------------------------------------------------------------------
// Early stopping: only a strictly better validation score improves (ties and NaN never do); the
// best weights are deep-copied in memory at each improvement.

struct EarlyStopping {
  long long early_stop = 0, stop_steps = 0, best_epoch = 0;
  py::object best_score = py::float_(-std::numeric_limits<double>::infinity());
  py::object best_param;  // unset until an epoch improves

  // True when the loop should stop after this epoch.
  bool update(py::handle model, py::handle score, long long step) {
    const int better = PyObject_RichCompareBool(score.ptr(), best_score.ptr(), Py_GT);
    if (better < 0) throw py::error_already_set();
    if (better) {
      best_score = py::reinterpret_borrow<py::object>(score);
      stop_steps = 0;
      best_epoch = step;
      best_param = libs().copy.attr("deepcopy")(model.attr("state_dict")());
      return false;
    }
    return ++stop_steps >= early_stop;
  }

  // Loads the best weights back into `model`; `none_message` is the RuntimeError raised when no
  // epoch improved (nothing then exists to restore).
  void restore(py::handle model, const char *none_message) const {
    if (!best_param) raise(PyExc_RuntimeError, none_message);
    model.attr("load_state_dict")(best_param);
  }
};

// The epoch loop of fit. Each epoch prints its header and "training...", runs `train()` (with a
// progress bar where someone watches), prints "evaluating...", takes the validation score from
// `evaluate(record)` (which prints its own lines and puts its figures into the epoch's record),
// appends the record with the epoch's seconds to `history`, then either stops early or calls
// `after_epoch()`.
template <class Train, class Evaluate, class After>
EarlyStopping run_epochs(py::handle self, py::handle model, py::list history, Train &&train,
                         Evaluate &&evaluate, After &&after_epoch) {
  const long long n_epochs = n_epochs_of(self);
  EarlyStopping es;
  es.early_stop = early_stop_of(self);
  for (long long step = 0; step < n_epochs; ++step) {
    const double started = seconds_now();
    py::dict record("epoch"_a = step);
    emit(self, percent("Epoch%d:", py::make_tuple(step)));
    emit(self, "training...");
    {
      EpochBar bar(self, step);
      train();
    }
    emit(self, "evaluating...");
    py::object score = evaluate(record);
    record["seconds"] = seconds_now() - started;
    history.append(record);
    if (es.update(model, score, step)) {
      emit(self, "early stop");
      break;
    }
    after_epoch();
  }
  return es;
}

// The restored best weights go to the trainer's fixed file; cached GPU memory is released.
inline void save_weights(py::handle self, py::handle state, const char *weight_file) {
  Libs &L = libs();
  save_atomically(state, weight_file);
  if (is_gpu_device(self.attr("device"))) L.torch.attr("cuda").attr("empty_cache")();
}

// ---------------------------------------------------------------------------------------------
// fit: early stopping on the validation score; the best weights are restored and saved.

inline void fit(const py::module_ &mod, py::handle cls, py::handle self, const TrainerSpec &spec,
                py::handle dataset1, py::handle evals_result) {
  check_fit_settings(self);
  require_known_loss_and_metric(self, cls);
  Splits sp = select_splits(mod, self, dataset1, evals_result, d_feat_of(self, spec));
  py::str label("label");
  require_numeric_columns(sp.df_train, sp.feature, kSplitNames[0]);
  require_numeric_columns(sp.df_valid, sp.feature, kSplitNames[1]);
  SplitArrays train = to_arrays(sp.df_train[sp.feature], sp.df_train[label]);
  SplitArrays valid = to_arrays(sp.df_valid[sp.feature], sp.df_valid[label]);
  require_finite_features(train.x.attr("numpy")(), sp.feature, kSplitNames[0]);
  require_finite_features(valid.x.attr("numpy")(), sp.feature, kSplitNames[1]);
  require_no_infinite_labels(train.y.attr("numpy")(), kSplitNames[0]);
  require_no_infinite_labels(valid.y.attr("numpy")(), kSplitNames[1]);
  require_writable_target(spec.weight_file);
  TrainingSnapshot before(self, spec.model_attr);
  py::list train_scores, valid_scores, history;
  evals_result["train"] = train_scores;
  evals_result["valid"] = valid_scores;
  py::setattr(self, "history", history);

  emit(self, "training...");
  py::setattr(self, "fitted", py::bool_(true));
  set_fit_width(self, py::len(sp.feature));
  set_fit_features(self, sp.dataset);
  py::object model = self.attr(spec.model_attr);
  EarlyStopping es = run_epochs(
      self, model, history, [&] { train_epoch_arrays(self, spec, train); },
      [&](py::dict &record) {
        auto [train_loss, train_score] = test_epoch_arrays(self, spec, train);
        auto [valid_loss, valid_score] = test_epoch_arrays(self, spec, valid);
        emit(self, percent("train %.6f, valid %.6f", py::make_tuple(train_score, valid_score)));
        train_scores.append(train_score);
        valid_scores.append(valid_score);
        record["train_score"] = train_score;
        record["valid_score"] = valid_score;
        record["train_loss"] = train_loss;
        record["valid_loss"] = valid_loss;
        return py::object(py::float_(valid_score));
      },
      [] {});
  emit(self, percent("best score: %.6lf @ %d", py::make_tuple(es.best_score, es.best_epoch)));
  if (!es.best_param) before.restore();
  es.restore(model,
             "no epoch produced a finite validation score (n_epochs is 0, or every validation "
             "score was NaN); the weights were restored to what they were before fit and "
             "nothing was saved");
  save_weights(self, es.best_param, spec.weight_file);
}

// ---------------------------------------------------------------------------------------------
// predict: every row, batch by batch, the short last batch included.

inline py::object predict(py::handle self, const TrainerSpec &spec, py::handle x_test) {
  Libs &L = libs();
  require_frame(x_test, "the feature table");
  if (py::len(x_test) == 0) raise(PyExc_ValueError, "the feature table has no rows");
  require_unique_columns(x_test.attr("columns"), "the feature table");
  require_feature_width(py::len(x_test.attr("columns")), d_feat_of(self, spec),
                        "the feature table");
  require_fitted_width(self, py::len(x_test.attr("columns")), "the feature table");
  py::object index = x_test.attr("index");
  const long long bs = batch_size_of(self);
  py::object scores = block_scores(self.attr(spec.model_attr), float32_matrix(x_test),
                                   self.attr("device"), py::len(x_test), bs,
                                   [](py::object out) { return out; });
  if (spec.frame_output) return L.DataFrame(scores, "index"_a = index);
  return L.Series(scores, "index"_a = index);
}

// ---------------------------------------------------------------------------------------------
// The methods every batch trainer class has, bound once here. `spec` must outlive the module
// (a namespace-scope constant); `shared_evals` is the default evals_result of every fit call.
inline void def_batch_trainer_methods(py::module_ &m, py::handle cls, const TrainerSpec &spec,
                                      py::dict shared_evals) {
  const TrainerSpec *sp = &spec;
  def_property(cls, "use_gpu", "True when the device is not the CPU.",
               [](py::object self) { return is_gpu_device(self.attr("device")); });
  def_method(cls, "loss_fn", "loss_fn(self, pred, label)", "Training loss over non-NaN labels.",
             &masked_loss, py::arg("pred"), py::arg("label"));
  def_method(cls, "metric_fn", "metric_fn(self, pred, label)",
             "Validation score (higher is better) over finite labels: minus the loss ('' or "
             "'loss'), or the correlation of predictions and labels ('ic', 'rank_ic').",
             &masked_metric,
             py::arg("pred"), py::arg("label"));
  def_method(cls, "train_epoch", "train_epoch(self, x_train, y_train)",
             "One pass of optimiser steps over shuffled full batches.",
             [sp](py::object self, py::object x, py::object y) { return train_epoch(self, *sp, x, y); },
             py::arg("x_train"), py::arg("y_train"));
  def_method(cls, "test_epoch", "test_epoch(self, data_x, data_y)",
             "(mean loss, mean score) over every row, each batch weighted by its rows.",
             [sp](py::object self, py::object x, py::object y) { return test_epoch(self, *sp, x, y); },
             py::arg("data_x"), py::arg("data_y"));
  py::handle mod_h = m;
  std::string fit_doc = std::string("Trains with early stopping on the validation split, restores "
                                    "the best weights and saves them to ") + spec.weight_file + ".";
  py::handle cls_h = cls;
  def_method(cls, "fit", "fit(self, dataset1, evals_result={})", fit_doc.c_str(),
             [mod_h, cls_h, sp](py::object self, py::object dataset1, py::object evals_result) {
               fit(py::reinterpret_borrow<py::module_>(mod_h), cls_h, self, *sp, dataset1,
                   evals_result);
             },
             py::arg("dataset1"), py::arg("evals_result") = shared_evals);
  def_method(cls, "predict", "predict(self, dataset1)",
             spec.frame_output
                 ? "One float32 score per row, as a one-column DataFrame with the input's index."
                 : "One float32 score per row, as a Series with the input's index.",
             [sp](py::object self, py::object x) { return predict(self, *sp, x); },
             py::arg("dataset1"));
}

}  // namespace alphaloom
