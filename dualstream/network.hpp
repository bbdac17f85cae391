// The ADD networks: two recurrent streams with prediction and adversarial heads, the
// reconstruction decoder, the gradient-reversal function and layer, and the plain recurrent
// regressors that hold pretrained encoder weights.
#pragma once

#include "common/pyglue.hpp"

namespace dualstream {
namespace py = pybind11;

// Classes the network functions need at call time (borrowed: the module owns them).
struct NetClasses {
  py::handle add_model, decoder, revgrad_func, revgrad, lstm_model, gru_model;
  // The extension module (its `_cpu_kernel` / `_kernel_isa` switches) and _FusedStack.
  py::handle module{}, fused_fn{};
};

void add_model_init(const NetClasses &c, py::object self, py::object d_feat, py::object hidden_size,
                    py::object num_layers, py::object dropout, py::object dec_dropout,
                    py::object base_model, py::object gamma, py::object gamma_clip);
py::object add_model_forward(const NetClasses &c, py::object self, py::object x);

void decoder_init(const NetClasses &c, py::object self, py::object d_feat, py::object hidden_size,
                  py::object num_layers, py::object dropout, py::object base_model);
py::object decoder_forward(py::object self, py::object x, py::object hidden);

py::object revgrad_func_forward(py::object ctx, py::object input, py::object alpha);
py::object revgrad_func_backward(py::object ctx, py::object grad_output);

void revgrad_init(const NetClasses &c, py::object self, py::object gamma, py::object gamma_clip,
                  py::args args, py::kwargs kwargs);
py::object revgrad_forward(const NetClasses &c, py::object self, py::object input);
void revgrad_step_alpha(py::object self);

// `lstm` picks torch.nn.LSTM (LSTMModel) or torch.nn.GRU (GRUModel).
void plain_rnn_init(py::handle cls, bool lstm, py::object self, py::object d_feat,
                    py::object hidden_size, py::object num_layers, py::object dropout);
py::object plain_rnn_forward(py::object self, py::object x);

}  // namespace dualstream
