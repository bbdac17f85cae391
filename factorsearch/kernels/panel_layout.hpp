// Panels between the two layouts the engine uses: column-major (the walk's panels, each stock's
// dates contiguous) and row-major (the back-test's, each date's stocks contiguous). Pure C++.
#pragma once

#include <algorithm>
#include <cstddef>

namespace factorsearch {

// `rows` x `cols` column-major `in` into row-major `out`, in tiles of 16 dates x 64 stocks: a
// tile's columns (two cache lines each) and rows (eight lines each) stay in the first-level
// cache and touch few pages at a time, where whole rows of stocks would touch a page per stock.
inline void to_row_major(const double *in, std::size_t rows, std::size_t cols, double *out) {
  constexpr std::size_t kDates = 16, kStocks = 64;
  for (std::size_t j0 = 0; j0 < cols; j0 += kStocks) {
    const std::size_t j1 = std::min(cols, j0 + kStocks);
    for (std::size_t t0 = 0; t0 < rows; t0 += kDates) {
      const std::size_t nb = std::min(kDates, rows - t0);
      for (std::size_t j = j0; j < j1; ++j) {
        const double *column = in + j * rows + t0;
        for (std::size_t b = 0; b < nb; ++b) out[(t0 + b) * cols + j] = column[b];
      }
    }
  }
}

}  // namespace factorsearch
