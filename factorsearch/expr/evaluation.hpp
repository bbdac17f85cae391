// The top of the expression engine: a drawn program evaluated over the prepared market into a
// dates x stocks float64 panel (walk.*: the node-by-node evaluation and the panel forms of
// nodes; panel_assembly.*: per-stock results into a panel).
#pragma once

#include <vector>

#include <pybind11/numpy.h>

#include "factorsearch/expr/drawn.hpp"
#include "factorsearch/expr/registry.hpp"
#include "factorsearch/market/market.hpp"

namespace factorsearch {

class NodeMemo;

// Evaluates the program over the universe (in panel form where that gives what per-stock
// evaluation gives, per stock elsewhere) and returns the dates x stocks float64 factor panel,
// F-ordered. Raises whatever an operator raises.
py::array_t<double, py::array::f_style> evaluate_program(py::handle mod, py::handle self,
                                                          const Drawn &drawn, const Market &market);

// evaluate_program into a row-major dates x stocks vector, as the back-test reads it, sharing
// subtree values through `memo` when given. Returns false (after evaluating) when fewer than two
// stocks were evaluated.
bool evaluate_panel(py::handle mod, py::handle self, const Drawn &drawn, const Market &market,
                    std::vector<double> &panel, NodeMemo *memo = nullptr);

}  // namespace factorsearch
