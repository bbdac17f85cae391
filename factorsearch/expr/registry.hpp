// The operator registry: the module namespace operator names are resolved in, and the names of
// an instance's operators bound into it before a formula runs.
#pragma once

#include "common/pyglue.hpp"

namespace factorsearch {
namespace py = pybind11;

// Binds pd, random, np, warnings, every public name of `ta` and math into the module, in that
// order: the namespace operator names are resolved in.
void bind_namespace(py::module_ &mod);

// An operator name to its callable. Plain and dotted names are looked up (locals, the module
// namespace, built-ins; a dotted name may also start at a submodule of `ta`); any other text is
// evaluated as an expression in the module namespace with `locals` visible.
py::object resolve_name(py::handle mod, py::handle name, py::dict locals);

// namespace[function[k]] = fc[k] for every k.
void register_operators(py::handle mod, py::handle self);

}  // namespace factorsearch
