// Python module `dualstream`: the ADD networks (ADDModel, Decoder, RevGradFunc, RevGrad,
// LSTMModel, GRUModel) and the ADD forecaster.
#include "common/libs.hpp"
#include "common/saved_models.hpp"
#include "dualstream/evaluation.hpp"
#include "dualstream/fused.hpp"
#include "dualstream/losses.hpp"
#include "dualstream/network.hpp"
#include "dualstream/regimes.hpp"
#include "dualstream/trainer.hpp"

namespace py = pybind11;
using namespace alphaloom;
using namespace dualstream;

namespace {

constexpr const char *kAddDoc =
    "ADD Model\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "lr : float\n"
    "    learning rate\n"
    "d_feat : int\n"
    "    input dimensions for each time step\n"
    "metric : str\n"
    "    the evaluation metric used in early stop\n"
    "optimizer : str\n"
    "    optimizer name\n"
    "GPU : int\n"
    "    the GPU ID used for training\n";

// ADD's constructor arguments: the signature, the checks and the stored attributes (slot orders
// them as vars() shows).
constexpr Param kAddSettings[] = {
    // name          default   takes           rule               kept              slot
    {"d_feat",       6,        Takes::Anything, Rule::AtLeastOne,  Kept::AsGiven,     1},
    {"hidden_size",  64,       Takes::Anything, Rule::AtLeastOne,  Kept::AsGiven,     2},
    {"num_layers",   2,        Takes::Anything, Rule::AtLeastOne,  Kept::AsGiven,     3},
    {"dropout",      0.0,      Takes::Anything, Rule::Probability, Kept::AsGiven,     4},
    {"dec_dropout",  0.0,      Takes::Anything, Rule::Probability, Kept::AsGiven,     5},
    {"n_epochs",     200,      Takes::Anything, Rule::NonNegative, Kept::AsGiven,     6},
    {"lr",           0.001,    Takes::Anything, Rule::Rate,        Kept::AsGiven,     7},
    {"metric",       "mse",    Takes::Anything, Rule::Any,         Kept::AsGiven,     8},
    {"batch_size",   5000,     Takes::Anything, Rule::AtLeastOne,  Kept::AsGiven,     9},
    {"early_stop",   20,       Takes::Anything, Rule::Any,         Kept::AsGiven,    10},
    {"base_model",   "GRU",    Takes::Anything, Rule::Any,         Kept::AsGiven,    12},
    {"model_path",   kNone,    Takes::Anything, Rule::Any,         Kept::AsGiven,    13},
    {"optimizer",    "adam",   Takes::Anything, Rule::Any,         Kept::Lowered,    11},
    {"gamma",        0.1,      Takes::Anything, Rule::Any,         Kept::AsGiven,    16},
    {"gamma_clip",   0.4,      Takes::Anything, Rule::Any,         Kept::AsGiven,    17},
    {"mu",           0.05,     Takes::Anything, Rule::Any,         Kept::AsGiven,    18},
    {"GPU",          0,        Takes::Anything, Rule::Any,         Kept::AsDevice,   14},
    {"seed",         kNone,    Takes::Anything, Rule::Any,         Kept::AsGiven,    15},
    {"verbose",      true,     Takes::Anything, Rule::Any,         Kept::No,          0},
};
static_assert(well_formed(kAddSettings));

const SavedForm kAddSavedForm{"dualstream.ADD", "ADD_model", {"lo", "hi"}};

// The network classes, made before any method is bound so that each can refer to the others.
NetClasses make_network_classes(py::module_ &m) {
  Libs &L = libs();
  py::handle module_base = L.torch.attr("nn").attr("Module");

  py::object add_model = make_class(
      m, "ADDModel", module_base,
      "ADD network: excess and market recurrent streams, prediction and adversarial heads "
      "behind gradient reversal, and a recurrent decoder that reconstructs the input window.");
  py::object decoder =
      make_class(m, "Decoder", module_base,
                 "One-step recurrent decoder: (input, state) -> (prediction, new state).");
  py::dict fn_ns;
  fn_ns["forward"] = static_method("forward(ctx, input_, alpha_)",
                                   "Identity; keeps (input_, alpha_) for the backward pass.",
                                   &revgrad_func_forward, py::arg("ctx"), py::arg("input_"),
                                   py::arg("alpha_"));
  fn_ns["backward"] = static_method("backward(ctx, grad_output)",
                                    "Gradient of input_ is -alpha_ * grad_output; alpha_ gets none.",
                                    &revgrad_func_backward, py::arg("ctx"), py::arg("grad_output"));
  py::object revgrad_func =
      make_class(m, "RevGradFunc", L.torch.attr("autograd").attr("Function"),
                 "Gradient reversal: identity forward, gradient scaled by -alpha backward.", fn_ns);
  py::object revgrad = make_class(
      m, "RevGrad", module_base,
      "Gradient-reversal layer whose strength follows 2 / (1 + exp(-gamma * p)) - 1, clipped "
      "at gamma_clip, advanced by step_alpha.");
  py::object lstm_model = make_class(m, "LSTMModel", module_base,
                                     "Single-stream LSTM regressor: one score per row.");
  py::object gru_model =
      make_class(m, "GRUModel", module_base, "Single-stream GRU regressor: one score per row.");
  return NetClasses{add_model, decoder, revgrad_func, revgrad, lstm_model, gru_model};
}

// The fused CPU recurrences: their switches on the module and their autograd function.
void define_fused_kernels(py::module_ &m, NetClasses &c) {
  // `_cpu_kernel = False` sends every pass through the library's
  // modules; `_kernel_isa` picks the vector path (the best this processor runs by default).
  m.attr("_cpu_kernel") = py::bool_(true);
  py::list isas = kernel_isas();
  m.attr("_kernel_isas") = py::tuple(isas);
  m.attr("_kernel_isa") = isas[0];
  // Per stack, the most memory a training forward pass keeps for its backward pass (beyond
  // it, the backward pass recomputes the steps instead).
  m.attr("_kernel_keep_bytes") = py::int_(std::size_t{512} << 20);
  py::dict stack_ns;
  stack_ns["forward"] = static_method(
      "forward(ctx, spec, *tensors)",
      "Every step of a GRU/LSTM stack from (x, h0, c0, mask, weights...); keeps what backward needs.",
      &fused_stack_forward);
  stack_ns["backward"] = static_method("backward(ctx, *grads)",
                                       "Gradients of every input through all steps.",
                                       &fused_stack_backward);
  c.module = m;
  c.fused_fn = make_class(m, "_FusedStack", libs().torch.attr("autograd").attr("Function"),
                          "A recurrent stack fused on the CPU (internal).", stack_ns);
}

void bind_add_model(const NetClasses &c) {
  def_method(c.add_model, "__init__",
             "init(self, d_feat=6, hidden_size=64, num_layers=1, dropout=0.0, dec_dropout=0.5, "
             "base_model='GRU', gamma=0.1, gamma_clip=0.4)",
             "Builds enc_excess, enc_market, dec, the four heads and the two reversal layers.",
             [c](py::object self, py::object d_feat, py::object hidden_size, py::object num_layers,
                 py::object dropout, py::object dec_dropout, py::object base_model,
                 py::object gamma, py::object gamma_clip) {
               add_model_init(c, self, d_feat, hidden_size, num_layers, dropout, dec_dropout,
                              base_model, gamma, gamma_clip);
             },
             py::arg("d_feat") = 6, py::arg("hidden_size") = 64, py::arg("num_layers") = 1,
             py::arg("dropout") = 0.0, py::arg("dec_dropout") = 0.5, py::arg("base_model") = "GRU",
             py::arg("gamma") = 0.1, py::arg("gamma_clip") = 0.4);
  def_method(c.add_model, "forward", "forward(self, x)",
             "Dictionary of excess (N,), market (N, 3), adv_market (N, 3), adv_excess (N, 1) and "
             "reconstructed_feature (N, T, d_feat) for rows x of shape (N, d_feat * T).",
             [c](py::object self, py::object x) { return add_model_forward(c, self, x); },
             py::arg("x"));
}

void bind_decoder(const NetClasses &c) {
  def_method(c.decoder, "__init__",
             "init(self, d_feat=6, hidden_size=128, num_layers=1, dropout=0.5, base_model='GRU')",
             "Builds the recurrent layer rnn and the output layer fc.",
             [c](py::object self, py::object d_feat, py::object hidden_size, py::object num_layers,
                 py::object dropout, py::object base_model) {
               decoder_init(c, self, d_feat, hidden_size, num_layers, dropout, base_model);
             },
             py::arg("d_feat") = 6, py::arg("hidden_size") = 128, py::arg("num_layers") = 1,
             py::arg("dropout") = 0.5, py::arg("base_model") = "GRU");
  def_method(c.decoder, "forward", "forward(self, x, hidden)",
             "(prediction (N, d_feat), new state) from x (N, d_feat) and the recurrent state.",
             &decoder_forward, py::arg("x"), py::arg("hidden"));
}

void bind_revgrad(const NetClasses &c) {
  def_method(c.revgrad, "__init__", "init(self, gamma=0.1, gamma_clip=0.4, *args, **kwargs)",
             "Strength 0 until the first step_alpha; further arguments go to the base module.",
             [c](py::object self, py::object gamma, py::object gamma_clip, py::args args,
                 py::kwargs kwargs) { revgrad_init(c, self, gamma, gamma_clip, args, kwargs); },
             py::arg("gamma") = 0.1, py::arg("gamma_clip") = 0.4);
  def_method(c.revgrad, "forward", "forward(self, input_)",
             "RevGradFunc.apply(input_, self._alpha).",
             [c](py::object self, py::object input) { return revgrad_forward(c, self, input); },
             py::arg("input_"));
  def_method(c.revgrad, "step_alpha", "step_alpha(self)",
             "Advances the reversal strength schedule by one step.", &revgrad_step_alpha);
}

// LSTMModel and GRUModel: the plain recurrent regressors.
void bind_plain_rnns(const NetClasses &c) {
  py::handle lstm_h = c.lstm_model, gru_h = c.gru_model;
  def_method(c.lstm_model, "__init__",
             "init(self, d_feat=6, hidden_size=64, num_layers=2, dropout=0.0)",
             "Builds rnn (LSTM) and fc_out.",
             [lstm_h](py::object self, py::object d_feat, py::object hidden_size,
                      py::object num_layers, py::object dropout) {
               plain_rnn_init(lstm_h, true, self, d_feat, hidden_size, num_layers, dropout);
             },
             py::arg("d_feat") = 6, py::arg("hidden_size") = 64, py::arg("num_layers") = 2,
             py::arg("dropout") = 0.0);
  def_method(c.lstm_model, "forward", "forward(self, x)",
             "Scores (N,) from the last time step, for rows x of shape (N, d_feat * T).",
             &plain_rnn_forward, py::arg("x"));
  def_method(c.gru_model, "__init__",
             "init(self, d_feat=6, hidden_size=64, num_layers=2, dropout=0.0)",
             "Builds rnn (GRU) and fc_out.",
             [gru_h](py::object self, py::object d_feat, py::object hidden_size,
                     py::object num_layers, py::object dropout) {
               plain_rnn_init(gru_h, false, self, d_feat, hidden_size, num_layers, dropout);
             },
             py::arg("d_feat") = 6, py::arg("hidden_size") = 64, py::arg("num_layers") = 2,
             py::arg("dropout") = 0.0);
  def_method(c.gru_model, "forward", "forward(self, x)",
             "Scores (N,) from the last time step, for rows x of shape (N, d_feat * T).",
             &plain_rnn_forward, py::arg("x"));
}

void define_networks(py::module_ &m, NetClasses &c) {
  c = make_network_classes(m);
  define_fused_kernels(m, c);
  bind_add_model(c);
  bind_decoder(c);
  bind_revgrad(c);
  bind_plain_rnns(c);
}

void define_losses(py::handle cls) {
  def_method(cls, "loss_pre_excess", "loss_pre_excess(self, pred_excess, label_excess, record=None)",
             "MSE of the excess prediction over rows with a label.", &loss_pre_excess,
             py::arg("pred_excess"), py::arg("label_excess"), py::arg("record") = py::none());
  def_method(cls, "loss_pre_market", "loss_pre_market(self, pred_market, label_market, record=None)",
             "Cross-entropy of the market-regime logits.", &loss_pre_market,
             py::arg("pred_market"), py::arg("label_market"), py::arg("record") = py::none());
  def_method(cls, "loss_pre",
             "loss_pre(self, pred_excess, label_excess, pred_market, label_market, record=None)",
             "loss_pre_excess + loss_pre_market.", &loss_pre, py::arg("pred_excess"),
             py::arg("label_excess"), py::arg("pred_market"), py::arg("label_market"),
             py::arg("record") = py::none());
  def_method(cls, "loss_adv_excess", "loss_adv_excess(self, adv_excess, label_excess, record=None)",
             "MSE of the adversarial excess prediction over rows with a label.", &loss_adv_excess,
             py::arg("adv_excess"), py::arg("label_excess"), py::arg("record") = py::none());
  def_method(cls, "loss_adv_market", "loss_adv_market(self, adv_market, label_market, record=None)",
             "Cross-entropy of the adversarial market-regime logits.", &loss_adv_market,
             py::arg("adv_market"), py::arg("label_market"), py::arg("record") = py::none());
  def_method(cls, "loss_adv",
             "loss_adv(self, adv_excess, label_excess, adv_market, label_market, record=None)",
             "loss_adv_excess + loss_adv_market.", &loss_adv, py::arg("adv_excess"),
             py::arg("label_excess"), py::arg("adv_market"), py::arg("label_market"),
             py::arg("record") = py::none());
  def_method(cls, "loss_fn", "loss_fn(self, x, preds, label_excess, label_market, record=None)",
             "Prediction + adversarial terms + mu * reconstruction.", &loss_fn, py::arg("x"),
             py::arg("preds"), py::arg("label_excess"), py::arg("label_market"),
             py::arg("record") = py::none());
  def_method(cls, "loss_rec", "loss_rec(self, x, rec_x, record=None)",
             "MSE between the input window (N, T, d_feat) and its reconstruction.", &loss_rec,
             py::arg("x"), py::arg("rec_x"), py::arg("record") = py::none());

}

void define_training(py::handle cls, py::dict shared_evals) {
  def_method(cls, "get_daily_inter", "get_daily_inter(self, df, shuffle=False)",
             "(daily_index, daily_count): first row and row count of each day.", &get_daily_inter,
             py::arg("df"), py::arg("shuffle") = false);
  def_method(cls, "cal_ic_metrics", "cal_ic_metrics(self, pred, label)",
             "mse, loss (both negative errors), ic and ric of one day.", &cal_ic_metrics,
             py::arg("pred"), py::arg("label"));
  def_method(cls, "test_epoch", "test_epoch(self, data_x, data_y, data_m)",
             "Per-day metric records averaged over days.", &test_epoch, py::arg("data_x"),
             py::arg("data_y"), py::arg("data_m"));
  def_method(cls, "train_epoch",
             "train_epoch(self, x_train_values, y_train_values, m_train_values)",
             "One pass of optimiser steps over shuffled full batches.", &train_epoch,
             py::arg("x_train_values"), py::arg("y_train_values"), py::arg("m_train_values"));
  def_method(cls, "log_metrics", "log_metrics(self, mode, metrics)",
             "Prints the metrics on one line as key/mode: value.", &log_metrics, py::arg("mode"),
             py::arg("metrics"));
  def_method(cls, "bootstrap_fit",
             "bootstrap_fit(self, x_train, y_train, m_train, x_valid, y_valid, m_valid)",
             "Epochs with early stopping on the validation metric; returns the best score.",
             &bootstrap_fit, py::arg("x_train"), py::arg("y_train"), py::arg("m_train"),
             py::arg("x_valid"), py::arg("y_valid"), py::arg("m_valid"));
  def_method(cls, "gen_market_label", "gen_market_label(self, df, raw_label)",
             "df joined with the market-regime class of each row's day (market_return).",
             &gen_market_label, py::arg("df"), py::arg("raw_label"));
  def_method(cls, "fit_thresh", "fit_thresh(self, train_label)",
             "Sets lo and hi, the 1/3 and 2/3 quantiles of the daily mean labels.", &fit_thresh,
             py::arg("train_label"));
  def_method(cls, "fit", "fit(self, dataset1, evals_result={}, save_path=None)",
             "Trains with early stopping on the validation split and saves ADD.pth.", &fit,
             py::arg("dataset1"), py::arg("evals_result") = shared_evals,
             py::arg("save_path") = py::none());
  def_method(cls, "predict", "predict(self, dataset1)",
             "One float32 score per row, day by day, as a Series with the input's index.",
             &predict, py::arg("dataset1"));
}

void define_trainer(py::module_ &m, const NetClasses &c) {
  Libs &L = libs();
  py::object cls = make_class(m, "ADD", L.builtins.attr("object"), kAddDoc);
  py::handle net_h = c.add_model;
  py::dict shared_evals;  // default evals_result, shared by every fit call that omits it
  cls.attr("_shared_evals_result") = shared_evals;

  def_settings_init<OtherKeywords::Ignored>(
      cls, "Stores the settings, prints them, seeds, builds ADD_model and its optimiser.",
      kAddSettings,
      [net_h](py::object self, const Settings &settings) { add_init(net_h, self, settings); });
  def_property(cls, "use_gpu", "True when the device is not the CPU.", &add_use_gpu);

  define_losses(cls);
  define_training(cls, shared_evals);
  def_save_load(cls, kAddSavedForm);
}

}  // namespace

PYBIND11_MODULE(dualstream, m) {
  m.doc() = "ADD forecaster: dual-stream recurrent network with adversarial heads.";
  expose_selector_globals(m);
  NetClasses classes;
  define_networks(m, classes);
  define_trainer(m, classes);
}
