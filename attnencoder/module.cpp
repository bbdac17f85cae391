// Python module `attnencoder`: PositionalEncoding, Transformer, TransformerModel.
#include "attnencoder/network.hpp"
#include "attnencoder/trainer.hpp"

namespace py = pybind11;
using namespace alphaloom;
using namespace attnencoder;

namespace {

// TransformerModel's constructor arguments: the signature, the checks and the stored attributes.
// The network's sizes are handed to Transformer only; slot orders the attributes as vars() shows.
constexpr Param kTransformerModelSettings[] = {
    // name          default   takes           rule               kept              slot
    {"d_feat",       6,        Takes::Int,      Rule::AtLeastOne,  Kept::No,          0},
    {"d_model",      64,       Takes::Int,      Rule::AtLeastOne,  Kept::AsGiven,     1},
    {"batch_size",   2048,     Takes::Int,      Rule::AtLeastOne,  Kept::AsGiven,     7},
    {"nhead",        2,        Takes::Int,      Rule::AtLeastOne,  Kept::No,          0},
    {"num_layers",   2,        Takes::Int,      Rule::AtLeastOne,  Kept::No,          0},
    {"dropout",      0.0,      Takes::Float,    Rule::Probability, Kept::AsGiven,     2},
    {"n_epochs",     100,      Takes::Anything, Rule::NonNegative, Kept::AsGiven,     3},
    {"lr",           0.0001,   Takes::Anything, Rule::Rate,        Kept::AsGiven,     4},
    {"metric",       "",       Takes::Anything, Rule::Any,         Kept::AsGiven,     6},
    {"early_stop",   20,       Takes::Anything, Rule::Any,         Kept::AsGiven,     8},
    {"loss",         "mse",    Takes::Anything, Rule::Any,         Kept::AsGiven,    10},
    {"optimizer",    "adam",   Takes::Anything, Rule::Any,         Kept::Lowered,     9},
    {"reg",          0.001,    Takes::Anything, Rule::Any,         Kept::AsGiven,     5},
    {"n_jobs",       10,       Takes::Anything, Rule::Any,         Kept::AsGiven,    11},
    {"GPU",          0,        Takes::Anything, Rule::Any,         Kept::AsDevice,   12},
    {"seed",         kNone,    Takes::Anything, Rule::Any,         Kept::AsGiven,    13},
    {"dim_feedforward", 2048,  Takes::Int,      Rule::AtLeastOne,  Kept::No,          0},
    {"verbose",      true,     Takes::Anything, Rule::Any,         Kept::No,          0},
};
static_assert(well_formed(kTransformerModelSettings));

}  // namespace

PYBIND11_MODULE(attnencoder, m) {
  m.doc() = "Encoder-only Transformer return forecaster.";
  Libs &L = libs();
  expose_selector_globals(m);
  py::handle module_base = L.torch.attr("nn").attr("Module");

  // ---- PositionalEncoding
  py::object pe_cls = make_class(m, "PositionalEncoding", module_base,
                                 "Sinusoidal positional encoding added to sequence-first inputs.");
  py::handle pe_h = pe_cls;
  def_method(pe_cls, "__init__", "init(self, d_model, max_len=1000)",
             "Builds the (max_len, 1, d_model) buffer `pe`.",
             [pe_h](py::object self, py::object d_model, py::object max_len) {
               positional_encoding_init(pe_h, self, d_model, max_len);
             },
             py::arg("d_model"), py::arg("max_len") = 1000);
  def_method(pe_cls, "forward", "forward(self, x)", "x + pe[:T] for x of shape (T, N, d_model).",
             &positional_encoding_forward, py::arg("x"));

  // ---- Transformer
  py::object net_cls = make_class(
      m, "Transformer", module_base,
      "Encoder-only Transformer mapping rows of d_feat x T feature-major columns to one score.");
  py::handle net_h = net_cls;
  def_method(net_cls, "__init__",
             "init(self, d_feat=6, d_model=8, nhead=4, num_layers=2, dropout=0.5, device=None, "
             "dim_feedforward=2048)",
             "Builds feature_layer, pos_encoder, encoder_layer, transformer_encoder, decoder_layer.",
             [net_h, pe_h](py::object self, py::object d_feat, py::object d_model, py::object nhead,
                           py::object num_layers, py::object dropout, py::object device,
                           py::object dim_feedforward) {
               transformer_init(net_h, pe_h, self, d_feat, d_model, nhead, num_layers, dropout,
                                device, dim_feedforward);
             },
             py::arg("d_feat") = 6, py::arg("d_model") = 8, py::arg("nhead") = 4,
             py::arg("num_layers") = 2, py::arg("dropout") = 0.5, py::arg("device") = py::none(),
             py::arg("dim_feedforward") = 2048);
  def_method(net_cls, "forward", "forward(self, src)",
             "Scores of shape (N,) for src of shape (N, d_feat * T).", &transformer_forward,
             py::arg("src"));

  // ---- TransformerModel
  py::object cls = make_class(m, "TransformerModel", L.builtins.attr("object"),
                              "Transformer forecaster: fit with early stopping, predict scores.");
  py::dict shared_evals;  // default evals_result, shared by every fit call that omits it
  cls.attr("_shared_evals_result") = shared_evals;
  def_settings_init<OtherKeywords::Ignored>(
      cls, "Stores the settings, prints the header, seeds, builds the network and the optimiser.",
      kTransformerModelSettings,
      [net_h](py::object self, const Settings &settings) { trainer_init(net_h, self, settings); });
  def_method(cls, "mse", "mse(self, pred, label)", "Mean squared error in float32.", &trainer_mse,
             py::arg("pred"), py::arg("label"));
  def_batch_trainer_methods(m, cls, kSpec, shared_evals);
  def_save_load(cls, kSavedForm);
}
