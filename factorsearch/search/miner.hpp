// A FactorSearch's operators, built once for the caller (construction) and once per worker
// (from the operators as they travel), and how they travel.
#pragma once

#include "common/pyglue.hpp"

namespace factorsearch {
namespace py = pybind11;

// FactorSearch(fuc): the operator attributes, each name resolved in the module namespace.
void search_init(py::handle mod, py::object self, py::object fuc);

// A FactorSearch with the caller's operators: the callables themselves where they travelled,
// else resolved again from their names in this process.
py::object rebuild_miner(py::handle mod, py::handle operators);

// Operators as they travel to workers: the callable itself where it pickles, else its name only.
py::list travelling_operators(py::handle self);

}  // namespace factorsearch
