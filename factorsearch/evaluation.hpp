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
#include "factorsearch/program.hpp"

namespace factorsearch {
namespace py = pybind11;

// The five daily fields every stock frame carries, in the order of `FactorSearch.fields`.
inline constexpr std::array<const char *, 5> kFieldNames{"open", "high", "low", "close", "volume"};

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

// What does not change between attempts over the same data.
struct Market {
  py::object index;  // data1's date index
  py::list codes;    // the universe, in order
  std::size_t m = 0;
  // The usual layout (float64 fields under (code, field) columns): per field, the forward-filled
  // dates x stocks panel, F-ordered and read-only. Null for other layouts, which keep `fields`.
  std::array<py::object, 5> panels;
  // Other layouts: per stock, the forward-filled fields in kFieldNames order. Operators get
  // shallow copies, so an operator writing into its argument cannot leak into later attempts.
  std::vector<std::array<py::object, 5>> fields;
  std::vector<double> prices;  // dates x stocks, row-major
  std::size_t n_dates = 0;
  bool unique_index = true;
  bool copy_deep = false;  // without copy-on-write a shallow copy would share the values
  bool has_panels() const { return static_cast<bool>(panels[0]); }
  std::size_t n_stocks() const { return m; }
};

// Raises KeyError with a clear message when a code, a field or a price column is missing.
Market prepare_market(py::handle data1, py::handle price1, py::handle zz500);

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
