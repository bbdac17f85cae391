// In-sample scores of one factor panel for the genetic search: the back-test row, the mean daily
// (rank) IC against the back-test's forward return on its eligible cells, the cross-sectional
// dispersion rule and the moments of the daily returns that the deflated Sharpe value needs.
// Pure C++ over row-major dates x stocks buffers; runs without the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "factorsearch/backtest.hpp"

namespace factorsearch {

enum class Measure { RankIC, IC, None };

struct InSample {
  bool ok = false;     // at least one back-test day and the dispersion rule (selection_checks.hpp)
  Summary row{};       // net value, sharp, maxdown: the f / f1 row of these dates
  double ic = 0.0;     // mean daily IC (Measure::IC) or rank IC (Measure::RankIC); NaN: no day
  std::size_t days = 0;
  double dispersion = 0.0;  // share of back-test days with dispersion
  // Daily returns as the Sharpe inference reads them (sharpe_inference.hpp): per-day Sharpe
  // mean / std (ddof 1), population skewness and kurtosis; NaN for a flat series.
  double sr = 0.0, skew = 0.0, kurt = 0.0;
};

// Per back-test day, the average ranks of the forward returns of every stock that has one, in
// universe order: a formula present on all those stocks (the usual case) reuses them instead of
// ranking the same returns again. The rank IC is the same bit for bit either way.
struct ForwardRanks {
  std::vector<std::size_t> count;           // per date position
  std::vector<std::vector<double>> ranks;   // per date position
};
ForwardRanks forward_ranks(std::span<const double> prices, std::size_t n_dates,
                           std::size_t n_stocks);

InSample score_in_sample(std::span<const double> panel, std::span<const double> prices,
                         std::size_t n_dates, std::size_t n_stocks, std::int64_t l, bool hedged,
                         Measure measure, const ForwardRanks *known = nullptr);

}  // namespace factorsearch
