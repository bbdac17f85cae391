// The factor side of found formulas: a text read back into a program and evaluated over the
// universe (FactorSearch.factor), and a pool's combined factor (FactorSearch.combine).
#pragma once

#include "factorsearch/expr/evaluation.hpp"

namespace factorsearch {

// The dates x codes float64 DataFrame of a formula text, evaluated as a mining attempt does.
// `frames` and `universe` are the method's data1 and zz500.
py::object factor_frame(py::handle mod, py::object self, py::handle formula, py::handle frames,
                        py::handle universe);

// FactorSearch.combine: the combined factor (dates x codes) of a pool frame (its formula and
// weight columns) or of a list of formulas with `weights`, each formula normalised per day as the
// pool search does and summed with its weight. Refuses bad input before any evaluation.
py::object combine_frame(py::handle mod, py::object self, py::handle pool, py::handle frames,
                         py::handle universe, py::handle weights);

}  // namespace factorsearch
