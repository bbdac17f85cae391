// Per-stock operator results into one dates x stocks float64 panel, as the per-stock evaluation
// assembles them: aligned results column by column, anything else through the frame a
// stock-by-date table of them makes.
#pragma once

#include <vector>

#include <pybind11/numpy.h>

#include "factorsearch/expr/drawn.hpp"
#include "factorsearch/market/market.hpp"

namespace factorsearch {

// F-ordered dates x stocks float64 panel of one result per stock. Raises ValueError when the
// results do not give one value per date and stock.
py::array_t<double, py::array::f_style> stack_results(const std::vector<py::object> &results,
                                                      const Market &market);

}  // namespace factorsearch
