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
// The one test of whether a recurrent module may be replaced by a direct computation (the
// fused kernels, or the decoder's per-step library kernel): a plain call of an nn.GRU / nn.LSTM
// itself (not a subclass), batch first, one direction, no projection. The answer is whether it
// is an LSTM; nullopt when it may not be replaced.
std::optional<bool> plain_recurrent(py::handle rnn);

// A decoder of exactly class `dec_cls`, no hooks anywhere, whose `rnn` passes plain_recurrent
// and whose `fc` is a plain nn.Linear.
struct DecoderParts {
  py::object rnn, fc;
  bool lstm = false;
};
std::optional<DecoderParts> plain_decoder(py::handle dec, py::handle dec_cls);

// Where the fused path reads its switches: the module attributes `_cpu_kernel` (False: always
// the library's modules) and `_kernel_isa` ("avx512", "avx2" or "base").
struct FusedContext {
  py::handle module;  // the extension module
  py::handle fn;      // the autograd function class (_FusedStack)
};

// Static methods of _FusedStack.
py::object fused_stack_forward(py::object ctx, py::object spec, py::args tensors);
py::tuple fused_stack_backward(py::object ctx, py::args grads);

// The final state of encoder `rnn` (nn.GRU / nn.LSTM, batch_first) over x (N, T, D), as the
// module would return it (h, or the tuple (h, c)); nullopt when the module must be called.
// `x_steps` caches x step-major (T, N, D) for the next encoder over the same input: made on the
// first fused call, left empty when none runs.
std::optional<py::object> fused_encoder(const FusedContext& c, py::handle rnn, py::handle x,
                                        py::object& x_steps);

// Every step's prediction (N, T, D) of the decoder `dec` started from `state` (h, or [h, c]):
// the first from a zero input, each later one from the previous prediction. nullopt when the
// decoder must be called step by step.
std::optional<py::object> fused_decoder(const FusedContext& c, py::handle dec, py::handle dec_cls,
                                        py::handle state, long steps, long d_feat);

// The names of the vector paths this processor runs, best first.
py::list kernel_isas();

}  // namespace dualstream
