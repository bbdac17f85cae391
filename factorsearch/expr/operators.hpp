// What kind of operator a callable is, which decides how a formula node runs: in panel form
// (NumPy ufuncs and `abs`, native kernels of `ta` indicators, the built-in operators) or once per
// stock (everything else). Also the Python face of the built-in operators.
#pragma once

#include <string>

#include "factorsearch/kernels/builtin_kernels.hpp"
#include <pybind11/numpy.h>

#include "factorsearch/expr/drawn.hpp"
#include "factorsearch/expr/registry.hpp"
#include "factorsearch/market/market.hpp"
#include "factorsearch/kernels/ta_kernels.hpp"

namespace factorsearch {

enum class OpKind {
  Ufunc,    // a NumPy ufunc (or `abs`, which is np.absolute on a Series)
  Native,   // a `ta` indicator function with a native kernel
  Builtin,  // one of the built-in operators
  Pure,     // any other `ta` function: per stock, but without side effects
  Other,    // any other callable: per stock, in the order the per-stock evaluation calls it
};

struct ResolvedOp {
  py::object fn;  // the callable the formula names
  OpKind kind = OpKind::Other;
  py::object ufunc;  // Ufunc: the ufunc to call on panels
  const ta::Kernel *native = nullptr;
  const builtin::Operator *builtin = nullptr;
};

// The operator at position i of a drawn program: the callable this instance resolved for it at
// construction (so another instance registering the same name cannot change what this one
// computes), classified. Names not among the instance's operators resolve as names do.
ResolvedOp resolve_operator(py::handle mod, py::handle self, const Drawn &drawn, std::size_t i);

// Classifies `fn` as `operator_kind` reports it.
ResolvedOp classify(py::handle mod, py::object fn);

// "ufunc", "native", "built-in", "per-stock": the path a node with this callable takes when its
// arguments allow a panel form (see docs/factorsearch.md).
std::string kind_name(OpKind kind);

// Creates the BuiltinOperator class and one instance per built-in operator as module attributes,
// and the identity table of the `ta` functions that have native kernels.
void bind_builtin_operators(py::module_ &mod);

}  // namespace factorsearch
