// Python module `attnencoder`: PositionalEncoding, Transformer, TransformerModel.
#include "attnencoder/network.hpp"
#include "attnencoder/trainer.hpp"

namespace py = pybind11;
using namespace alphaloom;
using namespace attnencoder;

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
             "init(self, d_feat=6, d_model=8, nhead=4, num_layers=2, dropout=0.5, device=None)",
             "Builds feature_layer, pos_encoder, encoder_layer, transformer_encoder, decoder_layer.",
             [net_h, pe_h](py::object self, py::object d_feat, py::object d_model, py::object nhead,
                           py::object num_layers, py::object dropout, py::object device) {
               transformer_init(net_h, pe_h, self, d_feat, d_model, nhead, num_layers, dropout,
                                device);
             },
             py::arg("d_feat") = 6, py::arg("d_model") = 8, py::arg("nhead") = 4,
             py::arg("num_layers") = 2, py::arg("dropout") = 0.5, py::arg("device") = py::none());
  def_method(net_cls, "forward", "forward(self, src)",
             "Scores of shape (N,) for src of shape (N, d_feat * T).", &transformer_forward,
             py::arg("src"));

  // ---- TransformerModel
  py::object cls = make_class(m, "TransformerModel", L.builtins.attr("object"),
                              "Transformer forecaster: fit with early stopping, predict scores.");
  py::dict shared_evals;  // default evals_result, shared by every fit call that omits it
  cls.attr("_shared_evals_result") = shared_evals;
  def_method(
      cls, "__init__",
      "init(self, d_feat=6, d_model=64, batch_size=2048, nhead=2, num_layers=2, dropout=0.0, "
      "n_epochs=100, lr=0.0001, metric='', early_stop=20, loss='mse', optimizer='adam', "
      "reg=0.001, n_jobs=10, GPU=0, seed=None, **kwargs)",
      "Stores the settings, prints the header, seeds, builds the network and the optimiser.",
      [net_h](py::object self, py::object d_feat, py::object d_model, py::object batch_size,
              py::object nhead, py::object num_layers, py::object dropout, py::object n_epochs,
              py::object lr, py::object metric, py::object early_stop, py::object loss,
              py::object optimizer, py::object reg, py::object n_jobs, py::object gpu,
              py::object seed, py::kwargs) {
        trainer_init(net_h, self, d_feat, d_model, batch_size, nhead, num_layers, dropout,
                     n_epochs, lr, metric, early_stop, loss, optimizer, reg, n_jobs, gpu, seed);
      },
      py::arg("d_feat") = 6, py::arg("d_model") = 64, py::arg("batch_size") = 2048,
      py::arg("nhead") = 2, py::arg("num_layers") = 2, py::arg("dropout") = 0.0,
      py::arg("n_epochs") = 100, py::arg("lr") = 0.0001, py::arg("metric") = "",
      py::arg("early_stop") = 20, py::arg("loss") = "mse", py::arg("optimizer") = "adam",
      py::arg("reg") = 0.001, py::arg("n_jobs") = 10, py::arg("GPU") = 0,
      py::arg("seed") = py::none());
  def_method(cls, "mse", "mse(self, pred, label)", "Mean squared error in float32.", &trainer_mse,
             py::arg("pred"), py::arg("label"));
  def_batch_trainer_methods(m, cls, kSpec, shared_evals);
}
