#include "factorsearch/report.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace factorsearch {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool eligible(double v) { return !std::isnan(v) && v != 0.0 && v != 1.0; }

// Average ranks, 1-based; equal values share the mean of their positions.
void average_ranks(std::span<const double> x, std::vector<std::size_t> &order,
                   std::vector<double> &ranks) {
  const std::size_t n = x.size();
  order.resize(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return x[a] < x[b]; });
  ranks.resize(n);
  for (std::size_t i = 0; i < n;) {
    std::size_t j = i + 1;
    while (j < n && x[order[j]] == x[order[i]]) ++j;
    const double r = 0.5 * static_cast<double>(i + j + 1);  // mean of i+1 .. j
    for (std::size_t k = i; k < j; ++k) ranks[order[k]] = r;
    i = j;
  }
}

// (mean, sample std, count) over the non-NaN values.
struct Moments {
  double mean = kNaN, std = kNaN;
  std::size_t n = 0;
};
Moments moments(const std::vector<double> &v) {
  Moments m;
  double sum = 0.0;
  for (double x : v)
    if (!std::isnan(x)) sum += x, ++m.n;
  if (m.n == 0) return m;
  m.mean = sum / static_cast<double>(m.n);
  if (m.n < 2) return m;
  double sq = 0.0;
  for (double x : v)
    if (!std::isnan(x)) sq += (x - m.mean) * (x - m.mean);
  m.std = std::sqrt(sq / static_cast<double>(m.n - 1));
  return m;
}

// The forward return of one stock held from date a to date b.
inline double held(const double *pa, const double *pb, std::size_t j) {
  return (pb[j] - pa[j]) / pa[j];
}

}  // namespace

double pearson(std::span<const double> x, std::span<const double> y) {
  const std::size_t n = x.size();
  if (n < 2) return kNaN;
  double mx = 0.0, my = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(x[i]) || !std::isfinite(y[i])) return kNaN;
    mx += x[i];
    my += y[i];
  }
  mx /= static_cast<double>(n);
  my /= static_cast<double>(n);
  double sx = 0.0, sy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    sx = std::max(sx, std::fabs(x[i] - mx));
    sy = std::max(sy, std::fabs(y[i] - my));
  }
  if (sx == 0.0 || sy == 0.0) return kNaN;
  double xx = 0.0, yy = 0.0, xy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double a = (x[i] - mx) / sx, b = (y[i] - my) / sy;
    xx += a * a;
    yy += b * b;
    xy += a * b;
  }
  const double fact = static_cast<double>(n - 1);
  const double dx = std::sqrt(xx / fact), dy = std::sqrt(yy / fact);
  if (dx == 0.0 || dy == 0.0) return kNaN;
  return std::clamp(xy / fact / dx / dy, -1.0, 1.0);
}

double spearman(std::span<const double> x, std::span<const double> y) {
  if (x.size() < 2) return kNaN;
  std::vector<std::size_t> order;
  std::vector<double> rx, ry;
  average_ranks(x, order, rx);
  average_ranks(y, order, ry);
  return pearson(rx, ry);
}

Report build_report(std::span<const double> panel, std::span<const double> prices,
                    std::size_t n_dates, std::size_t n_stocks, const ReportSettings &s) {
  Report rep;
  DailyRows &d = rep.daily;
  const std::size_t m = n_stocks;
  const auto q = static_cast<std::size_t>(s.quantiles);
  const double rate = s.cost_bps * 1e-4;
  std::vector<char> in_long(m, 0), in_short(m, 0), next(m, 0);

  // Share of `leg` not held the day before; `held_before` becomes today's leg.
  auto replaced = [&](std::span<const Ranked> leg, std::vector<char> &held_before) {
    std::fill(next.begin(), next.end(), 0);
    std::size_t fresh = 0;
    for (const Ranked &r : leg) {
      next[r.stock] = 1;
      if (!held_before[r.stock]) ++fresh;
    }
    held_before.swap(next);
    return leg.empty() ? 0.0 : static_cast<double>(fresh) / static_cast<double>(leg.size());
  };

  std::vector<double> raw;
  walk_days(panel, prices, n_dates, m, s.l, s.hedged, [&](const Day &day) {
    d.t.push_back(day.t);
    d.long_ret.push_back(day.long_ret);
    d.short_ret.push_back(s.hedged ? day.short_ret : kNaN);
    raw.push_back(day.ret);
    double turn = replaced(day.high, in_long);
    double legs_turn = turn;
    if (s.hedged) {
      const double other = replaced(day.low, in_short);
      legs_turn += other;
      turn = 0.5 * (turn + other);
    }
    d.turnover.push_back(turn);
    d.cost.push_back(rate * legs_turn);
  });
  const std::size_t n_days = d.t.size();
  rep.stats.days = n_days;
  if (n_days == 0) return rep;

  // The return list as the back-test cleans it, so the curves below are its curve.
  constexpr double big = std::numeric_limits<double>::max();
  d.ret = raw;
  for (double &x : d.ret)
    if (std::isnan(x))
      x = 0.0;
    else if (std::isinf(x))
      x = x > 0 ? big : -big;
  d.net.resize(n_days);
  d.ret_after_cost.resize(n_days);
  d.net_after_cost.resize(n_days);
  double curve = 1.0, curve_ac = 1.0;
  for (std::size_t i = 0; i < n_days; ++i) {
    d.ret_after_cost[i] = d.ret[i] - d.cost[i];
    curve *= 1.0 + d.ret[i];
    curve_ac *= 1.0 + d.ret_after_cost[i];
    d.net[i] = curve;
    d.net_after_cost[i] = curve_ac;
  }
  rep.stats.backtest = *summarise(raw);
  rep.stats.after_cost = *summarise(d.ret_after_cost);

  // Per day: the eligible stocks with a forward return, for IC, quantiles and decay.
  d.ic.assign(n_days, kNaN);
  d.rank_ic.assign(n_days, kNaN);
  rep.quantile_mean.assign(q, 0.0);
  rep.quantile_count.assign(q, 0);
  std::vector<double> q_sum_of_means(q, 0.0), q_day_sum(q, 0.0);
  std::vector<std::size_t> q_days(q, 0), q_day_n(q, 0);
  std::array<double, kDecayHorizons> decay_sum{};
  std::vector<double> fx, fy, rx, ry;
  std::vector<std::size_t> order, members, last_members;
  std::vector<Ranked> pairs;
  fx.reserve(m);
  fy.reserve(m);
  for (std::size_t i = 0; i < n_days; ++i) {
    const std::size_t t = d.t[i];
    const double *row = panel.data() + t * m;
    const double *p1 = prices.data() + (t + 1) * m;
    last_members.clear();
    for (std::size_t h = 1; h <= kDecayHorizons && t + 1 + h < n_dates; ++h) {
      const double *ph = prices.data() + (t + 1 + h) * m;
      fx.clear();
      fy.clear();
      members.clear();
      if (h == 1) pairs.clear();
      for (std::size_t j = 0; j < m; ++j) {
        if (!eligible(row[j])) continue;
        const double r = held(p1, ph, j);
        if (std::isnan(r)) continue;
        fx.push_back(row[j]);
        fy.push_back(r);
        members.push_back(j);
        if (h == 1) pairs.push_back({r, j});
      }
      // The factor side's ranks only change when the set of pairs does.
      double rank_ic = kNaN;
      if (fx.size() >= 2) {
        if (members != last_members) average_ranks(fx, order, rx);
        average_ranks(fy, order, ry);
        rank_ic = pearson(rx, ry);
      }
      members.swap(last_members);
      if (h == 1) {
        d.ic[i] = pearson(fx, fy);
        d.rank_ic[i] = rank_ic;
      }
      if (!std::isnan(rank_ic)) {
        decay_sum[h - 1] += rank_ic;
        ++rep.decay_days[h - 1];
      }
    }
    // Quantiles by factor rank (equal values in universe order, as the legs): position k of c
    // falls in quantile floor(k * q / c).
    std::sort(pairs.begin(), pairs.end(), [&](const Ranked &a, const Ranked &b) {
      const double va = row[a.stock], vb = row[b.stock];
      return va < vb || (va == vb && a.stock < b.stock);
    });
    const std::size_t c = pairs.size();
    std::fill(q_day_sum.begin(), q_day_sum.end(), 0.0);
    std::fill(q_day_n.begin(), q_day_n.end(), 0);
    for (std::size_t k = 0; k < c; ++k) {
      const std::size_t b = k * q / c;
      q_day_sum[b] += pairs[k].value;
      ++q_day_n[b];
    }
    for (std::size_t b = 0; b < q; ++b) {
      if (q_day_n[b] == 0) continue;
      q_sum_of_means[b] += q_day_sum[b] / static_cast<double>(q_day_n[b]);
      ++q_days[b];
      rep.quantile_count[b] += static_cast<std::int64_t>(q_day_n[b]);
    }
  }
  for (std::size_t b = 0; b < q; ++b)
    rep.quantile_mean[b] = q_days[b] ? q_sum_of_means[b] / static_cast<double>(q_days[b]) : kNaN;
  for (std::size_t h = 0; h < kDecayHorizons; ++h)
    rep.decay[h] = rep.decay_days[h] ? decay_sum[h] / static_cast<double>(rep.decay_days[h]) : kNaN;

  ReportStats &st = rep.stats;
  const Moments ic = moments(d.ic), rank = moments(d.rank_ic);
  st.ic_mean = ic.mean;
  st.ic_std = ic.std;
  st.icir = ic.mean / ic.std;
  st.rank_ic_mean = rank.mean;
  st.rank_ic_std = rank.std;
  st.rank_icir = rank.mean / rank.std;
  std::size_t positive = 0;
  for (double x : d.ic)
    if (x > 0) ++positive;
  st.ic_positive = ic.n ? static_cast<double>(positive) / static_cast<double>(ic.n) : kNaN;
  double turn = 0.0;
  for (double x : d.turnover) turn += x;
  st.turnover = turn / static_cast<double>(n_days);
  return rep;
}

}  // namespace factorsearch
