// What a researcher asks of one factor after mining: daily legs and returns with and without
// costs, turnover, information coefficients and their decay, quantile returns. Pure C++ over
// row-major float64 dates x stocks buffers; runs without the interpreter lock. The legs, the
// return list, the eligible cells and the curves come from the back-test itself (backtest.hpp),
// so the report's net value, Sharpe value and drawdown are the miner's, bit for bit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "factorsearch/backtest/backtest.hpp"
#include "factorsearch/backtest/day_threads.hpp"

namespace factorsearch {

inline constexpr std::size_t kDecayHorizons = 10;

struct ReportSettings {
  std::int64_t legs = 20;  // stocks per leg
  bool hedged = true;
  std::int64_t quantiles = 5;
  double cost_bps = 0.0;
  DayRange days{};  // the back-test days reported
  Threads threads{};  // the days are spread over them; no figure depends on how many
};

struct DailyRows {
  std::vector<std::size_t> t;  // date positions of the back-test days
  std::vector<double> long_ret, short_ret;  // leg means as the back-test takes them (NaN kept)
  std::vector<double> ret;                  // the day's back-test return, NaN as 0, inf clipped
  std::vector<double> net;                  // prod(1 + ret)
  std::vector<double> turnover;             // mean over the legs of the share of names replaced
  std::vector<double> cost;                 // cost_bps per unit turnover per leg, as a return
  std::vector<double> ret_after_cost, net_after_cost;
  std::vector<double> ic, rank_ic;          // NaN where undefined
  std::vector<double> eligible;             // eligible stocks of the day
};

struct ReportStats {
  Summary backtest{}, after_cost{};
  double ic_mean, ic_std, icir, rank_ic_mean, rank_ic_std, rank_icir, ic_positive, turnover;
  std::size_t days;
  // How far the figures can be trusted: t-statistics of the IC means (mean / (std / sqrt(n))),
  // the standard error of `sharpe` (annualised as it is), the probabilistic Sharpe (P(true
  // Sharpe > 0)) and the share of days whose eligible values are not all equal.
  double ic_t, rank_ic_t, sharpe_se, psr, dispersion_days;
  // Breadth (backtest.hpp): median eligible stocks per day, share of tradeable days.
  double coverage, tradeable_days;
};

// Report.summary in its documented order; a fitness callable of evolve receives the first
// kFitnessSummaryKeys of them.
inline constexpr std::array<const char *, 20> kSummaryKeys{
    "net_value", "sharpe",       "maxdown",   "ic_mean",     "ic_std",
    "icir",      "rank_ic_mean", "rank_icir", "ic_positive", "turnover",
    "net_value_after_cost",      "sharpe_after_cost",        "days",
    "sharpe_se", "psr",          "ic_t",      "rank_ic_t",   "dispersion_days",
    "coverage",  "tradeable_days"};
inline constexpr std::size_t kFitnessSummaryKeys = 13;

// The values of kSummaryKeys, in that order.
inline std::array<double, kSummaryKeys.size()> summary_values(const ReportStats &st) {
  return {st.backtest.net,  st.backtest.sharpe, st.backtest.max_drawdown, st.ic_mean,
          st.ic_std,        st.icir,            st.rank_ic_mean,          st.rank_icir,
          st.ic_positive,   st.turnover,        st.after_cost.net,        st.after_cost.sharpe,
          static_cast<double>(st.days), st.sharpe_se, st.psr, st.ic_t, st.rank_ic_t,
          st.dispersion_days, st.coverage, st.tradeable_days};
}

struct Report {
  DailyRows daily;
  ReportStats stats{};
  std::vector<double> quantile_mean;          // per quantile, lowest factor values first
  std::vector<std::int64_t> quantile_count;   // stock-days behind each mean
  std::array<double, kDecayHorizons> decay{};  // mean rank IC, return held t+1 -> t+1+h
  std::array<std::size_t, kDecayHorizons> decay_days{};
  // Standard error of each decay mean: the h-day holds of consecutive days overlap, so the day
  // values are autocorrelated up to lag h-1; newey_west_se with h-1 lags.
  std::array<double, kDecayHorizons> decay_se{};
  // Per quantile: mean over days of (quantile's mean forward return - the day's mean over all
  // cells), so the spread shows without the market's daily move.
  std::vector<double> quantile_relative;
  std::vector<double> quantile_relative_se;  // sample std of the day values / sqrt(days)
};

// The Newey-West (HAC) standard error of the mean of `x` (NaN entries left out, the rest kept in
// order) with `lags` lags and Bartlett weights: with e the deviations from the mean and n values,
//   S = sum e_i^2 + 2 * sum_{k=1..lags} (1 - k/(lags+1)) * sum_{i>k} e_i e_{i-k}
//   se = sqrt(S / (n (n - 1)))
// With no lags it is the plain sample std / sqrt(n). NaN for fewer than two values; a negative
// S (possible only with too few values for the lags) is read as 0.
double newey_west_se(std::span<const double> x, std::size_t lags);

// Needs at least kMinDates dates (the caller checks). quantiles >= 1, legs >= 1.
Report build_report(const PanelView &panel, const ReportSettings &settings);

}  // namespace factorsearch
