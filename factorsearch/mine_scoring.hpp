// What mine (and evolve) score for a drawn formula: the in-sample back-test that decides success
// (exactly f / f1 on the dates before the hold-out), the checks that keep degenerate factors out,
// what the deflated Sharpe and the duplicate check need, and, after selection, the hold-out
// figures and the look-ahead verdict on the whole data. Interpreter layer around pure C++.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>

#include "factorsearch/evaluation.hpp"

namespace factorsearch {

// The data of one mining call: the market selection sees (the dates before the hold-out, or all
// of them) and, with a hold-out, the whole data and the position of the first hold-out date.
struct MiningData {
  Market sample;
  std::optional<Market> whole;
  std::size_t holdout_at = 0;
  bool has_holdout() const { return whole.has_value(); }
};

// (data1, price1, zz500, holdout_at or None) -> the prepared data; the in-sample part is
// data1 and price1 cut to their rows dated before data1's date at holdout_at.
MiningData prepare_mining_data(py::handle data1, py::handle price1, py::handle zz500,
                               py::handle holdout_at);

// Fields of a scored row (a tuple), after the four of the .npy row.
inline constexpr int kText = 0, kNet = 1, kSharpe = 2, kMaxDrawdown = 3;
inline constexpr int kSr = 4, kSkew = 5, kKurt = 6, kDays = 7;  // in-sample return moments
inline constexpr int kDigestA = 8, kDigestB = 9;  // rank digest of the in-sample factor
inline constexpr int kHoldNet = 10, kHoldSharpe = 11, kHoldMaxDrawdown = 12, kHoldIc = 13,
                     kHoldRankIc = 14, kHoldDays = 15, kLookahead = 16;
inline constexpr int kScoredFields = 17;

// The scored row of `drawn`, or None for a miss: the in-sample evaluation or back-test yields
// nothing, or the factor lacks cross-sectional dispersion. Hold-out fields are None without a
// hold-out; when only the whole-data evaluation fails they are NaN, 0 days and lookahead None.
// Raises what the in-sample evaluation raises (callers decide what is a miss).
py::tuple score_formula(py::handle mod, py::handle miner, const Drawn &drawn, const py::str &text,
                        const MiningData &data, std::int64_t legs, bool hedged);

// Adds the hold-out columns of mine's and evolve's frames to `columns`, in their documented order
// (holdout_net_value .. holdout_days, lookahead), for n rows; row(k) is the k-th formula's scored
// row as score_formula gives it, or an empty tuple where scoring failed (NaN figures, 0 days,
// lookahead None).
void add_holdout_columns(py::dict &columns, std::size_t n,
                         const std::function<py::tuple(std::size_t)> &row);

}  // namespace factorsearch
