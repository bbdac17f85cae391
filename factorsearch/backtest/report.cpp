#include "factorsearch/backtest/report.hpp"

#include "factorsearch/backtest/sharpe_inference.hpp"
#include "factorsearch/backtest/selection_checks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/stats.hpp"
#include "factorsearch/backtest/day_threads.hpp"

namespace factorsearch {
namespace {

namespace stats = alphaloom::stats;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

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

// One back-test day's figures, computed on any thread and added up in date order afterwards.
struct DayFigures {
  double long_ret, short_ret, ret, ic, rank_ic, quantile_day_mean = kNaN;
  std::size_t eligible = 0;  // eligible stocks of the day
  std::array<double, kDecayHorizons> decay;  // NaN where undefined or beyond the data
  std::vector<std::uint32_t> low, high;      // the legs' stocks, for turnover
};

// One thread's buffers.
struct CrossScratch {
  DayScratch day;
  std::vector<KeyedPosition> items, spare;
  std::vector<double> forward, factor_rank, forward_rank, cell_factor, cell_forward, a, b;
  std::vector<std::uint32_t> cells;
};

// Average ranks (1-based, ties sharing their mean) of the cells among the stocks of `ranked`
// (the day's full order), written by stock into `rank`: the ranks of the factor over the cells
// with no sort of their own.
void factor_ranks(std::span<const Ranked> ranked, const double *forward, std::vector<double> &rank) {
  std::size_t placed = 0;
  for (std::size_t i = 0; i < ranked.size();) {
    std::size_t j = i, kept = 0;
    for (; j < ranked.size() && ranked[j].value == ranked[i].value; ++j)
      kept += !std::isnan(forward[ranked[j].stock]);
    const double r = 0.5 * static_cast<double>(2 * placed + 1 + kept);  // mean of placed+1 .. +kept
    for (std::size_t q = i; q < j; ++q)
      if (!std::isnan(forward[ranked[q].stock])) rank[ranked[q].stock] = r;
    placed += kept;
    i = j;
  }
}

// Average ranks of the cells' forward returns, written by stock into `rank`.
void forward_ranks(const std::vector<std::uint32_t> &cells, const double *forward,
                   CrossScratch &s, std::vector<double> &rank) {
  s.items.clear();
  for (std::uint32_t j : cells) s.items.push_back({order_key(forward[j]), j});
  radix_sort(s.items, s.spare);
  const std::size_t n = s.items.size();
  for (std::size_t i = 0; i < n;) {
    std::size_t j = i + 1;
    while (j < n && s.items[j].key == s.items[i].key) ++j;
    const double r = 0.5 * static_cast<double>(i + 1 + j);  // mean of the ranks i+1 .. j
    for (std::size_t k = i; k < j; ++k) rank[s.items[k].position] = r;
    i = j;
  }
}

// Day t's cross-section: IC and rank IC of the next day's return, the rank IC decay over longer
// holds, the quantile sums. The factor is ordered once (`ranked`); each horizon orders only its
// forward returns. The statistics are those of the day's cells (eligible factor value, known
// forward return) in universe order, as eligible_cells gives them.
void cross_section(const PanelView &panel, std::size_t t, std::span<const Ranked> ranked,
                   std::size_t quantiles, CrossScratch &s, DayFigures &out, double *quantile_sum,
                   std::size_t *quantile_n) {
  const std::size_t m = panel.n_stocks;
  const double *row = panel.factor_row(t);
  const double *buy = panel.price_row(t + 1);
  s.forward.resize(m);
  s.factor_rank.resize(m);
  s.forward_rank.resize(m);
  out.decay.fill(kNaN);
  out.ic = out.rank_ic = kNaN;
  for (std::size_t h = 1; h <= kDecayHorizons && t + 1 + h < panel.n_dates; ++h) {
    const double *sell = panel.price_row(t + 1 + h);
    double *fwd = s.forward.data();
    s.cells.clear();
    for (std::size_t j = 0; j < m; ++j) {
      fwd[j] = kNaN;
      if (!is_eligible(row[j])) continue;
      fwd[j] = held_return(buy, sell, j);
      if (!std::isnan(fwd[j])) s.cells.push_back(static_cast<std::uint32_t>(j));
    }
    const std::size_t c = s.cells.size();
    if (h == 1) {
      s.cell_factor.clear();
      s.cell_forward.clear();
      for (std::uint32_t j : s.cells) {
        s.cell_factor.push_back(row[j]);
        s.cell_forward.push_back(fwd[j]);
      }
      out.ic = stats::pearson(s.cell_factor, s.cell_forward);
      // Position k of the c cells in the factor's order falls in quantile floor(k * q / c).
      std::fill(quantile_sum, quantile_sum + quantiles, 0.0);
      std::fill(quantile_n, quantile_n + quantiles, std::size_t{0});
      std::size_t k = 0;
      for (const Ranked &r : ranked) {
        if (std::isnan(fwd[r.stock])) continue;
        const std::size_t b = k++ * quantiles / c;
        quantile_sum[b] += fwd[r.stock];
        ++quantile_n[b];
      }
      double day_total = 0.0;
      for (std::size_t b = 0; b < quantiles; ++b) day_total += quantile_sum[b];
      out.quantile_day_mean = c ? day_total / static_cast<double>(c) : kNaN;
    }
    double ric = kNaN;
    if (c >= 2) {
      factor_ranks(ranked, fwd, s.factor_rank);
      forward_ranks(s.cells, fwd, s, s.forward_rank);
      s.a.clear();
      s.b.clear();
      for (std::uint32_t j : s.cells) {
        s.a.push_back(s.factor_rank[j]);
        s.b.push_back(s.forward_rank[j]);
      }
      ric = stats::pearson(s.a, s.b);
    }
    if (h == 1) out.rank_ic = ric;
    out.decay[h - 1] = ric;
  }
}

// Every back-test day on `threads` threads: the legs and returns the back-test trades (one
// ordering of the day, shared with the cross-section) and the day's cross-section.
void figures_by_day(const PanelView &panel, const ReportSettings &s,
                    const std::vector<std::size_t> &days, std::vector<DayFigures> &figures,
                    std::vector<double> &quantile_sum, std::vector<std::size_t> &quantile_n) {
  const auto q = static_cast<std::size_t>(s.quantiles);
  figures.resize(days.size());
  quantile_sum.assign(days.size() * q, 0.0);
  quantile_n.assign(days.size() * q, 0);
  const int threads = day_threads(days.size(), 300 * panel.n_stocks, s.threads);
  std::vector<CrossScratch> scratch(static_cast<std::size_t>(threads));
  for_days(days.size(), threads, [&](std::size_t i, int thread) {
    CrossScratch &cs = scratch[static_cast<std::size_t>(thread)];
    const std::size_t t = days[i];
    const Day day = trade_day(panel, t, s.legs, s.hedged, true, cs.day);
    DayFigures &f = figures[i];
    f.long_ret = day.long_ret;
    f.short_ret = day.short_ret;
    f.ret = day.ret;
    f.eligible = day.eligible;
    for (const Ranked &r : day.low) f.low.push_back(static_cast<std::uint32_t>(r.stock));
    for (const Ranked &r : day.high) f.high.push_back(static_cast<std::uint32_t>(r.stock));
    cross_section(panel, t, day.ranked, q, cs, f, quantile_sum.data() + i * q,
                  quantile_n.data() + i * q);
  });
}

// Which stocks each leg held the day before, to measure turnover.
class LegHoldings {
 public:
  explicit LegHoldings(std::size_t n_stocks) : held_(n_stocks, 0), next_(n_stocks, 0) {}

  // The share of `leg` not held the day before; `leg` becomes the holding.
  double replace(const std::vector<std::uint32_t> &leg) {
    std::fill(next_.begin(), next_.end(), 0);
    std::size_t fresh = 0;
    for (std::uint32_t j : leg) {
      next_[j] = 1;
      if (!held_[j]) ++fresh;
    }
    held_.swap(next_);
    return leg.empty() ? 0.0 : static_cast<double>(fresh) / static_cast<double>(leg.size());
  }

 private:
  std::vector<char> held_, next_;
};

// The days' figures added up in date order: the daily rows, turnover and its cost, the quantile
// means and the decay means.
std::vector<double> collect_days(const PanelView &panel, const ReportSettings &s,
                                 const std::vector<std::size_t> &days,
                                 const std::vector<DayFigures> &figures,
                                 const std::vector<double> &quantile_sum,
                                 const std::vector<std::size_t> &quantile_n, Report &rep) {
  DailyRows &d = rep.daily;
  const double rate = s.cost_bps * 1e-4;
  const auto q = static_cast<std::size_t>(s.quantiles);
  LegHoldings long_leg(panel.n_stocks), short_leg(panel.n_stocks);
  std::vector<double> raw;
  std::vector<double> sum_of_means(q), sum_of_relative(q), sq_of_relative(q);
  std::vector<std::size_t> quantile_days(q);
  rep.quantile_count.assign(q, 0);
  std::array<std::vector<double>, kDecayHorizons> decay_days;  // per horizon, in day order
  for (std::size_t i = 0; i < days.size(); ++i) {
    const DayFigures &f = figures[i];
    d.t.push_back(days[i]);
    d.eligible.push_back(static_cast<double>(f.eligible));
    d.long_ret.push_back(f.long_ret);
    d.short_ret.push_back(s.hedged ? f.short_ret : kNaN);
    raw.push_back(f.ret);
    double turn = long_leg.replace(f.high);
    double legs_turn = turn;
    if (s.hedged) {
      const double other = short_leg.replace(f.low);
      legs_turn += other;
      turn = 0.5 * (turn + other);
    }
    d.turnover.push_back(turn);
    d.cost.push_back(rate * legs_turn);
    d.ic.push_back(f.ic);
    d.rank_ic.push_back(f.rank_ic);
    for (std::size_t b = 0; b < q; ++b) {
      const std::size_t n = quantile_n[i * q + b];
      if (n == 0) continue;
      const double mean = quantile_sum[i * q + b] / static_cast<double>(n);
      sum_of_means[b] += mean;
      const double relative = mean - f.quantile_day_mean;
      sum_of_relative[b] += relative;
      sq_of_relative[b] += relative * relative;
      ++quantile_days[b];
      rep.quantile_count[b] += static_cast<std::int64_t>(n);
    }
    for (std::size_t h = 0; h < kDecayHorizons; ++h) {
      const double ric = f.decay[h];
      if (!std::isnan(ric)) decay_days[h].push_back(ric);
    }
  }
  rep.quantile_mean.resize(q);
  rep.quantile_relative.resize(q);
  rep.quantile_relative_se.assign(q, kNaN);
  for (std::size_t b = 0; b < q; ++b) {
    const double k = static_cast<double>(quantile_days[b]);
    rep.quantile_mean[b] = quantile_days[b] ? sum_of_means[b] / k : kNaN;
    rep.quantile_relative[b] = quantile_days[b] ? sum_of_relative[b] / k : kNaN;
    if (quantile_days[b] < 2) continue;
    // The sample std of the day values over sqrt(days).
    const double mean = rep.quantile_relative[b];
    const double var = (sq_of_relative[b] - k * mean * mean) / (k - 1);
    rep.quantile_relative_se[b] = std::sqrt(std::max(var, 0.0) / k);
  }
  for (std::size_t h = 0; h < kDecayHorizons; ++h) {
    const std::vector<double> &v = decay_days[h];
    rep.decay_days[h] = v.size();
    double sum = 0.0;
    for (double x : v) sum += x;
    rep.decay[h] = v.empty() ? kNaN : sum / static_cast<double>(v.size());
    rep.decay_se[h] = newey_west_se(v, h);  // horizon h + 1 overlaps its h neighbours
  }
  return raw;
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
  const std::vector<std::size_t> days = day_list(panel.n_dates, s.days);
  rep.stats.days = days.size();
  if (rep.stats.days == 0) return rep;
  std::vector<DayFigures> figures;
  std::vector<double> quantile_sum;
  std::vector<std::size_t> quantile_n;
  figures_by_day(panel, s, days, figures, quantile_sum, quantile_n);
  const std::vector<double> raw =
      collect_days(panel, s, days, figures, quantile_sum, quantile_n, rep);
  net_values(raw, rep.daily, rep.stats);
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
