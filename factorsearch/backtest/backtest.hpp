// Daily back-test of a factor panel and the statistics of its return series. Pure C++ over
// row-major float64 buffers (dates x stocks); runs without the interpreter lock. Every rule of the
// back-test (which cells are eligible, how ties are ordered, what a leg returns, how the return
// list is cleaned) lives here once: the miner, the drivers and the report all build on it.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "factorsearch/kernels/day_order.hpp"

namespace factorsearch {

// The first 150 dates are never traded; the last two only supply prices.
inline constexpr std::size_t kFirstDay = 150;
inline constexpr std::size_t kMinDates = kFirstDay + 3;

// A factor panel and the prices it is traded on, both dates x stocks, row-major.
struct PanelView {
  std::span<const double> factor, prices;
  std::size_t n_dates, n_stocks;
  const double *factor_row(std::size_t t) const { return factor.data() + t * n_stocks; }
  const double *price_row(std::size_t t) const { return prices.data() + t * n_stocks; }
};

// Back-test days t with first <= t <= last (date positions). The default is every day the
// back-test trades (kFirstDay .. n_dates - 3); a range is clipped to the days that have t+2 in the
// data.
// `only`, when not empty (one flag per date), further keeps the days whose flag is set: a forecast
// scored on the dates it predicted, which need not be consecutive dates of the data.
struct DayRange {
  std::size_t first = kFirstDay;
  std::size_t last = std::numeric_limits<std::size_t>::max();
  std::span<const char> only{};
  bool keeps(std::size_t t) const { return only.empty() || (t < only.size() && only[t]); }
};

// The traded days of `wanted` for a panel of n_dates dates, as [first, end): empty when none.
// The span `only` does not narrow: count_traded_days gives the days walked.
struct TradedDays {
  std::size_t first, end;
  std::size_t size() const { return end > first ? end - first : 0; }
};
TradedDays traded_days(std::size_t n_dates, DayRange wanted = {});
std::size_t count_traded_days(std::size_t n_dates, DayRange wanted);

// A factor value takes part in the ranking when present and neither exactly 0 nor exactly 1.
inline bool is_eligible(double v) { return !std::isnan(v) && v != 0.0 && v != 1.0; }

// The return of stock j bought at prices `buy` and sold at prices `sell` (rows of one date each).
inline double held_return(const double *buy, const double *sell, std::size_t j) {
  return (sell[j] - buy[j]) / buy[j];
}

// One return per back-test day. Each day the stocks whose factor value is eligible are ranked
// ascending (ties by universe position); the long leg holds the `legs` highest, the short leg
// (when `hedged`) the `legs` lowest. A leg holding fewer than legs/2 stocks returns 0; otherwise it
// returns the mean of held_return(p[t+1], p[t+2]) over its stocks, missing when any is missing.
struct Ranked {
  double value;
  std::size_t stock;
};

// The back-test's total order: ascending value, equal values in universe order.
inline bool rank_before(const Ranked &a, const Ranked &b) {
  return a.value < b.value || (a.value == b.value && a.stock < b.stock);
}

// One back-test day as the legs were drawn: `low` (the short leg) and `high` (the long leg), each
// ascending, both empty on a day with fewer than legs/2 eligible stocks (both legs return 0).
// `short_ret` is the short leg's return even in the long-only variant; `ret` is the day's entry
// of the return list. The spans live until `visit` returns.
// `ranked` holds every eligible stock of the day in that order when the walk was asked for the
// full order (it is empty otherwise): a statistic over all stocks reads it instead of sorting the
// day again.
struct Day {
  std::size_t t;
  std::span<const Ranked> low, high;
  double long_ret, short_ret, ret;
  std::span<const Ranked> ranked{};
  std::size_t eligible = 0;  // eligible stocks of the day
};

// One thread's buffers for the days it trades.
struct DayScratch {
  std::vector<KeyedPosition> items, spare;
  std::vector<Ranked> ranked;
};

// The eligible cells of a factor row as keyed positions in the back-test's order (rank_before),
// by radix sort (day_order.hpp); `spare` is the sort's scratch.
void order_eligible(const double *row, std::size_t n_stocks, std::vector<KeyedPosition> &items,
                    std::vector<KeyedPosition> &spare);

// The eligible stocks of a factor row in the back-test's order (rank_before), into s.ranked, by
// radix sort (day_order.hpp).
void rank_day(const double *row, std::size_t n_stocks, DayScratch &s);

// Day t as walk_days hands it to its visitor; its spans point into `s`. Days are independent:
// any of them may be traded on any thread with its own scratch.
Day trade_day(const PanelView &panel, std::size_t t, std::int64_t legs, bool hedged,
              bool full_order, DayScratch &s);

// The days walk_days visits for `days`, in date order.
std::vector<std::size_t> day_list(std::size_t n_dates, DayRange days);

// Breadth: a day is tradeable when the back-test can fill its legs in full from the eligible
// stocks, `legs` for the long leg and, long-short, `legs` more for a short leg of distinct
// stocks. A leg of legs/2 stocks still trades, but a statistic over a handful of names says
// nothing a leg of `legs` could earn.
inline bool tradeable_day(std::size_t eligible, std::int64_t legs, bool hedged) {
  return static_cast<double>(eligible) >= static_cast<double>(legs) * (hedged ? 2.0 : 1.0);
}

// A searched factor counts only when at least this share of its back-test days is tradeable.
inline constexpr double kMinTradeableShare = 0.5;

// A day traded: its legs were drawn and every held price was known (the day's return is not
// missing). A factor that never trades has a flat return list, however it ranks.
inline bool traded_day(const Day &day) { return !day.high.empty() && !std::isnan(day.ret); }

struct Breadth {
  double coverage = std::numeric_limits<double>::quiet_NaN();  // median eligible stocks a day
  double tradeable_days = std::numeric_limits<double>::quiet_NaN();  // share of the days
  std::size_t days = 0, tradeable = 0, traded = 0;
};

// The breadth rule of a search: at least kMinTradeableShare of the days tradeable and, so that an
// even count of days split exactly in half does not pass on its narrow half, a median coverage
// that fills the legs.
inline bool broad_enough(const Breadth &b, std::int64_t legs, bool hedged) {
  return b.tradeable_days >= kMinTradeableShare &&
         b.coverage >= static_cast<double>(legs) * (hedged ? 2.0 : 1.0);
}

// The breadth of the days handed to add(), in any order of days.
class BreadthTally {
 public:
  BreadthTally(std::int64_t legs, bool hedged) : legs_(legs), hedged_(hedged) {}
  // Whether the day is tradeable.
  bool add(const Day &day);
  // The same from a day's eligible count and whether it traded.
  bool add(std::size_t eligible, bool traded);
  Breadth result() const;

 private:
  std::int64_t legs_;
  bool hedged_;
  std::vector<std::size_t> eligible_;
  std::size_t tradeable_ = 0, traded_ = 0;
};

// The rule in one call, for any caller that holds a factor panel: the breadth of its back-test
// days `days` with legs of `legs` stocks.
Breadth breadth_of(const PanelView &panel, std::int64_t legs, bool hedged, DayRange days = {});

// Walks the back-test days of `days` in order and hands each one to `visit`: the single place
// legs are chosen, so every statistic built on top agrees with the back-test.
void walk_days(const PanelView &panel, std::int64_t legs, bool hedged, DayRange days,
               const std::function<void(const Day &)> &visit, bool full_order = false);
void walk_days(std::span<const double> panel, std::span<const double> prices, std::size_t n_dates,
               std::size_t n_stocks, std::int64_t legs, bool hedged,
               const std::function<void(const Day &)> &visit);

// The back-test's per-day outcome over a range of days, one entry per traded day.
struct LegReturns {
  std::vector<std::size_t> t;               // date positions
  std::vector<double> long_ret, short_ret;  // leg means (NaN kept; short leg even when long-only)
  std::vector<double> ret;                  // the return list's entries, before cleaning
  std::vector<std::size_t> eligible;        // eligible stocks of the day
};
LegReturns leg_returns(const PanelView &panel, std::int64_t legs, bool hedged, DayRange days = {});

std::vector<double> daily_returns(std::span<const double> panel, std::span<const double> prices,
                                  std::size_t n_dates, std::size_t n_stocks, std::int64_t legs,
                                  bool hedged, DayRange days = {});

// The cells of day t that a cross-sectional statistic uses: the eligible stocks whose return held
// from t+1 to t+1+horizon is not NaN, in universe order.
struct Cells {
  std::vector<double> factor, forward;
  std::vector<std::size_t> stock;
  void clear() { factor.clear(), forward.clear(), stock.clear(); }
};
void eligible_cells(const PanelView &panel, std::size_t t, std::size_t horizon, Cells &out);

// The return list as the back-test scores it: missing returns count as 0 and infinities as the
// largest finite magnitudes.
void clean_returns(std::span<double> returns);

// prod(1 + r) after each day of a cleaned return list.
std::vector<double> net_curve(std::span<const double> cleaned);

struct Summary {
  double net;      // last value of the net-value curve prod(1 + r)
  double sharpe;        // mean / population std * sqrt(256)
  double max_drawdown;  // largest (running peak - curve) / running peak
};

// Of the cleaned return list. No summary (the attempt yields nothing) when there is no back-test
// day.
std::optional<Summary> summarise(std::vector<double> returns);

}  // namespace factorsearch
