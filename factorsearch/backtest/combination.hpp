// The alpha pool's maths: factors normalised per day, the pool's sufficient statistics, the ridge
// fit of the combination, its in-sample score, each member's contribution and the drop rule.
// Pure C++ over row-major dates x stocks buffers; runs without the interpreter lock.
//
// Normalisation: on each date a factor's eligible values (is_eligible) become their average ranks
// mapped into (-0.5, 0.5), (rank - 0.5) / count - 0.5; a cell where it is not eligible counts 0,
// the middle. Ranks rather than z-scores because one outlier would otherwise own a day's
// cross-products (formulas divide by near-zero volumes and ranges), and because a rank-IC search
// only sees a factor through its ranks anyway. The forward return the combination is fit to is
// normalised the same way over the stocks whose return is known.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "factorsearch/backtest/backtest.hpp"
#include "factorsearch/backtest/in_sample.hpp"

namespace factorsearch {

// The ridge term, relative to the mean diagonal of the members' cross-product matrix: small enough
// to leave a well-posed fit as it is, large enough that two near-copies get a finite split.
inline constexpr double kRidge = 1e-3;

// One factor normalised per day: 0 where it is not eligible (and on dates not normalised).
struct NormalisedFactor {
  std::vector<double> z;
  std::vector<std::uint8_t> eligible;
};

// The ranks of one day from the back-test's sorted day (`ranked` ascending in value, equal values
// adjacent: Day::ranked) into row t of `f`, which holds n_stocks columns.
void normalise_day(std::span<const Ranked> ranked, std::size_t t, std::size_t n_stocks,
                   NormalisedFactor &f);
// Every date of a panel (or those of [first, end) only).
NormalisedFactor normalise_panel(std::span<const double> panel, std::size_t n_dates,
                                 std::size_t n_stocks, std::size_t first = 0,
                                 std::size_t end = static_cast<std::size_t>(-1));

// What a combination is fit and scored on: the in-sample back-test days, each stock's forward
// return there and that return normalised per day (0 where unknown).
struct CombinationData {
  const ForwardOrder *forward = nullptr;
  std::vector<double> target;  // dates x stocks, row-major
  TradedDays days{0, 0};
  std::size_t n_stocks = 0;
};
CombinationData combination_data(const ForwardOrder &forward, std::size_t n_dates);

// sum over the days and the stocks with a known forward return of a * b.
double cross_product(const CombinationData &d, const std::vector<double> &a,
                     const std::vector<double> &b);

// The mean daily correlation of two normalised factors on the stocks both are eligible for (their
// rank correlation where they cover the same stocks), over the combination's days; days with
// fewer than two such stocks or a constant side are skipped; NaN without any day.
double mean_rank_correlation(const CombinationData &d, const NormalisedFactor &a,
                             const NormalisedFactor &b);

// Ridge least squares from the sufficient statistics: solves (gram + ridge) w = target, gram k x k
// row-major; ridge = kRidge * mean diagonal. All zeros for an empty or all-zero gram.
std::vector<double> ridge_weights(std::span<const double> gram, std::span<const double> target,
                                  std::size_t k);

// sum_k w_k z_k on every cell where some member is eligible, NaN where none is.
std::vector<double> combined_panel(std::span<const NormalisedFactor *const> members,
                                   std::span<const double> weights, std::size_t cells);

// The mean daily IC (Measure::IC) or rank IC of the combination over the combination's days, as
// report computes it for the panel combined_panel gives (the eligible cells with a known forward
// return); NaN without a day.
double combined_score(const CombinationData &d, std::span<const NormalisedFactor *const> members,
                      std::span<const double> weights, Measure measure);

// A set of normalised factors and their sufficient statistics: adding or removing a member
// costs a row of cross-products, never a pass over the raw panels of the others.
class Combination {
 public:
  std::size_t size() const { return members_.size(); }
  const NormalisedFactor &member(std::size_t k) const { return *members_[k]; }
  std::shared_ptr<const NormalisedFactor> shared(std::size_t k) const { return members_[k]; }

  // With `f` appended (its cross-products with the members computed here).
  Combination with(std::shared_ptr<const NormalisedFactor> f, const CombinationData &d) const;
  Combination without(std::size_t k) const;

  std::vector<double> weights() const { return ridge_weights(gram_, target_, size()); }
  // The score of the refit combination; 0 for an empty one (nothing to gain from).
  double score(const CombinationData &d, Measure measure) const;
  // Per member, the score lost when it leaves and the others are refit.
  std::vector<double> contributions(const CombinationData &d, Measure measure) const;
  std::vector<const NormalisedFactor *> pointers() const;

 private:
  std::vector<std::shared_ptr<const NormalisedFactor>> members_;
  std::vector<double> gram_, target_;  // k x k and k
};

// The member a pool over `size` gives up: the least contribution, the newest among equals.
std::size_t least_contributing(std::span<const double> contributions);

// Hook for the breadth rule of the tradeable search: a day the back-test would trade holds at
// least `legs` eligible stocks (2 * legs long-short). A pool member must trade on at least half of
// its in-sample back-test days. `eligible_per_day` counts the eligible stocks of each back-test
// day.
bool trades_enough(std::span<const std::size_t> eligible_per_day, std::int64_t legs, bool hedged);
// The median of the eligible stocks per back-test day (NaN without a day).
double coverage_of(std::vector<std::size_t> eligible_per_day);

}  // namespace factorsearch
