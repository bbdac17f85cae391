// The alpha pool's maths: factors normalised per day, the pool's per-day sufficient statistics,
// the ridge fit of the combination, its in-sample score, each member's contribution and the drop
// rule. Pure C++ over row-major dates x stocks buffers; runs without the interpreter lock.
//
// Normalisation: on each date a factor's eligible values (is_eligible) become their average ranks
// mapped into (-0.5, 0.5), (rank - 0.5) / count - 0.5; a cell where it is not eligible counts 0,
// the middle. Ranks rather than z-scores because one outlier would otherwise own a day's
// cross-products (formulas divide by near-zero volumes and ranges), and because a rank-IC search
// only sees a factor through its ranks anyway. The forward return the combination is fit to is
// normalised over the stocks whose return is known: to the same ranks for the rank IC, to its
// z-score for the IC.
//
// Everything a candidate needs is a function of per-day sums over the stocks with a known
// forward return: sum z_a z_b, sum z_a, sum z_a y of the members (kept with the pool) and of the
// candidate against them (one pass over its cells). The weights are the ridge solution of the
// summed cross-products; a day's score is the correlation of sum_k w_k z_k with y on that day,
// read off the same sums; the score is its mean over the in-sample back-test days.
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

// What a combination is fit and scored on: the in-sample back-test days, the stocks with a known
// forward return there, that return normalised per day (0 where unknown) and its per-day sums.
struct CombinationData {
  std::size_t n_stocks = 0;
  TradedDays days{0, 0};
  std::vector<std::uint8_t> known;  // dates x stocks
  std::vector<double> target;       // dates x stocks
  std::vector<double> count, sum, squares;  // per back-test day
};
CombinationData combination_data(const ForwardOrder &forward, std::size_t n_dates,
                                 Measure measure);

class Combination;

// The members of a combination side by side on each back-test day and stock (0 where not
// eligible), built once per change of the pool, so a candidate's pass reads contiguous rows.
struct PackedPool {
  std::size_t k = 0, first = 0;
  std::vector<double> z;  // (day, stock, member)
};
PackedPool pack(const CombinationData &d, const Combination &pool);

// A factor's per-day sums against a combination's members, over the stocks with a known forward
// return: with each member and itself (k + 1 per day), of itself, and with the target.
struct FactorStats {
  std::vector<double> cross, sum, target;
};
FactorStats factor_stats(const CombinationData &d, const PackedPool &pool,
                         const NormalisedFactor &f);

// Ridge least squares from the sufficient statistics: solves (gram + ridge) w = target, gram k x k
// row-major; ridge = kRidge * mean diagonal. All zeros for an empty or all-zero gram.
std::vector<double> ridge_weights(std::span<const double> gram, std::span<const double> target,
                                  std::size_t k);

// sum_k w_k z_k on every cell where some member is eligible, NaN where none is.
std::vector<double> combined_panel(std::span<const NormalisedFactor *const> members,
                                   std::span<const double> weights, std::size_t cells);

// A set of normalised factors and their per-day sufficient statistics: adding or removing a
// member costs a row of sums, never a pass over the raw panels of the others.
class Combination {
 public:
  std::size_t size() const { return members_.size(); }
  const NormalisedFactor &member(std::size_t k) const { return *members_[k]; }
  std::shared_ptr<const NormalisedFactor> shared(std::size_t k) const { return members_[k]; }

  // With `f` appended, its sums against the members known (factor_stats over pack(*this)).
  Combination with(std::shared_ptr<const NormalisedFactor> f, const FactorStats &st) const;
  Combination with(std::shared_ptr<const NormalisedFactor> f, const CombinationData &d) const;
  Combination without(std::size_t k) const;

  std::vector<double> weights() const { return ridge_weights(gram_, target_, size()); }
  // The mean over the days of the day's correlation of the refit combination with the target;
  // 0 for an empty combination (nothing to gain from) or one without a scored day.
  double score(const CombinationData &d) const;
  // Per member, the score lost when it leaves and the others are refit.
  std::vector<double> contributions(const CombinationData &d) const;
  // A factor's mean daily correlation with each member (its rank correlation: both sides are
  // ranks, the middle where not eligible), over the stocks with a known forward return; days
  // with a constant side are skipped; NaN without a day.
  std::vector<double> correlations(const CombinationData &d, const FactorStats &st) const;

 private:
  std::vector<std::shared_ptr<const NormalisedFactor>> members_;
  std::size_t days_ = 0;
  std::vector<double> day_gram_, day_sum_, day_target_;  // per day: k x k, k, k
  std::vector<double> gram_, target_;                    // summed over the days in day order
};

// The member a pool over `size` gives up: the least contribution, the newest among equals.
std::size_t least_contributing(std::span<const double> contributions);

// The median of the eligible stocks per back-test day (NaN without a day).
double coverage_of(std::vector<std::size_t> eligible_per_day);

}  // namespace factorsearch
