// What mine (and evolve) score for a drawn formula: the in-sample back-test that decides success
// (exactly f / f1 on the dates before the hold-out), the checks that keep degenerate factors out,
// what the deflated Sharpe and the duplicate check need, and, after selection, the hold-out
// figures and the look-ahead verdict on the whole data. Interpreter layer around pure C++.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include "factorsearch/expr/evaluation.hpp"
#include "factorsearch/market/holdout.hpp"

namespace factorsearch {


// Fields of a scored row (a tuple), after the four of the .npy row.
inline constexpr int kText = 0, kNet = 1, kSharpe = 2, kMaxDrawdown = 3;
inline constexpr int kSr = 4, kSkew = 5, kKurt = 6, kDays = 7;  // in-sample return moments
inline constexpr int kDigestA = 8, kDigestB = 9;  // rank digest of the in-sample factor
inline constexpr int kHoldNet = 10, kHoldSharpe = 11, kHoldMaxDrawdown = 12, kHoldIc = 13,
                     kHoldRankIc = 14, kHoldDays = 15, kLookahead = 16;
inline constexpr int kCoverage = 17, kTradeableDays = 18;  // breadth of the in-sample back-test
inline constexpr int kScoredFields = 19;

// The scored row of `drawn`, or None for a miss: the in-sample evaluation or back-test (from
// data.warmup on) yields nothing, the factor lacks cross-sectional dispersion or, with
// `must_trade`, its back-test never trades (no day whose legs were drawn with every price known,
// or a flat return list: Sharpe NaN). Hold-out fields are None without a hold-out; when only the
// whole-data evaluation fails they are NaN, 0 days and lookahead None. Raises what the in-sample
// evaluation raises (callers decide what is a miss). `panel_out`, when given, receives the
// in-sample panel of a row.
py::tuple score_formula(py::handle mod, py::handle miner, const Drawn &drawn, const py::str &text,
                        const MiningData &data, std::int64_t legs, bool hedged,
                        bool must_trade = true, std::vector<double> *panel_out = nullptr);

// Coverage and tradeable_days of scored rows, as the last two columns of a frame.
void add_breadth_columns(py::dict &columns, std::size_t n,
                         const std::function<py::tuple(std::size_t)> &row);

// Adds the hold-out columns of mine's and evolve's frames to `columns`, in their documented order
// (holdout_net_value .. holdout_days, lookahead), for n rows; row(k) is the k-th formula's scored
// row as score_formula gives it, or an empty tuple where scoring failed (NaN figures, 0 days,
// lookahead None).
void add_holdout_columns(py::dict &columns, std::size_t n,
                         const std::function<py::tuple(std::size_t)> &row);

}  // namespace factorsearch
