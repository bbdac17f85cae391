// In-sample scores of one factor panel for the genetic search: the back-test row, the mean daily
// (rank) IC against the back-test's forward return on its eligible cells, the cross-sectional
// dispersion rule and the moments of the daily returns that the deflated Sharpe value needs.
// Pure C++ over row-major dates x stocks buffers; runs without the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "factorsearch/backtest/backtest.hpp"
#include "factorsearch/backtest/day_threads.hpp"

namespace factorsearch {

enum class Measure { RankIC, IC, None };

struct InSample {
  bool ok = false;     // at least one back-test day, the dispersion rule (selection_checks.hpp)
                       // and, with `breadth`, the breadth rule (backtest.hpp); the other fields
                       // but `dispersion` are only filled when ok
  Summary row{};       // net value, sharp, maxdown: the f / f1 row of these dates
  double ic = 0.0;     // mean daily IC (Measure::IC) or rank IC (Measure::RankIC); NaN: no day
  double fitness_sharpe = 0.0;  // sharp of the days that count (all days without `breadth`)
  std::size_t days = 0;
  double dispersion = 0.0;  // share of back-test days with dispersion
  Breadth breadth{};
  // Daily returns as the Sharpe inference reads them (sharpe_inference.hpp): per-day Sharpe
  // mean / std (ddof 1), population skewness and kurtosis; NaN for a flat series.
  double sr = 0.0, skew = 0.0, kurt = 0.0;
};

// `each_day`, when given, also sees every back-test day with its full order (Day::ranked), for a
// statistic that needs the day's ranks (the alpha pool's normalisation) without a sort of its own.

// Per back-test day, every stock's forward return (NaN where unknown) and the stocks that have
// one in ascending order of it, computed once per market: a day's rank IC then needs no sort of
// its own (the factor side comes sorted from the back-test). The rank IC is the same bit for bit
// as ranking the day's cells afresh.
//
// A day whose cells are all its stocks with a forward return (the common case) also finds the
// forward side of the correlation ready: those stocks' ranks centred and scaled as the Pearson
// correlation of the ranks scales them, and the sum of their squares (NaN: the day has no
// correlation, fewer than two such stocks or all their returns equal).
struct ForwardOrder {
  std::size_t n_stocks = 0;
  std::vector<double> forward;                   // dates x stocks, row-major
  std::vector<std::vector<std::uint32_t>> order;  // per date position
  std::vector<std::uint8_t> known;               // dates x stocks: 1 where a forward return is
  std::vector<std::vector<std::uint8_t>> group_starts;  // per date, along `order`: 1 where the
                                                        // return differs from the one before
  std::vector<double> scaled;                    // dates x stocks, NaN without a forward return
  std::vector<double> scaled_squares;            // per date position
};
ForwardOrder forward_order(std::span<const double> prices, std::size_t n_dates,
                           std::size_t n_stocks);

// The back-test days from `first_day` on. With `breadth` only tradeable days count toward `ic`
// and `fitness_sharpe`, and a factor that is not broad_enough (backtest.hpp) is not ok.
InSample score_in_sample(std::span<const double> panel, std::span<const double> prices,
                         std::size_t n_dates, std::size_t n_stocks, std::int64_t legs, bool hedged,
                         Measure measure, const ForwardOrder *known = nullptr,
                         std::size_t first_day = kFirstDay, bool breadth = true,
                         const std::function<void(const Day &)> &each_day = {},
                         Threads threads = {});

}  // namespace factorsearch
