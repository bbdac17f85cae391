// Cached handles to the Python libraries the modules call into. Looked up once per process
// (per extension module) and never destroyed, so nothing is released after the interpreter
// has shut down.
#pragma once

#include <pybind11/gil_safe_call_once.h>
#include <pybind11/pybind11.h>

#include "common/pyglue.hpp"

namespace alphaloom {
namespace py = pybind11;

struct Libs {
  py::module_ torch, np, pd, copy, builtins;
  py::object tensor_from_numpy, no_grad, isnan, isfinite, mean, cat, save, clip_grad_value, adam,
      sgd, float32, int64, manual_seed, np_ascontiguousarray, np_float32, np_float64, np_arange,
      np_shuffle, np_seed, DataFrame, Series, print;
};

inline Libs &libs() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<Libs> storage;
  return storage
      .call_once_and_store_result([] {
        Libs l;
        l.torch = py::module_::import("torch");
        l.np = py::module_::import("numpy");
        l.pd = py::module_::import("pandas");
        l.copy = py::module_::import("copy");
        l.builtins = py::module_::import("builtins");
        l.tensor_from_numpy = l.torch.attr("from_numpy");
        l.no_grad = l.torch.attr("no_grad");
        l.isnan = l.torch.attr("isnan");
        l.isfinite = l.torch.attr("isfinite");
        l.mean = l.torch.attr("mean");
        l.cat = l.torch.attr("cat");
        l.save = l.torch.attr("save");
        l.clip_grad_value = l.torch.attr("nn").attr("utils").attr("clip_grad_value_");
        l.adam = l.torch.attr("optim").attr("Adam");
        l.sgd = l.torch.attr("optim").attr("SGD");
        l.float32 = l.torch.attr("float32");
        l.int64 = l.torch.attr("int64");
        l.manual_seed = l.torch.attr("manual_seed");
        l.np_ascontiguousarray = l.np.attr("ascontiguousarray");
        l.np_float32 = l.np.attr("float32");
        l.np_float64 = l.np.attr("float64");
        l.np_arange = l.np.attr("arange");
        l.np_shuffle = l.np.attr("random").attr("shuffle");
        l.np_seed = l.np.attr("random").attr("seed");
        l.DataFrame = l.pd.attr("DataFrame");
        l.Series = l.pd.attr("Series");
        l.print = l.builtins.attr("print");
        return l;
      })
      .get_stored();
}

}  // namespace alphaloom

namespace alphaloom {

// `with torch.no_grad():` for a C++ scope.
class NoGrad {
 public:
  NoGrad() : guard_(libs().no_grad()) { guard_.attr("__enter__")(); }
  ~NoGrad() {
    try {
      guard_.attr("__exit__")(py::none(), py::none(), py::none());
    } catch (py::error_already_set &e) {
      e.discard_as_unraisable("leaving torch.no_grad");
    }
  }
  NoGrad(const NoGrad &) = delete;
  NoGrad &operator=(const NoGrad &) = delete;

 private:
  py::object guard_;
};

// The names fit's selector expressions see besides their locals.
inline void expose_selector_globals(py::module_ &m) {
  Libs &L = libs();
  m.attr("np") = L.np;
  m.attr("pd") = L.pd;
  m.attr("torch") = L.torch;
  m.attr("copy") = L.copy;
}

// "adam" -> torch.optim.Adam, "gd" -> torch.optim.SGD (no momentum); the name is compared
// lower-cased but reported as the caller wrote it.
inline py::object make_optimizer(py::handle lowered, py::handle as_passed, py::object params,
                                 py::dict options) {
  Libs &L = libs();
  if (lowered.equal(py::str("adam"))) return L.adam(params, **options);
  if (lowered.equal(py::str("gd"))) return L.sgd(params, **options);
  raise_not_implemented(format("optimizer {} is not supported!", as_passed));
}

}  // namespace alphaloom
