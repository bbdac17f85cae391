// Sample statistics shared by the trainers' day-wise metrics and the factor back-tests:
// correlations as pandas computes them, average ranks, moments. Pure C++ over plain numbers, so
// every function may run with the interpreter lock released. Each result is the same bit for bit
// wherever it is computed, which is why there is one copy.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>
#include <span>
#include <vector>

namespace alphaloom::stats {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Average ranks, 1-based, of values with no NaN: equal values share the mean of their positions.
// `order` is scratch space; `out` has the length of `values`. The ranks do not depend on how the
// sort orders equal values, so an unstable sort gives the same ranks as a stable one.
inline void average_ranks(std::span<const double> values, std::span<double> out,
                          std::vector<std::size_t> &order) {
  const std::size_t n = values.size();
  order.resize(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return values[a] < values[b]; });
  for (std::size_t i = 0; i < n;) {
    std::size_t j = i + 1;
    while (j < n && values[order[j]] == values[order[i]]) ++j;
    const double rank = 0.5 * static_cast<double>(i + 1 + j);  // mean of the ranks i+1 .. j
    for (std::size_t k = i; k < j; ++k) out[order[k]] = rank;
    i = j;
  }
}

// The mean and the largest deviation from it that pearson below finds for average ranks of
// 1 .. c (ties sharing their mean) whose lowest and highest are given: adding them up in any
// order, every partial sum is a half-integer well within double precision, so the sum is exactly
// c (c + 1) / 2, and the largest deviation, exact too, is at one end.
struct RankSpread {
  double mean, scale;
};
inline RankSpread rank_spread(std::size_t c, double lowest, double highest) {
  const double mean = static_cast<double>(c * (c + 1) / 2) / static_cast<double>(c);
  return {mean, std::max(std::fabs(lowest - mean), std::fabs(highest - mean))};
}

// The end of pearson below: its value from the sums of the scaled deviations' squares and
// products over n pairs. Callers that keep a side's scaled deviations between calls use it to
// get the same bits.
inline double pearson_from_sums(double aa, double bb, double ab, std::size_t n) {
  const double fact = static_cast<double>(n - 1);
  const double da = std::sqrt(aa / fact), db = std::sqrt(bb / fact);
  if (da == 0.0 || db == 0.0) return kNaN;
  return std::clamp(ab / fact / da / db, -1.0, 1.0);
}

// Pearson correlation of two equally long samples with no missing values, exactly as pandas
// computes it: centred and scaled by the largest deviation before the dot products (so large or
// tiny values neither overflow nor lose precision), clipped to [-1, 1]. NaN for fewer than two
// pairs, unequal lengths, a constant side or an infinite value.
inline double pearson(std::span<const double> a, std::span<const double> b) {
  const std::size_t n = a.size();
  if (n < 2 || b.size() != n) return kNaN;
  double ma = 0.0, mb = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(a[i]) || !std::isfinite(b[i])) return kNaN;
    ma += a[i];
    mb += b[i];
  }
  ma /= static_cast<double>(n);
  mb /= static_cast<double>(n);
  double sa = 0.0, sb = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    sa = std::max(sa, std::fabs(a[i] - ma));
    sb = std::max(sb, std::fabs(b[i] - mb));
  }
  if (sa == 0.0 || sb == 0.0) return kNaN;
  double aa = 0.0, bb = 0.0, ab = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = (a[i] - ma) / sa, y = (b[i] - mb) / sb;
    aa += x * x;
    bb += y * y;
    ab += x * y;
  }
  return pearson_from_sums(aa, bb, ab, n);
}

// Scratch buffers for rank correlations, reused across calls (one per thread).
struct RankScratch {
  std::vector<std::size_t> order;
  std::vector<double> a, b;
};

// Spearman correlation: Pearson of the average ranks. Same inputs and NaN rules as pearson.
inline double spearman(std::span<const double> a, std::span<const double> b, RankScratch &s) {
  if (a.size() < 2 || b.size() != a.size()) return kNaN;
  s.a.resize(a.size());
  s.b.resize(b.size());
  average_ranks(a, s.a, s.order);
  average_ranks(b, s.b, s.order);
  return pearson(s.a, s.b);
}

inline double spearman(std::span<const double> a, std::span<const double> b) {
  RankScratch s;
  return spearman(a, b, s);
}

// Moments of the non-NaN values. Skewness and kurtosis are the plain moment ratios m3 / m2^1.5
// and m4 / m2^2 (kurtosis 3 for a normal sample; no small-sample correction). A field that needs
// more values than there are (mean: 1, sample_std: 2, the others: 1 and a non-zero spread) is NaN.
struct Moments {
  std::size_t n = 0;
  double mean = kNaN;
  double sample_std = kNaN;      // divides by n - 1
  double population_std = kNaN;  // divides by n
  double skew = kNaN;
  double kurtosis = kNaN;
};

inline Moments moments(std::span<const double> values) {
  Moments m;
  double sum = 0.0;
  for (double x : values)
    if (!std::isnan(x)) sum += x, ++m.n;
  if (m.n == 0) return m;
  const double n = static_cast<double>(m.n);
  m.mean = sum / n;
  double m2 = 0.0, m3 = 0.0, m4 = 0.0;
  for (double x : values) {
    if (std::isnan(x)) continue;
    const double d = x - m.mean, d2 = d * d;
    m2 += d2;
    m3 += d2 * d;
    m4 += d2 * d2;
  }
  m.population_std = std::sqrt(m2 / n);
  if (m.n >= 2) m.sample_std = std::sqrt(m2 / (n - 1.0));
  const double var = m2 / n;
  if (var > 0.0) {
    m.skew = (m3 / n) / (var * std::sqrt(var));
    m.kurtosis = (m4 / n) / (var * var);
  }
  return m;
}

}  // namespace alphaloom::stats
