// The hold-out cut: where the hold-out starts, the in-sample part before it (cut in one place for
// every driver) and the data of one mining call, prepared once.
#pragma once

#include <cstddef>
#include <optional>

#include "factorsearch/backtest/backtest.hpp"
#include "factorsearch/market/market.hpp"

namespace factorsearch {

// The position of the first hold-out date in data1 (None without a hold-out): a date (anything
// pd.Timestamp takes on a date index) or a fraction in (0, 1) of the dates, from the end.
// Refused before any work when either side is too short to back-test.
// The in-sample part needs warmup + 3 dates.
py::object holdout_position(py::handle holdout, py::handle data1, std::size_t warmup = kFirstDay);

// The in-sample part of (data1, price1): their rows dated before data1's date at `holdout_at`
// (all of them, and first_held None, when it is None).
struct SampleCut {
  py::object frames, prices, first_held;
};
SampleCut cut_in_sample(py::handle data1, py::handle price1, py::handle holdout_at);

// The data of one mining call: the market selection sees (the dates before the hold-out, or all
// of them) and, with a hold-out, the whole data and the position of the first hold-out date.
struct MiningData {
  Market sample;
  std::optional<Market> whole;
  std::size_t holdout_at = 0;
  std::size_t warmup = kFirstDay;  // dates before the in-sample back-test's first day
  bool has_holdout() const { return whole.has_value(); }
};

// (data1, price1, zz500, holdout_at or None) -> the prepared data; the in-sample part is
// data1 and price1 cut to their rows dated before data1's date at holdout_at.
MiningData prepare_mining_data(py::handle frames, py::handle prices, py::handle universe,
                               py::handle holdout_at, std::size_t warmup = kFirstDay);

}  // namespace factorsearch
