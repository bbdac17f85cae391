// FactorSearch.pool: evolve's breeding (breeding.*), with a candidate's fitness the gain it brings
// to a small linear combination of formulas fit on in-sample days (backtest/combination.*), the
// combination kept at `size` members by dropping the one that contributes least; and the combined
// factor panel of a pool (or of any formulas and weights) for FactorSearch.combine.
#pragma once

#include <string>
#include <vector>

#include "factorsearch/search/evolve.hpp"

namespace factorsearch {

// Its arguments as the table of factorsearch/arguments.hpp binds and checks them.
py::object pool(py::handle mod, py::object self, const Args &args);

// The combined factor of programs of `self` with these weights over `market`: each program's panel
// normalised per day (combination.hpp) and summed with its weight, dates x stocks row-major, NaN
// where no formula is eligible. Raises what an evaluation raises; false when one evaluates fewer
// than two stocks.
bool combined_values(py::handle mod, py::handle self, const std::vector<Drawn> &programs,
                     const std::vector<double> &weights, const Market &market,
                     std::vector<double> &out);

}  // namespace factorsearch
