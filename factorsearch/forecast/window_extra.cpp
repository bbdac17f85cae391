#include "factorsearch/forecast/window_extra.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace factorsearch {

namespace {
bool usable_divisor(double d) { return std::isfinite(d) && d != 0.0; }
}  // namespace

void restrict_rows(const std::vector<ExtraBlock> &blocks, std::size_t n, std::size_t m,
                   std::size_t w, WindowRows &rows) {
  if (blocks.empty()) return;
  for (std::size_t j = 0; j < m; ++j) {
    // Days since the last non-finite value of any block, as the kernel counts its fields.
    std::size_t clean = 0;
    for (std::size_t t = 0; t < n; ++t) {
      bool finite = true, divisors = true;
      for (const ExtraBlock &b : blocks) {
        const double v = b.values[j * n + t];
        finite = finite && std::isfinite(v);
        divisors = divisors && (!b.self_scaled || usable_divisor(v));
      }
      clean = finite ? clean + 1 : 0;
      std::uint8_t &kept = rows.kept[t * m + j];
      if (kept && (clean < w || !divisors)) kept = 0;
    }
  }
  rows.count_days(n, m);
}

void fill_extra(const std::vector<ExtraBlock> &blocks, std::size_t n, std::size_t m, std::size_t w,
                const WindowRows &rows, float *out, std::vector<std::uint8_t> &overflow) {
  const std::size_t width = blocks.size() * w;
  constexpr double kMax = std::numeric_limits<float>::max();
  overflow.assign(rows.rows(), 0);
  for (std::size_t t = 0, r = 0; t < n; ++t)
    for (std::size_t j = 0; j < m; ++j) {
      if (!rows.kept[t * m + j]) continue;
      float *row = out + r * width;
      for (std::size_t k = 0; k < blocks.size(); ++k) {
        const double *x = blocks[k].values + j * n + t + 1 - w;
        const double div = blocks[k].self_scaled ? blocks[k].values[j * n + t] : 1.0;
        for (std::size_t s = 0; s < w; ++s) {
          const double v = x[s] / div;
          if (std::fabs(v) > kMax) overflow[r] = 1;
          row[k * w + s] = static_cast<float>(v);
        }
      }
      ++r;
    }
}

void drop_flagged_rows(WindowRows &rows, std::size_t n, std::size_t m,
                       const std::vector<std::uint8_t> &flagged,
                       const std::vector<RowBuffer> &buffers) {
  std::size_t r = 0, kept = 0;
  for (std::size_t t = 0; t < n; ++t)
    for (std::size_t j = 0; j < m; ++j) {
      if (!rows.kept[t * m + j]) continue;
      if (flagged[r]) {
        rows.kept[t * m + j] = 0;
      } else {
        if (kept != r)
          for (const RowBuffer &b : buffers)
            std::memmove(b.data + kept * b.width, b.data + r * b.width, b.width * sizeof(float));
        ++kept;
      }
      ++r;
    }
  rows.count_days(n, m);
}

void interleave_blocks(const float *kernel, std::size_t kernel_blocks, const float *extra,
                       std::size_t extra_blocks, std::size_t rows, std::size_t w,
                       const std::vector<std::size_t> &order, float *out) {
  const std::size_t kw = kernel_blocks * w, ew = extra_blocks * w, width = kw + ew;
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t k = 0; k < order.size(); ++k) {
      const std::size_t b = order[k];
      const float *src = b < kernel_blocks ? kernel + r * kw + b * w
                                           : extra + r * ew + (b - kernel_blocks) * w;
      std::memcpy(out + r * width + k * w, src, w * sizeof(float));
    }
}

}  // namespace factorsearch
