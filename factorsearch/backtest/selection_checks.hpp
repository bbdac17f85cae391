// Checks that keep a mining run from counting what is not a factor: formulas without
// cross-sectional dispersion (their legs would be chosen by the universe's order, not by the
// factor), formulas that rank the stocks exactly as an earlier one does, and values that change
// when later dates are added (look-ahead). Pure C++ over row-major dates x stocks float64 panels;
// runs without the interpreter lock. Used by mine, evolve, report and FactorSearch.lookahead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "factorsearch/backtest/backtest.hpp"

namespace factorsearch {

// A back-test day has dispersion when its eligible values hold at least two distinct values; a
// factor counts as found only when at least this share of its back-test days has it.
inline constexpr double kMinDispersionShare = 0.5;

// Share of the days [first_day, end_day) with dispersion; NaN when the range is empty.
double dispersion_share(std::span<const double> panel, std::size_t n_stocks,
                        std::size_t first_day, std::size_t end_day);

inline bool disperse_enough(double share) { return share >= kMinDispersionShare; }

// A 128-bit digest of the order the factor puts the stocks in on each of the days
// [first_day, end_day): per day, each stock's dense rank among the eligible values (ties share a
// rank) or "not eligible". Two factors with equal digests rank the stocks equally on every day
// (a monotone transform of a factor is its duplicate); a collision has probability ~2^-128.
struct RankDigest {
  std::uint64_t a = 0, b = 0;
  bool operator==(const RankDigest &) const = default;
};
RankDigest rank_digest(std::span<const double> panel, std::size_t n_stocks, std::size_t first_day,
                       std::size_t end_day);

// Per day of [first_day, end_day), each stock's average rank (1-based, ties sharing their mean)
// among the day's eligible values, NaN where not eligible: what two factors' rank correlation
// is read from, kept in single precision (ranks up to 2^24 are exact) since a search holds one
// per kept row.
//
// Per day also the centre and scale the Pearson correlation of the ranks gives them and the sum
// of their scaled squares (NaN: fewer than two eligible stocks or all tied), so that two factors
// with the same eligible stocks on a day only add up their products.
struct DailyRanks {
  std::size_t n_stocks = 0, days = 0;
  std::vector<float> rank;          // days x stocks, row-major
  std::vector<std::uint32_t> count;  // eligible stocks per day
  std::vector<double> mean, scale, squares;  // per day
};
DailyRanks daily_ranks(std::span<const double> panel, std::size_t n_stocks, std::size_t first_day,
                       std::size_t end_day);

// Mean over the days of the rank correlation of two factors (Spearman over the stocks eligible
// in both; with the same eligible stocks that is the Pearson correlation of their ranks); days
// without one (fewer than two common stocks, a constant side) are left out; NaN when none has
// one. Both ranks cover the same days.
double mean_rank_correlation(const DailyRanks &a, const DailyRanks &b);

// `part` (rows x n_stocks, evaluated on the data cut after `rows` dates) against the first `rows`
// rows of `full`: a cell changed unless both are NaN, both equal, or they differ by at most
// `rel` relative to the larger magnitude.
struct PrefixDiff {
  std::size_t compared = 0, changed = 0;
  std::ptrdiff_t first_changed_row = -1;  // -1: none
};
PrefixDiff compare_prefix(std::span<const double> full, std::span<const double> part,
                          std::size_t rows, std::size_t n_stocks, double rel = 1e-9);

}  // namespace factorsearch
