// The factor side of a found formula: its text read back into a program and evaluated over the
// universe (FactorSearch.factor).
#pragma once

#include "factorsearch/expr/evaluation.hpp"

namespace factorsearch {

// The dates x codes float64 DataFrame of a formula text, evaluated as a mining attempt does.
// `frames` and `universe` are the method's data1 and zz500.
py::object factor_frame(py::handle mod, py::object self, py::handle formula, py::handle frames,
                        py::handle universe);

}  // namespace factorsearch
