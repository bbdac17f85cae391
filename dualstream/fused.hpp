// The fused CPU recurrences of ADDModel (recurrence.hpp) as seen from the network: when a
// recurrent stack may take them, how its tensors reach the kernels, and the autograd function
// whose backward pass runs the kernels in reverse.
#pragma once

#include <optional>

#include "common/pyglue.hpp"

namespace dualstream {
namespace py = pybind11;

// True when calling `module(...)` would do nothing but call its forward: no hooks of its own,
// not compiled. Anything unexpected answers false.
bool plain_call(py::handle module);
// No global module hooks, no trace being recorded, no CPU autocast.
bool global_hooks_clear();

// Where the fused path reads its switches: the module attributes `_cpu_kernel` (False: always
// the library's modules) and `_kernel_isa` ("avx512", "avx2" or "base").
struct FusedContext {
  py::handle module;  // the extension module
  py::handle fn;      // the autograd function class (_FusedStack)
};

// Static methods of _FusedStack.
py::object fused_stack_forward(py::object ctx, py::object spec, py::args tensors);
py::tuple fused_stack_backward(py::object ctx, py::args grads);

// The final state of encoder `rnn` (nn.GRU / nn.LSTM, batch_first) over x_tnd (T, N, D), as the
// module would return it (h, or the tuple (h, c)); nullopt when the module must be called.
std::optional<py::object> fused_encoder(const FusedContext& c, py::handle rnn, py::handle x_tnd);
// Cheap first test, before the input is rearranged for fused_encoder: kernels on, a CPU float32
// input x (N, T, D).
bool fused_encoder_eligible(const FusedContext& c, py::handle rnn, py::handle x);

// Every step's prediction (N, T, D) of the decoder `dec` started from `state` (h, or [h, c]):
// the first from a zero input, each later one from the previous prediction. nullopt when the
// decoder must be called step by step.
std::optional<py::object> fused_decoder(const FusedContext& c, py::handle dec, py::handle dec_cls,
                                        py::handle state, long steps, long d_feat);

// The names of the vector paths this processor runs, best first.
py::list kernel_isas();

}  // namespace dualstream
