#include "factorsearch/backtest/backtest.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "common/stats.hpp"
#include "factorsearch/kernels/day_order.hpp"

namespace factorsearch {
namespace {

// Summed in ascending rank order for both legs, so two legs holding the same stocks give the
// same value bit for bit and a hedged day on them returns exactly 0.
double leg_return(const Ranked *first, std::size_t count, const double *buy, const double *sell) {
  double sum = 0.0;
  for (std::size_t i = 0; i < count; ++i) sum += held_return(buy, sell, first[i].stock);
  return sum / static_cast<double>(count);
}

// np.maximum / np.max semantics: a NaN wins.
inline double nan_max(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::numeric_limits<double>::quiet_NaN();
  return a < b ? b : a;
}

// rank_before as a function object, so the sorts below inline it.
constexpr auto ranked_less = [](const Ranked &a, const Ranked &b) { return rank_before(a, b); };

// Only the k lowest and k highest of the eligible stocks matter: select them, then order each leg.
void order_legs(Ranked *b, Ranked *e, std::size_t k) {
  if (2 * k >= static_cast<std::size_t>(e - b)) {
    std::sort(b, e, ranked_less);
    return;
  }
  std::nth_element(b, e - k, e, ranked_less);
  std::nth_element(b, b + k, e - k, ranked_less);
  std::sort(b, b + k, ranked_less);
  std::sort(e - k, e, ranked_less);
}

}  // namespace

TradedDays traded_days(std::size_t n_dates, DayRange wanted) {
  // The 150-day warm-up is where the default range starts, not a floor: a report over the
  // caller's own dates (start=) trades from its first date.
  if (n_dates < 3) return {0, 0};
  const std::size_t first = wanted.first;
  const std::size_t last = std::min(wanted.last, n_dates - 3);
  return first <= last ? TradedDays{first, last + 1} : TradedDays{0, 0};
}

std::size_t count_traded_days(std::size_t n_dates, DayRange wanted) {
  const TradedDays range = traded_days(n_dates, wanted);
  if (wanted.only.empty()) return range.size();
  std::size_t count = 0;
  for (std::size_t t = range.first; t < range.end; ++t) count += wanted.keeps(t);
  return count;
}

void order_eligible(const double *row, std::size_t n_stocks, std::vector<KeyedPosition> &items,
                    std::vector<KeyedPosition> &spare) {
  items.clear();
  for (std::size_t j = 0; j < n_stocks; ++j)
    if (is_eligible(row[j])) items.push_back({order_key(row[j]), static_cast<std::uint32_t>(j)});
  radix_sort(items, spare);
}

void rank_day(const double *row, std::size_t n_stocks, DayScratch &s) {
  order_eligible(row, n_stocks, s.items, s.spare);
  s.ranked.resize(s.items.size());
  for (std::size_t i = 0; i < s.items.size(); ++i) {
    const std::uint32_t j = s.items[i].position;
    s.ranked[i] = {row[j], j};
  }
}

Day trade_day(const PanelView &panel, std::size_t t, std::int64_t legs, bool hedged,
              bool full_order, DayScratch &s) {
  const double half = static_cast<double>(legs) / 2.0;
  std::vector<Ranked> &ranked = s.ranked;
  const double *row = panel.factor_row(t);
  if (full_order) {
    // The radix order is rank_before's (ascending value, ties in universe order), so each leg
    // is in the order order_legs leaves it (ascending) and its sum is the same bit for bit.
    rank_day(row, panel.n_stocks, s);
  } else {
    ranked.clear();
    for (std::size_t j = 0; j < panel.n_stocks; ++j)
      if (is_eligible(row[j])) ranked.push_back({row[j], j});
  }
  Ranked *b = ranked.data();
  Ranked *e = b + ranked.size();
  const std::span<const Ranked> all =
      full_order ? std::span<const Ranked>(ranked) : std::span<const Ranked>();
  const std::size_t k = std::min<std::size_t>(static_cast<std::size_t>(legs), ranked.size());
  if (static_cast<double>(k) < half)  // both legs hold k stocks, so both return 0
    return Day{t, {}, {}, 0.0, 0.0, 0.0, all, ranked.size()};
  if (!full_order) order_legs(b, e, k);
  const double *buy = panel.price_row(t + 1);
  const double *sell = panel.price_row(t + 2);
  const double long_ret = leg_return(e - k, k, buy, sell);
  const double short_ret = leg_return(b, k, buy, sell);
  return Day{t, {b, k}, {e - k, k}, long_ret, short_ret, hedged ? long_ret - short_ret : long_ret,
             all, ranked.size()};
}

std::vector<std::size_t> day_list(std::size_t n_dates, DayRange days) {
  const TradedDays range = traded_days(n_dates, days);
  std::vector<std::size_t> list;
  list.reserve(range.size());
  for (std::size_t t = range.first; t < range.end; ++t)
    if (days.keeps(t)) list.push_back(t);
  return list;
}

void walk_days(const PanelView &panel, std::int64_t legs, bool hedged, DayRange days,
               const std::function<void(const Day &)> &visit, bool full_order) {
  const TradedDays range = traded_days(panel.n_dates, days);
  DayScratch scratch;
  scratch.ranked.reserve(panel.n_stocks);
  for (std::size_t t = range.first; t < range.end; ++t)
    if (days.keeps(t)) visit(trade_day(panel, t, legs, hedged, full_order, scratch));
}

void walk_days(std::span<const double> panel, std::span<const double> prices, std::size_t n_dates,
               std::size_t n_stocks, std::int64_t legs, bool hedged,
               const std::function<void(const Day &)> &visit) {
  walk_days(PanelView{panel, prices, n_dates, n_stocks}, legs, hedged, DayRange{}, visit);
}

LegReturns leg_returns(const PanelView &panel, std::int64_t legs, bool hedged, DayRange days) {
  LegReturns out;
  const std::size_t n = traded_days(panel.n_dates, days).size();
  out.t.reserve(n);
  out.long_ret.reserve(n);
  out.short_ret.reserve(n);
  out.ret.reserve(n);
  out.eligible.reserve(n);
  walk_days(panel, legs, hedged, days, [&](const Day &day) {
    out.t.push_back(day.t);
    out.long_ret.push_back(day.long_ret);
    out.short_ret.push_back(day.short_ret);
    out.ret.push_back(day.ret);
    out.eligible.push_back(day.eligible);
  });
  return out;
}

bool BreadthTally::add(const Day &day) { return add(day.eligible, traded_day(day)); }

bool BreadthTally::add(std::size_t eligible, bool traded) {
  eligible_.push_back(eligible);
  const bool full = tradeable_day(eligible, legs_, hedged_);
  tradeable_ += full;
  traded_ += traded;
  return full;
}

Breadth BreadthTally::result() const {
  Breadth b;
  b.days = eligible_.size();
  b.tradeable = tradeable_;
  b.traded = traded_;
  if (b.days == 0) return b;
  std::vector<std::size_t> sorted(eligible_);
  const std::size_t h = b.days / 2;
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(h), sorted.end());
  double median = static_cast<double>(sorted[h]);
  if (b.days % 2 == 0)
    median = 0.5 * (median + static_cast<double>(*std::max_element(
                                 sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(h))));
  b.coverage = median;
  b.tradeable_days = static_cast<double>(tradeable_) / static_cast<double>(b.days);
  return b;
}

Breadth breadth_of(const PanelView &panel, std::int64_t legs, bool hedged, DayRange days) {
  BreadthTally tally(legs, hedged);
  walk_days(panel, legs, hedged, days, [&](const Day &day) { tally.add(day); });
  return tally.result();
}

std::vector<double> daily_returns(std::span<const double> panel, std::span<const double> prices,
                                  std::size_t n_dates, std::size_t n_stocks, std::int64_t legs,
                                  bool hedged, DayRange days) {
  std::vector<double> pft;
  pft.reserve(traded_days(n_dates, days).size());
  walk_days(PanelView{panel, prices, n_dates, n_stocks}, legs, hedged, days,
            [&](const Day &day) { pft.push_back(day.ret); });
  return pft;
}

void eligible_cells(const PanelView &panel, std::size_t t, std::size_t horizon, Cells &out) {
  out.clear();
  const double *row = panel.factor_row(t);
  const double *buy = panel.price_row(t + 1);
  const double *sell = panel.price_row(t + 1 + horizon);
  for (std::size_t j = 0; j < panel.n_stocks; ++j) {
    if (!is_eligible(row[j])) continue;
    const double r = held_return(buy, sell, j);
    if (std::isnan(r)) continue;
    out.factor.push_back(row[j]);
    out.forward.push_back(r);
    out.stock.push_back(j);
  }
}

void clean_returns(std::span<double> returns) {
  constexpr double big = std::numeric_limits<double>::max();
  for (double &x : returns)
    if (std::isnan(x))
      x = 0.0;
    else if (std::isinf(x))
      x = x > 0 ? big : -big;
}

std::vector<double> net_curve(std::span<const double> cleaned) {
  std::vector<double> curve(cleaned.size());
  double value = 1.0;
  for (std::size_t i = 0; i < cleaned.size(); ++i) curve[i] = value *= 1.0 + cleaned[i];
  return curve;
}

std::optional<Summary> summarise(std::vector<double> returns) {
  if (returns.empty()) return std::nullopt;
  clean_returns(returns);
  const alphaloom::stats::Moments m = alphaloom::stats::moments(returns);
  Summary s{};
  s.sharpe = m.mean / m.population_std * std::sqrt(256.0);
  const std::vector<double> curve = net_curve(returns);
  double peak = 0.0;
  double worst = 0.0;
  for (std::size_t i = 0; i < curve.size(); ++i) {
    peak = i == 0 ? curve[i] : nan_max(peak, curve[i]);
    const double down = (peak - curve[i]) / peak;
    worst = i == 0 ? down : nan_max(worst, down);
  }
  s.net = curve.back();
  s.max_drawdown = worst;
  return s;
}

}  // namespace factorsearch
