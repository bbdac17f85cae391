// The pure half of window_features: which (day, stock) pairs become rows, their windowed values
// and their labels, over column-major dates x stocks buffers without the interpreter lock.
#include "factorsearch/forecast/window_features.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>

#include "common/isa.hpp"
#include "common/parallel.hpp"
#include "factorsearch/backtest/day_threads.hpp"
#include "factorsearch/kernels/day_order.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool usable_divisor(double d) { return std::isfinite(d) && d != 0.0; }

void no_error() {}

}  // namespace

WindowRows choose_rows(const WindowPanels &p, int threads) {
  const std::size_t n = p.n_dates, m = p.n_stocks, w = p.window;
  WindowRows rows;
  rows.kept.assign(n * m, 0);
  rows.day_start.assign(n + 1, 0);
  if (w == 0 || n < w) return rows;
  split_ranges(
      static_cast<std::int64_t>(m), threads,
      [&](std::int64_t begin, std::int64_t end, int) {
        // Days since the last non-finite value of any field: a window is whole when it reaches
        // back `w` days without one.
        for (auto j = static_cast<std::size_t>(begin); j < static_cast<std::size_t>(end); ++j) {
          const std::size_t col = j * n;
          std::size_t clean = 0;
          for (std::size_t t = 0; t < n; ++t) {
            bool finite = true;
            for (const double *field : p.fields) finite = finite && std::isfinite(field[col + t]);
            clean = finite ? clean + 1 : 0;
            if (t + 1 < w || clean < w) continue;
            if (p.prices && std::isnan(p.prices[t * m + j])) continue;
            if (p.close && !usable_divisor(p.close[col + t])) continue;
            if (p.volume && !usable_divisor(p.volume[col + t])) continue;
            rows.kept[t * m + j] = 1;
          }
        }
      },
      no_error);
  rows.candidates = (n - w + 1) * m;
  rows.count_days(n, m);
  return rows;
}

void WindowRows::count_days(std::size_t n, std::size_t m) {
  for (std::size_t t = 0; t < n; ++t) {
    std::size_t count = 0;
    for (std::size_t j = 0; j < m; ++j) count += kept[t * m + j];
    day_start[t + 1] = day_start[t] + count;
  }
}

#if ALPHALOOM_X86
#pragma GCC push_options
#pragma GCC target("arch=x86-64-v3")
namespace avx2 {
#include "factorsearch/forecast/window_fill.inc"
}
#pragma GCC pop_options
#endif
namespace base {
#include "factorsearch/forecast/window_fill.inc"
}

void fill_rows(const WindowPanels &p, WindowRows &rows, float *out, int threads) {
  auto fill = &base::fill_stocks;
#if ALPHALOOM_X86
  if (isa_available(Isa::avx2)) fill = &avx2::fill_stocks;
#endif
  const std::size_t n = p.n_dates, m = p.n_stocks, width = p.fields.size() * p.window;
  std::vector<std::uint8_t> overflow(rows.rows(), 0);
  split_ranges(
      static_cast<std::int64_t>(m), threads,
      [&](std::int64_t begin, std::int64_t end, int) {
        // Where the range's rows start on each day: after the kept stocks before it.
        std::vector<std::size_t> next(n);
        const auto b = static_cast<std::size_t>(begin);
        for (std::size_t t = 0; t < n; ++t) {
          const std::uint8_t *kept = rows.kept.data() + t * m;
          next[t] = rows.day_start[t] + static_cast<std::size_t>(std::count(kept, kept + b, 1));
        }
        fill(p, rows, out, overflow.data(), b, static_cast<std::size_t>(end), next.data());
      },
      no_error);
  if (std::find(overflow.begin(), overflow.end(), 1) == overflow.end()) return;
  // Rare: move the rows that follow an overflowed one up, in order.
  std::size_t r = 0, kept = 0;
  for (std::size_t t = 0; t < n; ++t)
    for (std::size_t j = 0; j < m; ++j) {
      if (!rows.kept[t * m + j]) continue;
      if (overflow[r]) {
        rows.kept[t * m + j] = 0;
      } else {
        if (kept != r) std::memmove(out + kept * width, out + r * width, width * sizeof(float));
        ++kept;
      }
      ++r;
    }
  rows.count_days(n, m);
}

namespace {

struct LabelScratch {
  std::vector<double> known;
  std::vector<KeyedPosition> items, spare;
};

void label_day(const WindowPanels &p, const WindowRows &rows, LabelNorm norm, std::size_t t,
               double *out, LabelScratch &s) {
  const std::size_t n = p.n_dates, m = p.n_stocks;
  double *day = out + rows.day_start[t];
  const std::size_t count = rows.day_start[t + 1] - rows.day_start[t];
  std::size_t r = 0;
  for (std::size_t j = 0; j < m; ++j) {
    if (!rows.kept[t * m + j]) continue;
    double ret = kNaN;
    if (t + 2 < n) {
      const double p1 = p.prices[(t + 1) * m + j], p2 = p.prices[(t + 2) * m + j];
      // A price <= 0 is no price: a zero at t+2 would otherwise make a -100 % return and,
      // ranked, a real training target.
      const bool priced = p1 > 0.0 && p2 > 0.0 && std::isfinite(p1) && std::isfinite(p2);
      if (priced) ret = (p2 - p1) / p1;
      if (!std::isfinite(ret)) ret = kNaN;
    }
    day[r++] = ret;
  }
  if (norm == LabelNorm::raw) return;
  if (norm == LabelNorm::zscore) {
    s.known.clear();
    for (std::size_t i = 0; i < count; ++i)
      if (!std::isnan(day[i])) s.known.push_back(day[i]);
    const std::size_t c = s.known.size();
    if (c == 0) return;
    double mean = 0.0, sq = 0.0;
    for (double x : s.known) mean += x;
    mean /= static_cast<double>(c);
    for (double x : s.known) sq += (x - mean) * (x - mean);
    const double sd = c > 1 ? std::sqrt(sq / static_cast<double>(c - 1)) : 0.0;
    for (std::size_t i = 0; i < count; ++i)
      if (!std::isnan(day[i])) day[i] = sd > 0.0 ? (day[i] - mean) / sd : kNaN;
    return;
  }
  // Percentile of the average rank, shifted so the day's labels sum to zero:
  // (rank - 0.5) / c - 0.5, in (-0.5, 0.5). Ties share their mean rank whatever their order, so
  // the radix order (day_order.hpp) gives the values a comparison sort gives.
  s.items.clear();
  for (std::size_t i = 0; i < count; ++i)
    if (!std::isnan(day[i])) s.items.push_back({order_key(day[i]), static_cast<std::uint32_t>(i)});
  radix_sort(s.items, s.spare);
  const std::size_t c = s.items.size();
  const double cd = static_cast<double>(c);
  for (std::size_t i = 0; i < c;) {
    std::size_t e = i + 1;
    while (e < c && s.items[e].key == s.items[i].key) ++e;
    const double rank = 0.5 * static_cast<double>(i + e + 1);  // mean of i+1 .. e
    const double value = (rank - 0.5) / cd - 0.5;
    for (std::size_t q = i; q < e; ++q) day[s.items[q].position] = value;
    i = e;
  }
}

}  // namespace

void forward_labels(const WindowPanels &p, const WindowRows &rows, LabelNorm norm, double *out,
                    int threads) {
  std::vector<LabelScratch> scratch(static_cast<std::size_t>(std::max(threads, 1)));
  for_days(p.n_dates, std::max(threads, 1), [&](std::size_t t, int thread) {
    label_day(p, rows, norm, t, out, scratch[static_cast<std::size_t>(thread)]);
  });
}

}  // namespace factorsearch
