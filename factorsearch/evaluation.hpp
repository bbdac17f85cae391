// Interpreter side of a mining attempt: the operator registry (the module namespace), the market
// data prepared once per call, and the evaluation of a program into a dates x stocks float64
// panel (operators.*: what runs in panel form; tree_walk.*: the node-by-node evaluation;
// panel_assembly.*: per-stock results into a panel; market.*: input preparation).
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include <pybind11/numpy.h>

#include "common/pyglue.hpp"
#include "factorsearch/market.hpp"
#include "factorsearch/program.hpp"

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

// A drawn program: the list handed to Python (operator entries shared with `fuc`) and its
// C++ form.
struct Drawn {
  py::list list;
  Program program;
};
// Draws from `randint` (a callable like random.randint) when given, else from the process-wide
// `random.randint`.
Drawn draw(py::handle self, py::handle randint = py::handle());
// A program given as a list (entries of `self.fuc`, by identity, and field indices), checked to be
// one complete tree.
Drawn drawn_from_list(py::handle self, py::handle program);
py::str render_program(py::handle self, py::handle program);


// Evaluates the program over the universe (in panel form where that gives what per-stock
// evaluation gives, per stock elsewhere) and returns the dates x stocks float64 factor panel,
// F-ordered. Raises whatever an operator raises.
py::array_t<double, py::array::f_style> evaluate_program(py::handle mod, py::handle self,
                                                          const Drawn &drawn, const Market &market);

// evaluate_program into a row-major dates x stocks vector, as the back-test reads it. Returns false
// (after evaluating) when fewer than two stocks were evaluated.
bool evaluate_panel(py::handle mod, py::handle self, const Drawn &drawn, const Market &market,
                    std::vector<double> &panel);

}  // namespace factorsearch
