// Caller data of the ADD trainer as the kernels want it, each conversion checked before anything
// changes: feature matrices, label and regime-class vectors, day ranges; and the row budget of a
// blockwise forward pass.
#pragma once

#include <pybind11/numpy.h>

#include <cstdint>

#include "common/pyglue.hpp"
#include "dualstream/daily.hpp"

namespace dualstream {
namespace py = pybind11;

long long to_ll(py::handle v);

// Rows per forward pass when evaluating or predicting (an `eval_rows` attribute overrides it).
long long eval_rows(py::handle self);

// A C-contiguous NumPy array of `dtype` holding `values` (no copy when it already is one).
py::array contiguous(py::handle values, py::handle dtype);

// Feature columns of a DataFrame as one C-contiguous float32 (n, F) array.
py::array feature_matrix(py::handle frame, const char *what);

// A label Series (or one-column frame / array) as a flat float32 array of `n` values.
py::array label_vector(py::handle y, long long n, const char *what);

// Market-regime classes as int64, each 0, 1 or 2.
py::array_t<std::int64_t> class_vector(py::handle m, long long n, const char *what);

// Day ranges from the first index level; rows must be ordered by day.
daily::DayRanges day_ranges_of(py::handle frame, const char *what);

}  // namespace dualstream
