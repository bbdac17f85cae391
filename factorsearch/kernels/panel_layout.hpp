// Panels between the two layouts the engine uses: column-major (the walk's panels, each stock's
// dates contiguous) and row-major (the back-test's, each date's stocks contiguous). Pure C++.
#pragma once

#include <algorithm>
#include <cstddef>

namespace factorsearch {

// `rows` x `cols` column-major `in` into row-major `out`, eight dates at a time: each column's
// cache line is read once and the eight output rows are written in order.
inline void to_row_major(const double *in, std::size_t rows, std::size_t cols, double *out) {
  constexpr std::size_t kDates = 8;
  for (std::size_t t0 = 0; t0 < rows; t0 += kDates) {
    const std::size_t nb = std::min(kDates, rows - t0);
    for (std::size_t j = 0; j < cols; ++j) {
      const double *column = in + j * rows + t0;
      for (std::size_t b = 0; b < nb; ++b) out[(t0 + b) * cols + j] = column[b];
    }
  }
}

}  // namespace factorsearch
