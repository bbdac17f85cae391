// Encoder-only Transformer: sinusoidal positional encoding and the score network.
#pragma once

#include "common/pyglue.hpp"

namespace attnencoder {
namespace py = pybind11;

void positional_encoding_init(py::handle cls, py::object self, py::object d_model, py::object max_len);
py::object positional_encoding_forward(py::object self, py::object x);

void transformer_init(py::handle cls, py::handle pe_cls, py::object self, py::object d_feat,
                      py::object d_model, py::object nhead, py::object num_layers,
                      py::object dropout, py::object device, py::object dim_feedforward);
py::object transformer_forward(py::object self, py::object src);

}  // namespace attnencoder
