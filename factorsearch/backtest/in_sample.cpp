#include "factorsearch/backtest/in_sample.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "factorsearch/backtest/sharpe_inference.hpp"
#include "common/stats.hpp"
#include "factorsearch/backtest/day_threads.hpp"
#include "factorsearch/backtest/selection_checks.hpp"

namespace factorsearch {

namespace stats = alphaloom::stats;

ForwardOrder forward_order(std::span<const double> prices, std::size_t n_dates,
                           std::size_t n_stocks) {
  ForwardOrder fo;
  fo.n_stocks = n_stocks;
  fo.forward.assign(n_dates * n_stocks, stats::kNaN);
  fo.order.resize(n_dates);
  // Every day with t+2 in the data: the back-test's first day is the caller's warm-up.
  const TradedDays days = traded_days(n_dates, DayRange{0});
  std::vector<KeyedPosition> items, spare;
  for (std::size_t t = days.first; t < days.end; ++t) {
    const double *buy = prices.data() + (t + 1) * n_stocks;
    const double *sell = prices.data() + (t + 2) * n_stocks;
    double *row = fo.forward.data() + t * n_stocks;
    items.clear();
    for (std::size_t j = 0; j < n_stocks; ++j) {
      row[j] = held_return(buy, sell, j);
      if (!std::isnan(row[j])) items.push_back({order_key(row[j]), static_cast<std::uint32_t>(j)});
    }
    radix_sort(items, spare);
    std::vector<std::uint32_t> &order = fo.order[t];
    order.reserve(items.size());
    for (const KeyedPosition &x : items) order.push_back(x.position);
  }
  return fo;
}

namespace {

struct InOrderScratch {
  std::vector<double> value, factor_rank, forward_rank, a, b;
  std::vector<std::uint32_t> by_factor;
};

// Average ranks (1-based, ties sharing their mean) over the stocks of `order` that `keep`,
// written by stock into `rank`; `order` is ascending in `value`, so equal values are adjacent.
template <typename ValueOf, typename Keep>
void ranks_in_order(std::span<const std::uint32_t> order, ValueOf value, Keep keep,
                    std::vector<double> &rank) {
  std::size_t placed = 0;
  for (std::size_t i = 0; i < order.size();) {
    std::size_t j = i, kept = 0;
    for (; j < order.size() && value(order[j]) == value(order[i]); ++j) kept += keep(order[j]);
    const double r = 0.5 * static_cast<double>(2 * placed + 1 + kept);  // ranks placed+1 .. +kept
    for (std::size_t q = i; q < j; ++q)
      if (keep(order[q])) rank[order[q]] = r;
    placed += kept;
    i = j;
  }
}

// The day's rank IC on its cells (eligible factor value, known forward return) with no sort: the
// factor side comes sorted from the back-test, the forward side from `known`. Both are ranked
// over the cells only and correlated in universe order: spearman's value on the cells.
double rank_ic_in_order(const Day &day, const ForwardOrder &known, InOrderScratch &s) {
  const std::size_t m = known.n_stocks;
  const double *fwd = known.forward.data() + day.t * m;
  s.by_factor.clear();
  s.value.resize(m);  // read only at the stocks of day.ranked, all written below
  for (const Ranked &r : day.ranked) {
    s.by_factor.push_back(static_cast<std::uint32_t>(r.stock));
    s.value[r.stock] = r.value;
  }
  s.factor_rank.assign(m, stats::kNaN);
  s.forward_rank.assign(m, stats::kNaN);
  const double *factor = s.value.data();
  ranks_in_order(
      s.by_factor, [factor](std::uint32_t j) { return factor[j]; },
      [fwd](std::uint32_t j) { return !std::isnan(fwd[j]); }, s.factor_rank);
  const std::vector<double> &cell = s.factor_rank;  // set exactly on the cells
  ranks_in_order(
      known.order[day.t], [fwd](std::uint32_t j) { return fwd[j]; },
      [&cell](std::uint32_t j) { return !std::isnan(cell[j]); }, s.forward_rank);
  s.a.clear();
  s.b.clear();
  for (std::size_t j = 0; j < m; ++j)
    if (!std::isnan(cell[j])) {
      s.a.push_back(cell[j]);
      s.b.push_back(s.forward_rank[j]);
    }
  return stats::pearson(s.a, s.b);
}

}  // namespace

InSample score_in_sample(std::span<const double> panel, std::span<const double> prices,
                         std::size_t n_dates, std::size_t n_stocks, std::int64_t legs, bool hedged,
                         Measure measure, const ForwardOrder *known, std::size_t first_day,
                         bool breadth, const std::function<void(const Day &)> &each_day,
                         Threads threads) {
  InSample out;
  // A factor without dispersion is refused before its back-test: nothing else of it is read.
  const TradedDays range = traded_days(n_dates, DayRange{first_day});
  out.dispersion = dispersion_share(panel, n_stocks, range.first, range.end);
  if (!disperse_enough(out.dispersion)) return out;

  const PanelView view{panel, prices, n_dates, n_stocks};
  const std::vector<std::size_t> days = day_list(n_dates, DayRange{first_day});
  std::vector<double> returns(days.size()), ic(days.size(), stats::kNaN);
  std::vector<std::size_t> eligible(days.size());
  std::vector<std::uint8_t> traded(days.size()), counts(days.size());
  // With the forward order known, the rank IC reads the back-test's sorted day: one sort a day.
  const bool in_order = measure == Measure::RankIC && known != nullptr;
  struct Scratch {
    DayScratch day;
    Cells cells;
    stats::RankScratch rank;
    InOrderScratch in_order;
  };
  // A caller's per-day visitor sees the days in date order, on this thread.
  const int k = each_day ? 1 : day_threads(days.size(), 40 * n_stocks, threads);
  std::vector<Scratch> scratch(static_cast<std::size_t>(k));
  for_days(days.size(), k, [&](std::size_t i, int thread) {
    Scratch &s = scratch[static_cast<std::size_t>(thread)];
    const Day day = trade_day(view, days[i], legs, hedged, in_order || each_day, s.day);
    returns[i] = day.ret;
    eligible[i] = day.eligible;
    traded[i] = traded_day(day);
    if (each_day) each_day(day);
    // A day the legs cannot fill says nothing a leg of l stocks could earn.
    counts[i] = !breadth || tradeable_day(day.eligible, legs, hedged);
    if (!counts[i] || measure == Measure::None) return;
    if (in_order) {
      ic[i] = rank_ic_in_order(day, *known, s.in_order);
      return;
    }
    eligible_cells(view, day.t, 1, s.cells);
    ic[i] = measure == Measure::IC ? stats::pearson(s.cells.factor, s.cells.forward)
                                   : stats::spearman(s.cells.factor, s.cells.forward, s.rank);
  });
  std::size_t ic_days = 0;
  double ic_sum = 0.0;
  for (double x : ic) {  // in date order, as one thread adds them
    if (std::isnan(x)) continue;
    ic_sum += x;
    ++ic_days;
  }
  BreadthTally tally(legs, hedged);
  std::vector<double> counted;
  for (std::size_t i = 0; i < days.size(); ++i) {
    tally.add(eligible[i], traded[i] != 0);
    if (counts[i]) counted.push_back(returns[i]);
  }
  out.days = returns.size();
  out.breadth = tally.result();
  const auto summary = summarise(returns);
  if (!summary) return out;
  if (breadth && !broad_enough(out.breadth, legs, hedged)) return out;
  out.row = *summary;
  out.fitness_sharpe = breadth ? summarise(counted)->sharpe : summary->sharpe;
  out.ok = true;
  out.ic = ic_days ? ic_sum / static_cast<double>(ic_days) : stats::kNaN;

  clean_returns(returns);
  const alphaloom::SharpeMoments mo = alphaloom::sharpe_moments(returns);
  out.sr = mo.sr;
  out.skew = mo.skew;
  out.kurt = mo.kurt;
  return out;
}

}  // namespace factorsearch
