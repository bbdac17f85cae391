// The batch trainer shared by the regression forecasters (Transformer, SFM): masked losses,
// shuffled full-batch training, row-weighted evaluation, fit with early stopping, batched
// prediction. Each module supplies a TrainerSpec naming its network attribute and weight file.
#pragma once

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "common/libs.hpp"
#include "common/pyglue.hpp"
#include "common/settings.hpp"

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
};

// ---------------------------------------------------------------------------------------------
// Validation of caller data: clear errors before anything is changed.

inline void require_frame(py::handle obj, const char *what) {
  if (!py::isinstance(obj, libs().DataFrame))
    raise(PyExc_TypeError, std::string(what) + " must be a pandas DataFrame, got " + type_name(obj));
}

inline void require_feature_width(long long width, py::handle d_feat, const char *what) {
  long long d = py::int_(py::reinterpret_borrow<py::object>(d_feat)).cast<long long>();
  if (width == 0) raise(PyExc_ValueError, std::string(what) + " has no feature columns");
  if (d <= 0 || width % d != 0)
    raise(PyExc_ValueError, std::string(what) + " has " + std::to_string(width) +
                                " feature columns, which is not a multiple of d_feat=" +
                                std::to_string(d));
}

// pandas may hand out read-only views; torch must own writable memory, so those are copied.
inline py::object writable_float32(py::handle array) {
  Libs &L = libs();
  return L.tensor_from_numpy(
      L.np.attr("require")(array, L.np_float32, py::make_tuple("C", "W")));
}

inline py::object float32_matrix(py::handle frame) {
  return writable_float32(frame.attr("to_numpy")("dtype"_a = libs().np_float32));
}

inline SplitArrays to_arrays(py::handle x, py::handle y) {
  Libs &L = libs();
  SplitArrays s;
  s.x = float32_matrix(x);
  s.n = py::len(x);
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

inline py::object masked_loss(py::handle self, py::handle pred, py::handle label) {
  py::object mask = libs().isnan(label).attr("logical_not")();
  py::object loss = self.attr("loss");
  if (loss.equal(py::str("mse"))) return self.attr("mse")(pred[mask], label[mask]);
  raise(PyExc_ValueError, percent("unknown loss `%s`", py::make_tuple(loss)).cast<std::string>());
}

inline py::object masked_metric(py::handle self, py::handle pred, py::handle label) {
  py::object mask = libs().isfinite(label);
  py::object metric = self.attr("metric");
  if (metric.equal(py::str("")) || metric.equal(py::str("loss")))
    return -self.attr("loss_fn")(pred[mask], label[mask]);
  raise(PyExc_ValueError,
        percent("unknown metric `%s`", py::make_tuple(metric)).cast<std::string>());
}

// ---------------------------------------------------------------------------------------------
// Epochs over converted arrays.

// Shuffled full batches; the incomplete tail of the shuffled order sits this epoch out.
inline void train_epoch_arrays(py::handle self, const TrainerSpec &spec, const SplitArrays &s) {
  Libs &L = libs();
  py::object model = self.attr(spec.model_attr);
  py::object device = self.attr("device");
  py::object opt = self.attr("train_optimizer");
  py::object loss_fn = self.attr("loss_fn");
  py::object params = model.attr("parameters");
  py::object zero_grad = opt.attr("zero_grad"), step = opt.attr("step");
  long long bs = batch_size_of(self);
  model.attr("train")();
  py::object indices = L.np_arange(s.n);
  L.np_shuffle(indices);
  py::object idx_all = L.tensor_from_numpy(indices);
  py::object x_select = s.x.attr("index_select"), y_select = s.y.attr("index_select");
  for (long long i = 0; i < s.n; i += bs) {
    if (s.n - i < bs) break;
    py::object idx = idx_all[py::slice(i, i + bs, 1)];
    py::object feature = x_select(0, idx).attr("to")(device);
    py::object label = y_select(0, idx).attr("to")(device);
    py::object pred = model(feature);
    py::object loss = loss_fn(pred, label);
    zero_grad();
    loss.attr("backward")();
    L.clip_grad_value(params(), 3.0);
    step();
  }
}

// Every row is scored, the short last batch included; batch results are weighted by their row
// counts, so the result does not depend on how the rows fall into batches.
inline std::pair<double, double> test_epoch_arrays(py::handle self, const TrainerSpec &spec,
                                                   const SplitArrays &s) {
  py::object model = self.attr(spec.model_attr);
  py::object device = self.attr("device");
  py::object loss_fn = self.attr("loss_fn"), metric_fn = self.attr("metric_fn");
  long long bs = batch_size_of(self);
  model.attr("eval")();
  double loss_sum = 0.0, score_sum = 0.0;
  {
    NoGrad no_grad;
    for (long long b = 0; b < s.n; b += bs) {
      long long e = std::min(s.n, b + bs);
      py::slice rows(b, e, 1);
      py::object feature = s.x[rows].attr("to")(device);
      py::object label = s.y[rows].attr("to")(device);
      py::object pred = model(feature);
      double w = static_cast<double>(e - b);
      loss_sum += w * loss_fn(pred, label).attr("item")().cast<double>();
      score_sum += w * metric_fn(pred, label).attr("item")().cast<double>();
    }
  }
  if (s.n == 0) {
    double nan = std::numeric_limits<double>::quiet_NaN();
    return {nan, nan};
  }
  return {loss_sum / s.n, score_sum / s.n};
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

struct Splits {
  py::list feature;
  py::object df_train, df_valid;
};

inline Splits select_splits(const py::module_ &mod, py::handle self, py::handle dataset1,
                            py::handle evals_result, py::handle d_feat) {
  if (py::len(dataset1) != 2)
    raise(PyExc_ValueError, "dataset1 must be a pair (frame, (train selector, valid selector))");
  py::object dataset = dataset1[py::int_(0)];
  py::object selectors = dataset1[py::int_(1)];
  require_frame(dataset, "dataset1[0]");
  if (py::len(selectors) != 2)
    raise(PyExc_ValueError, "dataset1[1] must hold two selector texts (train, valid)");
  Splits sp;
  sp.feature = py::list(dataset.attr("columns"));
  py::str label("label");
  if (!sp.feature.contains(label))
    raise(PyExc_ValueError, "the training frame has no \"label\" column");
  sp.feature.attr("remove")(label);
  if (sp.feature.contains(label))
    raise(PyExc_ValueError, "the training frame has more than one \"label\" column");
  require_feature_width(py::len(sp.feature), d_feat, "the training frame");

  py::dict locals("dataset"_a = dataset, "dataset1"_a = dataset1, "evals_result"_a = evals_result,
                  "feature"_a = sp.feature, "self"_a = self);
  sp.df_train = evaluate_selector(mod, "dataset", selectors[py::int_(0)], locals);
  locals["df_train"] = sp.df_train;
  sp.df_valid = evaluate_selector(mod, "dataset", selectors[py::int_(1)], locals);
  const char *names[2] = {"the training split", "the validation split"};
  py::object frames[2] = {sp.df_train, sp.df_valid};
  for (int k = 0; k < 2; ++k) {
    require_frame(frames[k], names[k]);
    if (!frames[k].attr("columns").attr("equals")(dataset.attr("columns")).cast<bool>())
      raise(PyExc_ValueError, std::string(names[k]) + " does not have the frame's columns");
    if (py::len(frames[k]) == 0) raise(PyExc_ValueError, std::string(names[k]) + " is empty");
  }
  return sp;
}

// ---------------------------------------------------------------------------------------------
// fit: early stopping on the validation score; the best weights are restored and saved.

inline void fit(const py::module_ &mod, py::handle self, const TrainerSpec &spec,
                py::handle dataset1, py::handle evals_result) {
  Libs &L = libs();
  check_fit_settings(self);
  Splits sp = select_splits(mod, self, dataset1, evals_result, d_feat_of(self, spec));
  py::str label("label");
  SplitArrays train = to_arrays(sp.df_train[sp.feature], sp.df_train[label]);
  SplitArrays valid = to_arrays(sp.df_valid[sp.feature], sp.df_valid[label]);

  long long stop_steps = 0, best_epoch = 0;
  double best_score = -std::numeric_limits<double>::infinity();
  py::object best_param = py::none();
  py::list train_scores, valid_scores;
  evals_result["train"] = train_scores;
  evals_result["valid"] = valid_scores;

  emit(self, "training...");
  py::setattr(self, "fitted", py::bool_(true));
  py::object model = self.attr(spec.model_attr);
  long long n_epochs = n_epochs_of(self);
  long long early_stop = py::int_(self.attr("early_stop")).cast<long long>();
  for (long long step = 0; step < n_epochs; ++step) {
    emit(self, percent("Epoch%d:", py::make_tuple(step)));
    emit(self, "training...");
    train_epoch_arrays(self, spec, train);
    emit(self, "evaluating...");
    auto [train_loss, train_score] = test_epoch_arrays(self, spec, train);
    auto [valid_loss, valid_score] = test_epoch_arrays(self, spec, valid);
    (void)train_loss;
    (void)valid_loss;
    emit(self, percent("train %.6f, valid %.6f", py::make_tuple(train_score, valid_score)));
    train_scores.append(train_score);
    valid_scores.append(valid_score);
    if (valid_score > best_score) {
      best_score = valid_score;
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
  }
  emit(self, percent("best score: %.6lf @ %d", py::make_tuple(best_score, best_epoch)));
  if (best_param.is_none())
    raise(PyExc_RuntimeError,
          "no epoch produced a finite validation score (n_epochs is 0, or every validation "
          "score was NaN); the weights were left as they are and nothing was saved");
  model.attr("load_state_dict")(best_param);
  L.save(best_param, spec.weight_file);
  if (is_gpu_device(self.attr("device"))) L.torch.attr("cuda").attr("empty_cache")();
}

// ---------------------------------------------------------------------------------------------
// predict: every row, batch by batch, the short last batch included.

inline py::object predict(py::handle self, const TrainerSpec &spec, py::handle x_test) {
  Libs &L = libs();
  require_frame(x_test, "the feature table");
  if (py::len(x_test) == 0) raise(PyExc_ValueError, "the feature table has no rows");
  require_feature_width(py::len(x_test.attr("columns")), d_feat_of(self, spec),
                        "the feature table");
  py::object index = x_test.attr("index");
  py::object model = self.attr(spec.model_attr);
  py::object device = self.attr("device");
  long long bs = batch_size_of(self);
  model.attr("eval")();
  py::object x = float32_matrix(x_test);
  long long n = py::len(x_test);
  py::list parts;
  {
    NoGrad no_grad;
    for (long long b = 0; b < n; b += bs) {
      long long e = std::min(n, b + bs);
      py::object pred = model(x[py::slice(b, e, 1)].attr("to")(device));
      parts.append(pred.attr("detach")().attr("reshape")(-1).attr("cpu")());
    }
  }
  py::object scores = L.cat(parts).attr("numpy")();
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
             "Validation score (higher is better) over finite labels.", &masked_metric,
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
  def_method(cls, "fit", "fit(self, dataset1, evals_result={})", fit_doc.c_str(),
             [mod_h, sp](py::object self, py::object dataset1, py::object evals_result) {
               fit(py::reinterpret_borrow<py::module_>(mod_h), self, *sp, dataset1, evals_result);
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
