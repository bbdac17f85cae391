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

// SFM's constructor arguments: the signature, the checks and the stored attributes (slot orders
// them as vars() shows).
constexpr Param kSfmSettings[] = {
    // name          default   takes           rule               kept              slot
    {"d_feat",       6,        Takes::Anything, Rule::AtLeastOne,  Kept::AsGiven,     1},
    {"hidden_size",  64,       Takes::Anything, Rule::AtLeastOne,  Kept::AsGiven,     2},
    {"output_dim",   32,       Takes::Anything, Rule::Any,         Kept::AsGiven,     3},
    {"freq_dim",     25,       Takes::Anything, Rule::Any,         Kept::AsGiven,     4},
    {"dropout_W",    0.5,      Takes::Anything, Rule::Probability, Kept::AsGiven,     5},
    {"dropout_U",    0.5,      Takes::Anything, Rule::Probability, Kept::AsGiven,     6},
    {"n_epochs",     20,       Takes::Anything, Rule::NonNegative, Kept::AsGiven,     7},
    {"lr",           0.001,    Takes::Anything, Rule::Rate,        Kept::AsGiven,     8},
    {"metric",       "",       Takes::Anything, Rule::Any,         Kept::AsGiven,     9},
    {"batch_size",   1600,     Takes::Anything, Rule::AtLeastOne,  Kept::AsGiven,    10},
    {"early_stop",   20,       Takes::Anything, Rule::Any,         Kept::AsGiven,    11},
    {"eval_steps",   5,        Takes::Anything, Rule::Any,         Kept::AsGiven,    12},
    {"loss",         "mse",    Takes::Anything, Rule::Any,         Kept::AsGiven,    14},
    {"optimizer",    "adam",   Takes::Anything, Rule::Any,         Kept::Lowered,    13},
    {"GPU",          0,        Takes::Anything, Rule::Any,         Kept::AsDevice,   15},
    {"seed",         kNone,    Takes::Anything, Rule::Any,         Kept::AsGiven,    16},
    {"verbose",      true,     Takes::Anything, Rule::Any,         Kept::No,          0},
};
static_assert(well_formed(kSfmSettings));

// _MemoryScan: the fused CPU recurrence as an autograd function.
py::object define_memory_scan(py::module_& m) {
  py::dict scan_ns;
  scan_ns["forward"] = static_method(
      "forward(ctx, x_proj, U, phase, u_a, b_a, threads)",
      "All steps of the recurrence from the input projections; returns the last hidden state.",
      &memory_scan_forward);
  scan_ns["backward"] =
      static_method("backward(ctx, grad_h)", "Gradients through every step, segment by segment.",
                    &memory_scan_backward);
  return make_class(m, "_MemoryScan", libs().torch.attr("autograd").attr("Function"),
                    "The SFM recurrence fused on the CPU (internal).", scan_ns);
}

py::object define_network(py::module_& m, py::handle scan_h) {
  py::handle mod_h = m;
  py::object net_cls =
      make_class(m, "SFM_Model", libs().torch.attr("nn").attr("Module"),
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
  return net_cls;
}

void define_trainer(py::module_& m, py::handle net_h) {
  py::object cls = make_class(m, "SFM", libs().builtins.attr("object"), kSfmDoc);
  py::dict shared_evals;  // default evals_result, shared by every fit call that omits it
  cls.attr("_shared_evals_result") = shared_evals;
  def_settings_init<OtherKeywords::Ignored>(
      cls, "Stores the settings, prints them, seeds, builds the network and the optimiser.",
      kSfmSettings,
      [net_h](py::object self, const Settings& settings) { sfm_init(net_h, self, settings); });
  def_method(cls, "mse", "mse(self, pred, label)", "Mean of the squared differences.", &sfm_mse,
             py::arg("pred"), py::arg("label"));
  def_batch_trainer_methods(m, cls, kSpec, shared_evals);
  def_save_load(cls, kSavedForm);
}

// AverageMeter, a running-average holder.
void define_average_meter(py::module_& m) {
  py::object meter = make_class(m, "AverageMeter", libs().builtins.attr("object"),
                                "Computes and stores the average and current value");
  def_method(meter, "__init__", "init(self)", "Starts at zero.",
             [](py::object self) { average_meter_reset(self); });
  def_method(meter, "reset", "reset(self)", "val, avg, sum and count back to 0.",
             &average_meter_reset);
  def_method(meter, "update", "update(self, val, n=1)",
             "Records `val` with weight `n` and updates the running average.",
             &average_meter_update, py::arg("val"), py::arg("n") = 1);
}

}  // namespace

PYBIND11_MODULE(wavecell, m) {
  m.doc() = "State-frequency memory (SFM) return forecaster.";
  expose_selector_globals(m);
  // False routes every step through plain tensor operations (the path other devices take).
  m.attr("_cpu_kernel") = py::bool_(true);
  py::object scan_cls = define_memory_scan(m);
  py::object net_cls = define_network(m, scan_cls);
  define_trainer(m, net_cls);
  define_average_meter(m);
}
