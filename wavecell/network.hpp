// SFM_Model: the state-frequency memory recurrent network, and the autograd function that runs
// its recurrence fused on the CPU.
#pragma once

#include "common/pyglue.hpp"

namespace wavecell {
namespace py = pybind11;

// ---- The fused CPU recurrence over all T steps. x_proj (T, N, 4H+F) float32 holds the input
// projections [i | ste | fre | c | o] with their biases, U (H, 4H+F) the recurrent weights in the
// same order, phase (T, 2, F) float64 the cos and sin of every step. Returns the last hidden
// state (N, H).
// _MemoryScan (torch.autograd.Function):
py::object memory_scan_forward(py::object ctx, py::object x_proj, py::object U, py::object phase,
                               py::object u_a, py::object b_a, py::object threads);
py::tuple memory_scan_backward(py::object ctx, py::object grad_h);
// Without gradient tracking: no state is kept beyond the two it alternates between.
py::object memory_scan(py::object x_proj, py::object U, py::object phase, py::object u_a,
                       py::object b_a, py::object threads);

// ---- SFM_Model (torch.nn.Module)
void sfm_model_init(py::handle cls, py::object self, py::object d_feat, py::object output_dim,
                    py::object freq_dim, py::object hidden_size, py::object dropout_W,
                    py::object dropout_U, py::object device);
py::object sfm_model_init_states(py::object self, py::object x);
py::object sfm_model_get_constants(py::object self, py::object x);
// `scan_fn` is the _MemoryScan class; `use_kernel` false forces plain tensor operations.
py::object sfm_model_forward(py::handle scan_fn, bool use_kernel, py::object self,
                             py::object input);

}  // namespace wavecell
