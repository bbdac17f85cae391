// Day-wise kernels of the ADD trainer: day ranges from per-row day codes, per-day means of
// per-row loss terms, per-day Pearson and Spearman correlations (pairwise-complete, average
// ranks for ties, NaN for a constant side, as pandas computes them), linear-interpolation
// quantiles and market-regime binning. Plain numbers in, plain numbers out: no interpreter
// objects, so every function here may run with the GIL released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace dualstream::daily {

// Rows of one day: [start, start + count).
struct DayRanges {
  std::vector<std::int64_t> start;
  std::vector<std::int64_t> count;
  std::size_t size() const { return start.size(); }
};

// Raised when the rows are not grouped by day in ascending order; `row` is the first row whose
// day sorts before the previous row's day.
struct DayOrderError : std::runtime_error {
  std::size_t row;
  explicit DayOrderError(std::size_t r)
      : std::runtime_error("rows are not ordered by day"), row(r) {}
};

// Raised for a row whose day is missing (code < 0).
struct MissingDayError : std::runtime_error {
  std::size_t row;
  explicit MissingDayError(std::size_t r)
      : std::runtime_error("a row has no day"), row(r) {}
};

// `codes` are the rows' day codes numbered in ascending day order (0 = earliest day), as a
// sorted factorisation gives them. One pass: each day's rows must be contiguous and the days
// ascending, which is exactly "codes never decrease".
DayRanges day_ranges(std::span<const std::int64_t> codes);

// Pearson and Spearman correlation (common/stats.hpp) over the pairs where neither value is NaN.
struct Correlations {
  double pearson;
  double spearman;
};
Correlations correlations(std::span<const double> a, std::span<const double> b);

// Per-row terms of one evaluation pass, each of length n (the rows of the frame).
struct RowTerms {
  std::span<const float> pred_excess;    // excess stream's prediction
  std::span<const float> adv_excess;     // adversarial excess prediction (market stream)
  std::span<const float> ce_market;      // cross-entropy of the market logits
  std::span<const float> ce_adv_market;  // cross-entropy of the adversarial market logits
  std::span<const float> rec;            // mean squared reconstruction error of the row
  std::span<const float> label;          // excess label, NaN where unknown
};

// Metric columns of one day, in the order the trainer reports them.
enum Metric : int {
  kPreExcess,
  kPreMarket,
  kPre,
  kAdvExcess,
  kAdvMarket,
  kAdv,
  kRec,
  kLoss,
  kMse,
  kIc,
  kRic,
  kMetricCount
};

// Per-day metrics, one row of kMetricCount values per day (row-major). The excess terms and
// "mse"/"loss" (negated) use the rows whose label is known; a day without one gets NaN there.
std::vector<double> day_metrics(const RowTerms &terms, const DayRanges &days);

// Column means over the days (equal weight per day; NaN propagates).
std::vector<double> mean_over_days(std::span<const double> per_day, std::size_t n_days);

// Quantiles with linear interpolation between order statistics, NaN values ignored; all NaN when
// no value is known. Bit-compatible with NumPy's default ("linear") method.
std::vector<double> quantiles(std::span<const double> values, std::span<const double> qs);

// Regime class of each value for the right-closed bins (-inf, lo], (lo, hi], (hi, inf):
// 0, 1 or 2; -1 for NaN and for -inf (which no bin holds).
std::vector<std::int64_t> regime_classes(std::span<const double> values, double lo, double hi);

}  // namespace dualstream::daily
