// The feature blocks window_features adds to the ones its fill kernel writes (fields divided by
// the row's close or volume): fields divided by their own value on the row's day, and caller
// panels (a mined factor, a pool's combination) taken as given. Pure C++ over column-major
// dates x stocks buffers, run without the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "factorsearch/forecast/window_features.hpp"

namespace factorsearch {

struct ExtraBlock {
  const double *values = nullptr;  // dates x stocks, column-major, like WindowPanels::fields
  bool self_scaled = false;        // divided by its value on the row's day; else as given
};

// Takes out of `rows` the pairs an extra block cannot fill: a value in the window that is not
// finite or, for a self-scaled block, a divisor on the day that is not finite and non-zero.
void restrict_rows(const std::vector<ExtraBlock> &blocks, std::size_t n_dates,
                   std::size_t n_stocks, std::size_t window, WindowRows &rows);

// Row r of `out` (rows x blocks * window, float32) holds block k at step s in column
// k * window + s, rows in the order fill_rows writes them. A row with a value beyond float32's
// range is flagged in `overflow` (one entry per row).
void fill_extra(const std::vector<ExtraBlock> &blocks, std::size_t n_dates, std::size_t n_stocks,
                std::size_t window, const WindowRows &rows, float *out,
                std::vector<std::uint8_t> &overflow);

// Takes the flagged rows out of `rows` and moves the later rows of each buffer up (a buffer is
// rows x width float32, row-major), so the buffers stay row-aligned.
struct RowBuffer {
  float *data;
  std::size_t width;
};
void drop_flagged_rows(WindowRows &rows, std::size_t n_dates, std::size_t n_stocks,
                       const std::vector<std::uint8_t> &flagged,
                       const std::vector<RowBuffer> &buffers);

// The frame's feature block from the kernel's block and the extra one: block `order[k]` of the
// concatenation (kernel blocks first) becomes block k of `out`.
void interleave_blocks(const float *kernel, std::size_t kernel_blocks, const float *extra,
                       std::size_t extra_blocks, std::size_t rows, std::size_t window,
                       const std::vector<std::size_t> &order, float *out);

}  // namespace factorsearch
