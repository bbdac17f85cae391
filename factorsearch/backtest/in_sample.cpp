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

namespace {

// Each day's stocks with a forward return and its ties along the order; the forward ranks over
// all those stocks centred and scaled by the very steps stats::pearson takes on them (in
// universe order), with the sum of the squares.
void scale_forward_ranks(ForwardOrder &fo, TradedDays days) {
  const std::size_t m = fo.n_stocks;
  fo.known.assign(fo.forward.size(), 0);
  fo.group_starts.resize(fo.order.size());
  fo.scaled.assign(fo.forward.size(), stats::kNaN);
  fo.scaled_squares.assign(fo.order.size(), stats::kNaN);
  std::vector<double> rank(m), known;
  for (std::size_t t = days.first; t < days.end; ++t) {
    const std::vector<std::uint32_t> &order = fo.order[t];
    const double *fwd = fo.forward.data() + t * m;
    for (std::size_t j = 0; j < m; ++j) fo.known[t * m + j] = !std::isnan(fwd[j]);
    std::vector<std::uint8_t> &starts = fo.group_starts[t];
    starts.resize(order.size());
    for (std::size_t q = 0; q < order.size(); ++q)
      starts[q] = q == 0 || fwd[order[q]] != fwd[order[q - 1]];
    for (std::size_t i = 0; i < order.size();) {
      std::size_t j = i + 1;
      while (j < order.size() && fwd[order[j]] == fwd[order[i]]) ++j;
      const double r = 0.5 * static_cast<double>(i + 1 + j);
      for (std::size_t q = i; q < j; ++q) rank[order[q]] = r;
      i = j;
    }
    known.clear();
    for (std::size_t j = 0; j < m; ++j)
      if (!std::isnan(fwd[j])) known.push_back(rank[j]);
    const std::size_t n = known.size();
    if (n < 2) continue;
    double mean = 0.0, scale = 0.0;
    for (double b : known) mean += b;
    mean /= static_cast<double>(n);
    for (double b : known) scale = std::max(scale, std::fabs(b - mean));
    if (scale == 0.0) continue;
    double squares = 0.0;
    double *y = fo.scaled.data() + t * m;
    for (std::size_t j = 0; j < m; ++j) {
      if (std::isnan(fwd[j])) continue;
      y[j] = (rank[j] - mean) / scale;
      squares += y[j] * y[j];
    }
    fo.scaled_squares[t] = squares;
  }
}

}  // namespace

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
  scale_forward_ranks(fo, days);
  return fo;
}

namespace {

struct InOrderScratch {
  std::vector<double> factor_rank, forward_rank;  // by stock, read only at the day's cells
  std::vector<std::uint32_t> stamp;  // by stock: the call that made it a cell
  std::uint32_t call = 0;
};

// The day's rank IC on its cells (eligible factor value, known forward return) with no sort,
// the same bits as stats::spearman on them: the factor side comes sorted from the back-test, the
// forward side from `known`, both are ranked over the cells only and their products added in
// universe order. A day whose cells are all its stocks with a forward return (the common case)
// reads the forward side ready scaled.
double rank_ic_in_order(const Day &day, const ForwardOrder &known, InOrderScratch &s) {
  const std::size_t m = known.n_stocks, t = day.t;
  const std::uint8_t *has = known.known.data() + t * m;
  const std::vector<std::uint32_t> &forward_order = known.order[t];
  const bool all_known = forward_order.size() == m;
  s.factor_rank.resize(m);
  if (s.stamp.size() != m || ++s.call == 0) {
    s.stamp.assign(m, 0);
    s.call = 1;
  }
  const std::uint32_t call = s.call;
  double *rank = s.factor_rank.data();
  std::uint32_t *stamp = s.stamp.data();

  const std::span<const Ranked> order = day.ranked;
  std::size_t c = 0;
  double lowest = 0.0, highest = 0.0;
  for (std::size_t i = 0; i < order.size();) {
    std::size_t j = i, kept = 0;
    for (; j < order.size() && order[j].value == order[i].value; ++j)
      kept += all_known || has[order[j].stock];
    if (kept) {
      const double r = 0.5 * static_cast<double>(2 * c + 1 + kept);  // ranks c+1 .. c+kept
      for (std::size_t q = i; q < j; ++q) {
        const std::size_t stock = order[q].stock;
        if (!all_known && !has[stock]) continue;
        rank[stock] = r;
        stamp[stock] = call;
      }
      if (c == 0) lowest = r;
      highest = r;
      c += kept;
    }
    i = j;
  }
  if (c < 2) return stats::kNaN;
  const stats::RankSpread a = stats::rank_spread(c, lowest, highest);
  if (a.scale == 0.0) return stats::kNaN;

  if (c == forward_order.size()) {  // every stock with a forward return is a cell
    const double squares = known.scaled_squares[t];
    if (std::isnan(squares)) return stats::kNaN;
    const double *y = known.scaled.data() + t * m;
    double aa = 0.0, ab = 0.0;
    for (std::size_t j = 0; j < m; ++j) {
      if (!all_known && !has[j]) continue;
      const double x = (rank[j] - a.mean) / a.scale;
      aa += x * x;
      ab += x * y[j];
    }
    return stats::pearson_from_sums(aa, squares, ab, c);
  }

  // The forward side ranked over the cells only.
  s.forward_rank.resize(m);
  double *forward_rank = s.forward_rank.data();
  const std::uint8_t *starts = known.group_starts[t].data();
  std::size_t placed = 0;
  for (std::size_t i = 0; i < forward_order.size();) {
    std::size_t j = i + 1, kept = stamp[forward_order[i]] == call;
    for (; j < forward_order.size() && !starts[j]; ++j) kept += stamp[forward_order[j]] == call;
    if (kept) {
      const double r = 0.5 * static_cast<double>(2 * placed + 1 + kept);
      for (std::size_t q = i; q < j; ++q)
        if (stamp[forward_order[q]] == call) forward_rank[forward_order[q]] = r;
      if (placed == 0) lowest = r;
      highest = r;
      placed += kept;
    }
    i = j;
  }
  const stats::RankSpread b = stats::rank_spread(c, lowest, highest);
  if (b.scale == 0.0) return stats::kNaN;
  double aa = 0.0, bb = 0.0, ab = 0.0;
  for (std::size_t j = 0; j < m; ++j) {
    if (stamp[j] != call) continue;
    const double x = (rank[j] - a.mean) / a.scale, y = (forward_rank[j] - b.mean) / b.scale;
    aa += x * x;
    bb += y * y;
    ab += x * y;
  }
  return stats::pearson_from_sums(aa, bb, ab, c);
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
