#include "attnencoder/network.hpp"

#include <cmath>

#include "common/libs.hpp"

namespace attnencoder {
using alphaloom::libs;
using namespace pybind11::literals;

namespace {
py::object full_slice_step(long start, long step) {
  return py::reinterpret_steal<py::object>(
      PySlice_New(py::int_(start).ptr(), Py_None, py::int_(step).ptr()));
}

// Submodules and buffers straight from the registries nn.Module keeps, skipping its
// Python-level __getattr__ on every forward.
py::object submodule(py::handle self, const char *name) {
  return self.attr("__dict__")["_modules"][name];
}
}  // namespace

void positional_encoding_init(py::handle cls, py::object self, py::object d_model,
                              py::object max_len) {
  auto &L = libs();
  alphaloom::super_of(cls, self).attr("__init__")();
  py::object torch = L.torch;
  py::object pe = torch.attr("zeros")(max_len, d_model);
  py::object position =
      torch.attr("arange")(0, max_len, "dtype"_a = torch.attr("float")).attr("unsqueeze")(1);
  double factor = -std::log(10000.0) / py::float_(d_model).cast<double>();
  py::object div_term =
      torch.attr("exp")(torch.attr("arange")(0, d_model, 2).attr("float")() * py::float_(factor));
  py::object angle = position * div_term;
  py::object all = full_slice_step(0, 1);
  pe.attr("__setitem__")(py::make_tuple(all, full_slice_step(0, 2)), torch.attr("sin")(angle));
  pe.attr("__setitem__")(py::make_tuple(all, full_slice_step(1, 2)), torch.attr("cos")(angle));
  pe = pe.attr("unsqueeze")(0).attr("transpose")(0, 1);
  self.attr("register_buffer")("pe", pe);
}

py::object positional_encoding_forward(py::object self, py::object x) {
  py::object pe = self.attr("__dict__")["_buffers"]["pe"];
  py::object rows = x.attr("size")(0);
  return x + pe[py::make_tuple(py::slice(py::none(), rows, py::none()), full_slice_step(0, 1))];
}

void transformer_init(py::handle cls, py::handle pe_cls, py::object self, py::object d_feat,
                      py::object d_model, py::object nhead, py::object num_layers,
                      py::object dropout, py::object device, py::object dim_feedforward) {
  auto &L = libs();
  alphaloom::super_of(cls, self).attr("__init__")();
  py::object nn = L.torch.attr("nn");
  self.attr("feature_layer") = nn.attr("Linear")(d_feat, d_model);
  self.attr("pos_encoder") = pe_cls(d_model);
  py::object layer = nn.attr("TransformerEncoderLayer")("d_model"_a = d_model, "nhead"_a = nhead,
                                                        "dim_feedforward"_a = dim_feedforward,
                                                        "dropout"_a = dropout);
  self.attr("encoder_layer") = layer;
  // The nested-tensor fast path needs batch-first layers and a padding mask, neither of which
  // this network has: asking for it would only warn that it is off.
  self.attr("transformer_encoder") = nn.attr("TransformerEncoder")(
      layer, "num_layers"_a = num_layers, "enable_nested_tensor"_a = false);
  self.attr("decoder_layer") = nn.attr("Linear")(d_model, 1);
  self.attr("device") = device;
  self.attr("d_feat") = d_feat;
}

py::object transformer_forward(py::object self, py::object src) {
  py::object d_feat = self.attr("__dict__")["d_feat"];
  py::object n = src.attr("shape")[py::int_(0)];
  py::object x = src.attr("reshape")(n, d_feat, -1).attr("permute")(0, 2, 1);  // (N, T, d_feat)
  x = submodule(self, "feature_layer")(x);                                     // (N, T, d_model)
  x = x.attr("transpose")(1, 0);                                               // (T, N, d_model)
  x = submodule(self, "pos_encoder")(x);
  py::object out = submodule(self, "transformer_encoder")(x, py::none());  // no mask
  py::object last = out.attr("transpose")(1, 0)[py::make_tuple(
      full_slice_step(0, 1), -1, full_slice_step(0, 1))];  // (N, d_model), most recent step
  return submodule(self, "decoder_layer")(last).attr("squeeze")(1);
}

}  // namespace attnencoder
