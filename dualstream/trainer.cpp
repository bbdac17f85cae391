#include "dualstream/trainer.hpp"

#include <cstdint>
#include <initializer_list>
#include <optional>

#include "common/safety.hpp"
#include "common/saved_models.hpp"
#include "common/trainer.hpp"
#include "dualstream/day_index.hpp"
#include "dualstream/evaluation.hpp"
#include "dualstream/inputs.hpp"
#include "dualstream/regimes.hpp"

namespace dualstream {
using namespace alphaloom;

namespace {

// ---------------------------------------------------------------------------------------------
// Construction

void print_settings(py::handle self) {
  auto a = [&](const char *name) { return self.attr(name); };
  emit(self, format("ADD parameters setting:\nd_feat : {}\nhidden_size : {}\nnum_layers : {}\n"
                    "dropout : {}\ndec_dropout : {}\nn_epochs : {}\nlr : {}\nmetric : {}\n"
                    "batch_size : {}\nearly_stop : {}\noptimizer : {}\nbase_model : {}\n"
                    "model_path : {}\ngamma : {}\ngamma_clip : {}\nmu : {}\ndevice : {}\n"
                    "use_GPU : {}\nseed : {}",
                    a("d_feat"), a("hidden_size"), a("num_layers"), a("dropout"),
                    a("dec_dropout"), a("n_epochs"), a("lr"), a("metric"), a("batch_size"),
                    a("early_stop"), a("optimizer"), a("base_model"), a("model_path"), a("gamma"),
                    a("gamma_clip"), a("mu"), a("device"), a("use_gpu"), a("seed")));
}

// Seeded after the settings are printed and before the network exists, so the initial weights
// follow the seed. The network gets the trainer's values, never ADDModel's own defaults.
void build_network(py::handle net_cls, py::handle self, py::handle optimizer_as_passed) {
  Libs &L = libs();
  py::object seed = self.attr("seed");
  if (!seed.is_none()) {
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
  self.attr("train_optimizer") =
      make_optimizer(self.attr("optimizer"), optimizer_as_passed, model.attr("parameters")(),
                     py::dict("lr"_a = self.attr("lr")));
  self.attr("fitted") = py::bool_(false);
  model.attr("to")(self.attr("device"));
}

// ---------------------------------------------------------------------------------------------
// fit

// The training and validation frames with their regime classes. The selectors pick the label
// Series first (thresholds come from the training labels only), then the frames.
struct LabelledSplits {
  py::list feature;
  py::object dataset, df_train, df_valid;
};

LabelledSplits select_labelled_splits(py::handle self, py::handle dataset1,
                                      py::handle evals_result, py::handle save_path) {
  py::module_ mod = py::module_::import("dualstream");
  FitInput in = fit_input(dataset1, self.attr("d_feat"));
  py::str label("label");
  py::dict locals("dataset"_a = in.dataset, "dataset1"_a = dataset1,
                  "evals_result"_a = evals_result, "save_path"_a = save_path, "self"_a = self);
  locals["label_train"] = in.dataset[label];
  py::object label_train = split_of(mod, "label_train", in.dataset[label], in.sel_train, locals);
  locals["label_train"] = label_train;
  locals["label_valid"] = in.dataset[label];
  py::object label_valid = split_of(mod, "label_valid", in.dataset[label], in.sel_valid, locals);
  locals["label_valid"] = label_valid;
  require_instance(label_train, libs().Series, "Series", "the training labels");
  require_instance(label_valid, libs().Series, "Series", "the validation labels");

  py::object df_train = split_of(mod, "dataset", in.dataset, in.sel_train, locals);
  locals["df_train"] = df_train;
  py::object df_valid = split_of(mod, "dataset", in.dataset, in.sel_valid, locals);
  require_splits(in.dataset, df_train, df_valid, /*need_rows=*/false);
  day_ranges_of(df_train, kSplitNames[0]);  // ordering checked before any training
  day_ranges_of(df_valid, kSplitNames[1]);
  // Every check before the thresholds are set: nothing changes on refused input.
  py::handle frames[2] = {df_train, df_valid};
  for (int k = 0; k < 2; ++k) {
    require_numeric_columns(frames[k], in.feature, kSplitNames[k]);
    require_finite_features(feature_matrix(frames[k][in.feature], kSplitNames[k]), in.feature,
                            kSplitNames[k], labelled_day_rows(frames[k]));
  }
  require_no_infinite_labels(df_train[label], kSplitNames[0]);
  require_no_infinite_labels(df_valid[label], kSplitNames[1]);
  require_writable_target("ADD.pth");
  self.attr("fit_thresh")(label_train);  // thresholds from the training labels only
  py::object gen = self.attr("gen_market_label");
  return {in.feature, in.dataset, drop_unlabelled_days(self, gen(df_train, label_train), kSplitNames[0]),
          drop_unlabelled_days(self, gen(df_valid, label_valid), kSplitNames[1])};
}

// The plain model whose file may seed the encoders; built whether or not a file is named, so an
// unknown base model is reported before any training.
py::object pretrained_holder(py::handle self) {
  py::module_ mod = py::module_::import("dualstream");
  py::object base_model = self.attr("base_model");
  if (base_model.equal(py::str("LSTM"))) return mod.attr("LSTMModel")();
  if (base_model.equal(py::str("GRU"))) return mod.attr("GRUModel")();
  raise(PyExc_ValueError,
        percent("unknown base model name `%s`", py::make_tuple(base_model)).cast<std::string>());
}

// Both encoders take the entries of the pretrained recurrent layer whose keys they also have.
void load_pretrained(py::handle self, py::handle pretrained) {
  emit(self, "Loading pretrained model...");
  pretrained.attr("load_state_dict")(
      libs().torch.attr("load")(self.attr("model_path"), "map_location"_a = self.attr("device")));
  py::dict rnn_state = pretrained.attr("rnn").attr("state_dict")();
  py::object model = self.attr("ADD_model");
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

// Both splits evaluated and printed; the validation value of the early-stopping metric.
// The epoch's record gets every metric of both splits ("train_ic", "valid_loss", ...) and the
// early-stopping metric as "train_score" / "valid_score".
py::object epoch_score(py::handle self, py::handle metric, py::handle x_train, py::handle y_train,
                       py::handle m_train, py::handle x_valid, py::handle y_valid,
                       py::handle m_valid, py::dict &record) {
  py::object train_metrics = self.attr("test_epoch")(x_train, y_train, m_train);
  py::object valid_metrics = self.attr("test_epoch")(x_valid, y_valid, m_valid);
  self.attr("log_metrics")("train", train_metrics);
  self.attr("log_metrics")("valid", valid_metrics);
  if (!valid_metrics.contains(metric)) raise_unknown("unknown metric name `%s`", metric);
  const std::pair<const char *, py::object> splits[] = {{"train", train_metrics},
                                                        {"valid", valid_metrics}};
  for (const auto &[split, metrics] : splits)
    for (py::handle kv : metrics.attr("items")())
      record[format("{}_{}", split, kv[py::int_(0)])] = kv[py::int_(1)];
  if (train_metrics.contains(metric)) record["train_score"] = train_metrics[metric];
  record["valid_score"] = valid_metrics[metric];
  return valid_metrics[metric];
}

// While test_epoch is ADD's own, its eleven keys are the only metrics early stopping can read: any
// other name is refused before anything is printed or changed (it used to surface after a first
// epoch had trained). `methods` are the others the caller relies on being ADD's own.
void require_known_metric(py::handle self, std::initializer_list<const char *> methods) {
  py::object cls = py::module_::import("dualstream").attr("ADD");
  if (!own_method(self, cls, "test_epoch")) return;
  for (const char *name : methods)
    if (!own_method(self, cls, name)) return;
  py::object metric = self.attr("metric");
  if (!is_metric_name(metric)) raise_unknown("unknown metric name `%s`", metric);
}

}  // namespace

void add_init(py::handle net_cls, py::object self, const Settings &settings) {
  begin_trainer_init(self, settings);
  emit(self, "ADD pytorch version...");
  settings.keep_on(self);
  print_settings(self);
  build_network(net_cls, self, settings["optimizer"]);
  finish_trainer_init(self, settings);
}

bool add_use_gpu(py::object self) { return is_gpu_device(self.attr("device")); }

py::object train_epoch(py::object self, py::object x_train_values, py::object y_train_values,
                       py::object m_train_values) {
  py::array x = contiguous(x_train_values, libs().np_float32);
  if (x.ndim() != 2) raise(PyExc_ValueError, "the training features must be a 2-d array");
  const long long n = x.shape(0);
  py::array y = label_vector(y_train_values, n, "the training labels");
  py::array_t<std::int64_t> m = class_vector(m_train_values, n, "the training classes");
  py::object loss_fn = self.attr("loss_fn");
  shuffled_batch_steps(self, self.attr("ADD_model"), n,
                       {writable_tensor(x), writable_tensor(y), writable_tensor(m)},
                       [&](const std::vector<py::object> &b, py::handle preds) {
                         return loss_fn(b[0], preds, b[1], b[2]);
                       });
  return py::none();
}

// The gradient-reversal schedule advances once per completed epoch; the evals_result lists stay
// empty.
py::object bootstrap_fit(py::object self, py::object x_train, py::object y_train,
                         py::object m_train, py::object x_valid, py::object y_valid,
                         py::object m_valid) {
  Libs &L = libs();
  require_known_metric(self, {});
  TrainingSnapshot before(self, "ADD_model");
  emit(self, "training...");
  self.attr("fitted") = py::bool_(true);
  // converted once; train_epoch accepts the arrays as they are
  py::array x_train_values =
      contiguous(x_train.attr("to_numpy")("dtype"_a = L.np_float32), L.np_float32);
  py::object y_train_values = L.np.attr("squeeze")(y_train.attr("to_numpy")());
  py::object m_train_values = L.np.attr("squeeze")(m_train.attr("to_numpy")());
  set_fit_width(self, x_train_values.ndim() == 2 ? x_train_values.shape(1) : 0);
  py::object model = self.attr("ADD_model");
  py::object metric = self.attr("metric");
  py::list history;
  self.attr("history") = history;
  EarlyStopping es = run_epochs(
      self, model, history,
      [&] { self.attr("train_epoch")(x_train_values, y_train_values, m_train_values); },
      [&](py::dict &record) {
        return epoch_score(self, metric, x_train, y_train, m_train, x_valid, y_valid, m_valid,
                           record);
      },
      [&] {
        model.attr("before_adv_excess").attr("step_alpha")();
        model.attr("before_adv_market").attr("step_alpha")();
      });
  emit(self, format("bootstrap_fit best score: {:.6f} @ {}", es.best_score, es.best_epoch));
  if (!es.best_param) before.restore();
  es.restore(model,
             "no epoch improved the validation score (n_epochs is 0, or every validation score "
             "was NaN); the weights were restored to what they were before fit and nothing was "
             "saved");
  return es.best_score;
}

py::object fit(py::object self, py::object dataset1, py::object evals_result,
               py::object save_path) {
  check_fit_settings(self);
  require_known_metric(self, {"bootstrap_fit"});
  LabelledSplits sp = select_labelled_splits(self, dataset1, evals_result, save_path);
  py::str label("label"), market("market_return");
  py::object x_train = sp.df_train[sp.feature], y_train = sp.df_train[label],
             m_train = sp.df_train[market];
  py::object x_valid = sp.df_valid[sp.feature], y_valid = sp.df_valid[label],
             m_valid = sp.df_valid[market];
  evals_result["train"] = py::list();
  evals_result["valid"] = py::list();

  py::object pretrained = pretrained_holder(self);
  // bootstrap_fit's own snapshot is taken after the pretrained weights are in, so a run without
  // a finite score would otherwise leave the encoders pretrained while saying they were restored.
  std::optional<TrainingSnapshot> before_pretrained;
  if (!self.attr("model_path").is_none()) {
    before_pretrained.emplace(self, "ADD_model");
    load_pretrained(self, pretrained);
  }
  try {
    self.attr("bootstrap_fit")(x_train, y_train, m_train, x_valid, y_valid, m_valid);
  } catch (py::error_already_set &e) {
    if (before_pretrained && e.matches(PyExc_RuntimeError)) before_pretrained->restore();
    throw;
  }
  set_fit_features(self, sp.dataset);
  py::object state = self.attr("ADD_model").attr("state_dict")();
  save_weights(self, libs().copy.attr("deepcopy")(state), "ADD.pth");
  return py::none();
}

// Only the excess stream's output is returned; rows go through in blocks (rows are independent
// in eval() mode), so the result equals scoring one day at a time.
py::object predict(py::object self, py::object dataset1) {
  py::object x_test = dataset1;
  require_frame(x_test, "the feature table");
  if (py::len(x_test) == 0) raise(PyExc_ValueError, "the feature table has no rows");
  if (py::list(x_test.attr("columns")).contains(py::str("label")))
    raise(PyExc_ValueError,
          "the feature table holds a \"label\" column; pass the feature columns only");
  require_unique_columns(x_test.attr("columns"), "the feature table");
  py::array x = feature_matrix(x_test, "the feature table");
  require_feature_width(x.shape(1), self.attr("d_feat"), "the feature table");
  require_fitted_width(self, x.shape(1), "the feature table");
  py::object index = x_test.attr("index");
  py::object scores = block_scores(self.attr("ADD_model"), writable_tensor(x), self.attr("device"),
                                   x.shape(0), eval_rows(self),
                                   [](py::object out) { return out[py::str("excess")]; });
  return libs().Series(scores, "index"_a = index);
}

}  // namespace dualstream
