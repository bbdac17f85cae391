// Python module `wavecell`: SFM_Model, SFM, AverageMeter.
#include "wavecell/network.hpp"
#include "wavecell/trainer.hpp"

namespace py = pybind11;
using namespace alphaloom;
using namespace wavecell;

namespace {
constexpr const char* kSfmDoc =
    "SFM Model\n\n    Parameters\n    ----------\n    input_dim : int\n        input dimension\n"
    "    output_dim : int\n        output dimension\n    lr : float\n        learning rate\n"
    "    optimizer : str\n        optimizer name\n    GPU : int\n        the GPU ID used for "
    "training\n    ";
}

PYBIND11_MODULE(wavecell, m) {
  m.doc() = "State-frequency memory (SFM) return forecaster.";
  Libs& L = libs();
  expose_selector_globals(m);
  // False routes every step through plain tensor operations (the path other devices take).
  m.attr("_cpu_kernel") = py::bool_(true);
  py::handle mod_h = m;

  // ---- _MemoryScan: the fused CPU recurrence as an autograd function
  py::dict scan_ns;
  scan_ns["forward"] = static_method(
      "forward(ctx, x_proj, U, phase, u_a, b_a, threads)",
      "All steps of the recurrence from the input projections; returns the last hidden state.",
      &memory_scan_forward);
  scan_ns["backward"] =
      static_method("backward(ctx, grad_h)", "Gradients through every step, segment by segment.",
                    &memory_scan_backward);
  py::object scan_cls = make_class(m, "_MemoryScan", L.torch.attr("autograd").attr("Function"),
                                   "The SFM recurrence fused on the CPU (internal).", scan_ns);
  py::handle scan_h = scan_cls;

  // ---- SFM_Model
  py::object net_cls =
      make_class(m, "SFM_Model", L.torch.attr("nn").attr("Module"),
                 "State-frequency memory network: rows of d_feat x T feature-major columns to one "
                 "score per row.");
  py::handle net_h = net_cls;
  def_method(
      net_cls, "__init__",
      "init(self, d_feat=6, output_dim=1, freq_dim=10, hidden_size=64, dropout_W=0.0, "
      "dropout_U=0.0, device='cpu')",
      "Creates the nineteen parameters, activation, inner_activation and fc_out.",
      [net_h](py::object self, py::object d_feat, py::object output_dim, py::object freq_dim,
              py::object hidden_size, py::object dropout_W, py::object dropout_U,
              py::object device) {
        sfm_model_init(net_h, self, d_feat, output_dim, freq_dim, hidden_size, dropout_W, dropout_U,
                       device);
      },
      py::arg("d_feat") = 6, py::arg("output_dim") = 1, py::arg("freq_dim") = 10,
      py::arg("hidden_size") = 64, py::arg("dropout_W") = 0.0, py::arg("dropout_U") = 0.0,
      py::arg("device") = "cpu");
  def_method(net_cls, "init_states", "init_states(self, x)",
             "Puts the zero initial state into slots 0-4 of `states` (slots 5-7 None).",
             &sfm_model_init_states, py::arg("x"));
  def_method(net_cls, "get_constants", "get_constants(self, x)",
             "Puts the recurrent masks, input masks and frequency vector into slots 5-7.",
             &sfm_model_get_constants, py::arg("x"));
  def_method(
      net_cls, "forward", "forward(self, input)",
      "Scores of shape (N,) for input of shape (N, d_feat * T).",
      [scan_h, mod_h](py::object self, py::object input) {
        bool kernel = mod_h.attr("_cpu_kernel").cast<bool>();
        return sfm_model_forward(scan_h, kernel, self, input);
      },
      py::arg("input"));

  // ---- SFM
  py::object cls = make_class(m, "SFM", L.builtins.attr("object"), kSfmDoc);
  py::dict shared_evals;  // default evals_result, shared by every fit call that omits it
  cls.attr("_shared_evals_result") = shared_evals;
  def_method(
      cls, "__init__",
      "init(self, d_feat=6, hidden_size=64, output_dim=32, freq_dim=25, dropout_W=0.5, "
      "dropout_U=0.5, n_epochs=20, lr=0.001, metric='', batch_size=1600, early_stop=20, "
      "eval_steps=5, loss='mse', optimizer='adam', GPU=0, seed=None, **kwargs)",
      "Stores the settings, prints them, seeds, builds the network and the optimiser.",
      [net_h](py::object self, py::object d_feat, py::object hidden_size, py::object output_dim,
              py::object freq_dim, py::object dropout_W, py::object dropout_U, py::object n_epochs,
              py::object lr, py::object metric, py::object batch_size, py::object early_stop,
              py::object eval_steps, py::object loss, py::object optimizer, py::object gpu,
              py::object seed, py::kwargs) {
        sfm_init(net_h, self, d_feat, hidden_size, output_dim, freq_dim, dropout_W, dropout_U,
                 n_epochs, lr, metric, batch_size, early_stop, eval_steps, loss, optimizer, gpu,
                 seed);
      },
      py::arg("d_feat") = 6, py::arg("hidden_size") = 64, py::arg("output_dim") = 32,
      py::arg("freq_dim") = 25, py::arg("dropout_W") = 0.5, py::arg("dropout_U") = 0.5,
      py::arg("n_epochs") = 20, py::arg("lr") = 0.001, py::arg("metric") = "",
      py::arg("batch_size") = 1600, py::arg("early_stop") = 20, py::arg("eval_steps") = 5,
      py::arg("loss") = "mse", py::arg("optimizer") = "adam", py::arg("GPU") = 0,
      py::arg("seed") = py::none());
  def_method(cls, "mse", "mse(self, pred, label)", "Mean of the squared differences.", &sfm_mse,
             py::arg("pred"), py::arg("label"));
  def_batch_trainer_methods(m, cls, kSpec, shared_evals);

  // ---- AverageMeter
  py::object meter = make_class(m, "AverageMeter", L.builtins.attr("object"),
                                "Computes and stores the average and current value");
  def_method(meter, "__init__", "init(self)", "Starts at zero.",
             [](py::object self) { average_meter_reset(self); });
  def_method(meter, "reset", "reset(self)", "val, avg, sum and count back to 0.",
             &average_meter_reset);
  def_method(meter, "update", "update(self, val, n=1)",
             "Records `val` with weight `n` and updates the running average.",
             &average_meter_update, py::arg("val"), py::arg("n") = 1);
}
