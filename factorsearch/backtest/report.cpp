#include "factorsearch/backtest/report.hpp"

#include "factorsearch/backtest/sharpe_inference.hpp"
#include "factorsearch/backtest/selection_checks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/stats.hpp"

namespace factorsearch {
namespace {

namespace stats = alphaloom::stats;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Which stocks each leg held the day before, to measure turnover.
class LegHoldings {
 public:
  explicit LegHoldings(std::size_t n_stocks) : held_(n_stocks, 0), next_(n_stocks, 0) {}

  // The share of `leg` not held the day before; `leg` becomes the holding.
  double replace(std::span<const Ranked> leg) {
    std::fill(next_.begin(), next_.end(), 0);
    std::size_t fresh = 0;
    for (const Ranked &r : leg) {
      next_[r.stock] = 1;
      if (!held_[r.stock]) ++fresh;
    }
    held_.swap(next_);
    return leg.empty() ? 0.0 : static_cast<double>(fresh) / static_cast<double>(leg.size());
  }

 private:
  std::vector<char> held_, next_;
};

// The back-test's days, legs and raw return list, with turnover and its cost per day.
std::vector<double> trace_legs(const PanelView &panel, const ReportSettings &s, DailyRows &d) {
  const double rate = s.cost_bps * 1e-4;
  LegHoldings long_leg(panel.n_stocks), short_leg(panel.n_stocks);
  std::vector<double> raw;
  walk_days(panel, s.legs, s.hedged, s.days, [&](const Day &day) {
    d.t.push_back(day.t);
    d.eligible.push_back(static_cast<double>(day.eligible));
    d.long_ret.push_back(day.long_ret);
    d.short_ret.push_back(s.hedged ? day.short_ret : kNaN);
    raw.push_back(day.ret);
    double turn = long_leg.replace(day.high);
    double legs_turn = turn;
    if (s.hedged) {
      const double other = short_leg.replace(day.low);
      legs_turn += other;
      turn = 0.5 * (turn + other);
    }
    d.turnover.push_back(turn);
    d.cost.push_back(rate * legs_turn);
  });
  return raw;
}

// The return list as the back-test cleans it and its curves, so they are the back-test's curves.
void net_values(const std::vector<double> &raw, DailyRows &d, ReportStats &st) {
  d.ret = raw;
  clean_returns(d.ret);
  d.ret_after_cost.resize(d.ret.size());
  for (std::size_t i = 0; i < d.ret.size(); ++i) d.ret_after_cost[i] = d.ret[i] - d.cost[i];
  d.net = net_curve(d.ret);
  d.net_after_cost = net_curve(d.ret_after_cost);
  st.backtest = *summarise(raw);
  st.after_cost = *summarise(d.ret_after_cost);
}

// Quantile sums over the days: position k of c ranked cells (the back-test's order) falls in
// quantile floor(k * q / c); each day adds the mean forward return of each non-empty quantile.
class QuantileReturns {
 public:
  explicit QuantileReturns(std::size_t q)
      : sum_of_means_(q), sum_of_relative_(q), sq_of_relative_(q), days_(q), day_sum_(q),
        day_n_(q) {}

  void add_day(const Cells &cells, std::vector<std::int64_t> &count) {
    const std::size_t q = days_.size(), c = cells.factor.size();
    order_.clear();
    for (std::size_t k = 0; k < c; ++k) order_.push_back({cells.factor[k], k});
    std::sort(order_.begin(), order_.end(), rank_before);
    std::fill(day_sum_.begin(), day_sum_.end(), 0.0);
    std::fill(day_n_.begin(), day_n_.end(), 0);
    for (std::size_t k = 0; k < c; ++k) {
      const std::size_t b = k * q / c;
      day_sum_[b] += cells.forward[order_[k].stock];
      ++day_n_[b];
    }
    double day_total = 0.0;
    for (std::size_t b = 0; b < q; ++b) day_total += day_sum_[b];
    const double day_mean = c ? day_total / static_cast<double>(c) : kNaN;
    for (std::size_t b = 0; b < q; ++b) {
      if (day_n_[b] == 0) continue;
      sum_of_means_[b] += day_sum_[b] / static_cast<double>(day_n_[b]);
      const double relative = day_sum_[b] / static_cast<double>(day_n_[b]) - day_mean;
      sum_of_relative_[b] += relative;
      sq_of_relative_[b] += relative * relative;
      ++days_[b];
      count[b] += static_cast<std::int64_t>(day_n_[b]);
    }
  }

  std::vector<double> relative_means() const {
    std::vector<double> out(days_.size());
    for (std::size_t b = 0; b < days_.size(); ++b)
      out[b] = days_[b] ? sum_of_relative_[b] / static_cast<double>(days_[b]) : kNaN;
    return out;
  }

  std::vector<double> relative_se() const {
    std::vector<double> out(days_.size(), kNaN);
    for (std::size_t b = 0; b < days_.size(); ++b) {
      if (days_[b] < 2) continue;
      const double k = static_cast<double>(days_[b]), mean = sum_of_relative_[b] / k;
      const double var = (sq_of_relative_[b] - k * mean * mean) / (k - 1);
      out[b] = std::sqrt(std::max(var, 0.0) / k);
    }
    return out;
  }

  std::vector<double> means() const {
    std::vector<double> out(days_.size());
    for (std::size_t b = 0; b < days_.size(); ++b)
      out[b] = days_[b] ? sum_of_means_[b] / static_cast<double>(days_[b]) : kNaN;
    return out;
  }

 private:
  std::vector<double> sum_of_means_, sum_of_relative_, sq_of_relative_;
  std::vector<std::size_t> days_;
  std::vector<double> day_sum_;
  std::vector<std::size_t> day_n_;
  std::vector<Ranked> order_;  // value = factor, stock = position among the day's cells
};

// Rank ICs of one day at growing horizons. The factor side's ranks only change when the set of
// cells does, so they are kept while it stays the same.
class RankIc {
 public:
  void new_day() { last_stock_.clear(); }

  double at(const Cells &cells) {
    double value = kNaN;
    const std::size_t n = cells.factor.size();
    if (n >= 2) {
      if (cells.stock != last_stock_) {
        factor_rank_.resize(n);
        stats::average_ranks(cells.factor, factor_rank_, order_);
      }
      forward_rank_.resize(n);
      stats::average_ranks(cells.forward, forward_rank_, order_);
      value = stats::pearson(factor_rank_, forward_rank_);
    }
    last_stock_ = cells.stock;
    return value;
  }

 private:
  std::vector<std::size_t> last_stock_, order_;
  std::vector<double> factor_rank_, forward_rank_;
};

// Per day: IC and rank IC of the next day's return, rank IC decay over longer holds, quantiles.
void cross_sections(const PanelView &panel, std::size_t quantiles, Report &rep) {
  DailyRows &d = rep.daily;
  const std::size_t n_days = d.t.size();
  d.ic.assign(n_days, kNaN);
  d.rank_ic.assign(n_days, kNaN);
  rep.quantile_count.assign(quantiles, 0);
  QuantileReturns by_quantile(quantiles);
  RankIc rank_ic;
  std::array<std::vector<double>, kDecayHorizons> decay_days;  // per horizon, in day order
  Cells cells;
  for (std::size_t i = 0; i < n_days; ++i) {
    const std::size_t t = d.t[i];
    rank_ic.new_day();
    for (std::size_t h = 1; h <= kDecayHorizons && t + 1 + h < panel.n_dates; ++h) {
      eligible_cells(panel, t, h, cells);
      const double ric = rank_ic.at(cells);
      if (h == 1) {
        d.ic[i] = stats::pearson(cells.factor, cells.forward);
        d.rank_ic[i] = ric;
        by_quantile.add_day(cells, rep.quantile_count);
      }
      if (!std::isnan(ric)) decay_days[h - 1].push_back(ric);
    }
  }
  rep.quantile_mean = by_quantile.means();
  rep.quantile_relative = by_quantile.relative_means();
  rep.quantile_relative_se = by_quantile.relative_se();
  for (std::size_t h = 0; h < kDecayHorizons; ++h) {
    const std::vector<double> &v = decay_days[h];
    rep.decay_days[h] = v.size();
    double sum = 0.0;
    for (double x : v) sum += x;
    rep.decay[h] = v.empty() ? kNaN : sum / static_cast<double>(v.size());
    rep.decay_se[h] = newey_west_se(v, h);  // horizon h + 1 overlaps its h neighbours
  }
}

void ic_statistics(const DailyRows &d, ReportStats &st) {
  const stats::Moments ic = stats::moments(d.ic), rank = stats::moments(d.rank_ic);
  st.ic_mean = ic.mean;
  st.ic_std = ic.sample_std;
  st.icir = ic.mean / ic.sample_std;
  st.rank_ic_mean = rank.mean;
  st.rank_ic_std = rank.sample_std;
  st.rank_icir = rank.mean / rank.sample_std;
  std::size_t positive = 0;
  for (double x : d.ic)
    if (x > 0) ++positive;
  st.ic_positive = ic.n ? static_cast<double>(positive) / static_cast<double>(ic.n) : kNaN;
  double turn = 0.0;
  for (double x : d.turnover) turn += x;
  st.turnover = turn / static_cast<double>(d.t.size());
  st.ic_t = ic.mean / (ic.sample_std / std::sqrt(static_cast<double>(ic.n)));
  st.rank_ic_t = rank.mean / (rank.sample_std / std::sqrt(static_cast<double>(rank.n)));
}

// The Sharpe's uncertainty on the cleaned return list (common/sharpe_inference.hpp) and the
// share of the days with cross-sectional dispersion (selection_checks.hpp).
void trust_statistics(const PanelView &panel, const DailyRows &d, ReportStats &st) {
  const alphaloom::SharpeMoments m = alphaloom::sharpe_moments(d.ret);
  st.sharpe_se = alphaloom::sharpe_standard_error(m) * std::sqrt(256.0);
  st.psr = alphaloom::probabilistic_sharpe(m, 0.0);
  // Day by day: the reported days need not be consecutive dates (a forecast's predicted days).
  std::size_t with = 0;
  for (std::size_t t : d.t)
    with += dispersion_share(panel.factor, panel.n_stocks, t, t + 1) > 0.0;
  st.dispersion_days = static_cast<double>(with) / static_cast<double>(d.t.size());
}

// Median eligible stocks per reported day and the share of the days the legs fill in full.
void breadth_statistics(const DailyRows &d, const ReportSettings &s, ReportStats &st) {
  std::vector<double> e(d.eligible);
  std::sort(e.begin(), e.end());
  const std::size_t n = e.size(), h = n / 2;
  st.coverage = n % 2 ? e[h] : 0.5 * (e[h - 1] + e[h]);
  std::size_t full = 0;
  for (double x : d.eligible) full += tradeable_day(static_cast<std::size_t>(x), s.legs, s.hedged);
  st.tradeable_days = static_cast<double>(full) / static_cast<double>(n);
}

}  // namespace

Report build_report(const PanelView &panel, const ReportSettings &s) {
  Report rep;
  const std::vector<double> raw = trace_legs(panel, s, rep.daily);
  rep.stats.days = rep.daily.t.size();
  if (rep.stats.days == 0) return rep;
  net_values(raw, rep.daily, rep.stats);
  cross_sections(panel, static_cast<std::size_t>(s.quantiles), rep);
  ic_statistics(rep.daily, rep.stats);
  trust_statistics(panel, rep.daily, rep.stats);
  breadth_statistics(rep.daily, s, rep.stats);
  return rep;
}

double newey_west_se(std::span<const double> x, std::size_t lags) {
  std::vector<double> e;
  for (double v : x)
    if (!std::isnan(v)) e.push_back(v);
  const std::size_t n = e.size();
  if (n < 2) return kNaN;
  double mean = 0.0;
  for (double v : e) mean += v;
  mean /= static_cast<double>(n);
  for (double &v : e) v -= mean;
  double s = 0.0;
  for (double v : e) s += v * v;
  for (std::size_t k = 1; k <= lags && k < n; ++k) {
    double gamma = 0.0;
    for (std::size_t i = k; i < n; ++i) gamma += e[i] * e[i - k];
    s += 2.0 * (1.0 - static_cast<double>(k) / static_cast<double>(lags + 1)) * gamma;
  }
  return std::sqrt(std::max(s, 0.0) / (static_cast<double>(n) * static_cast<double>(n - 1)));
}

}  // namespace factorsearch
