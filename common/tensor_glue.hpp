// Tensors seen from C++ through the interpreter, for the modules that hand raw CPU buffers to
// fused kernels (dualstream, wavecell): the library callables every such module needs, looked
// up once per process, and the small conversions between tensors and pointers and sizes.
// Module-specific callables stay in the module's own table.
#pragma once

#include <pybind11/gil_safe_call_once.h>

#include <cstdint>
#include <initializer_list>

#include "common/libs.hpp"

namespace alphaloom {

struct TensorOps {
  py::object empty, zeros, zeros_like, ones, tensor, arange, stack, cat, get_num_threads,
      is_grad_enabled, float32, float64;
};

inline TensorOps &tensor_ops() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<TensorOps> storage;
  return storage
      .call_once_and_store_result([] {
        py::module_ torch = libs().torch;
        TensorOps o;
        o.empty = torch.attr("empty");
        o.zeros = torch.attr("zeros");
        o.zeros_like = torch.attr("zeros_like");
        o.ones = torch.attr("ones");
        o.tensor = torch.attr("tensor");
        o.arange = torch.attr("arange");
        o.stack = torch.attr("stack");
        o.cat = torch.attr("cat");
        o.get_num_threads = torch.attr("get_num_threads");
        o.is_grad_enabled = torch.attr("is_grad_enabled");
        o.float32 = torch.attr("float32");
        o.float64 = torch.attr("float64");
        return o;
      })
      .get_stored();
}

// int(v) as a 64-bit integer (tensor sizes, module settings).
inline std::int64_t as_i64(py::handle v) {
  return py::int_(py::reinterpret_borrow<py::object>(v)).cast<std::int64_t>();
}

// bool(o); an object whose truth raises counts as false.
inline bool truthy(py::handle o) { return PyObject_IsTrue(o.ptr()) == 1; }

// The first element of a contiguous tensor; nullptr for None (an absent optional input).
template <typename T>
T *data_of(py::handle t) {
  return t.is_none() ? nullptr
                     : reinterpret_cast<T *>(t.attr("data_ptr")().cast<std::uintptr_t>());
}

// dtypes are singletons.
inline bool has_dtype(py::handle t, py::handle dtype) {
  return py::object(t.attr("dtype")).ptr() == dtype.ptr();
}

inline bool has_shape(py::handle t, std::initializer_list<std::int64_t> shape) {
  py::tuple sizes(t.attr("shape"));
  if (py::len(sizes) != shape.size()) return false;
  std::size_t k = 0;
  for (std::int64_t s : shape)
    if (as_i64(sizes[k++]) != s) return false;
  return true;
}

inline py::tuple size_tuple(std::initializer_list<std::int64_t> shape) {
  py::tuple t(shape.size());
  std::size_t k = 0;
  for (std::int64_t v : shape) t[k++] = py::int_(v);
  return t;
}

inline py::object empty_f32(std::initializer_list<std::int64_t> shape) {
  TensorOps &o = tensor_ops();
  return o.empty(size_tuple(shape), "dtype"_a = o.float32);
}

inline py::object zeros_f32(std::initializer_list<std::int64_t> shape) {
  TensorOps &o = tensor_ops();
  return o.zeros(size_tuple(shape), "dtype"_a = o.float32);
}

// A kernel call is recorded for autograd only when grad mode is on and some input (None
// skipped) requires a gradient; otherwise it runs directly, keeping nothing for a backward pass.
template <typename Tensors>
bool needs_gradient(const Tensors &tensors) {
  if (!truthy(tensor_ops().is_grad_enabled())) return false;
  for (py::handle t : tensors)
    if (!t.is_none() && truthy(t.attr("requires_grad"))) return true;
  return false;
}

inline bool needs_gradient(std::initializer_list<py::handle> tensors) {
  return needs_gradient<std::initializer_list<py::handle>>(tensors);
}

// The tensor library's intra-op thread count: the upper bound of a fused kernel's threads.
inline int library_threads() { return static_cast<int>(as_i64(tensor_ops().get_num_threads())); }

}  // namespace alphaloom
