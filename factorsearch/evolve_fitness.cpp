#include "factorsearch/evolve_fitness.hpp"

#include <cmath>
#include <vector>

#include "common/sharpe_inference.hpp"
#include "common/stats.hpp"
#include "factorsearch/selection_checks.hpp"

namespace factorsearch {

namespace stats = alphaloom::stats;

ForwardRanks forward_ranks(std::span<const double> prices, std::size_t n_dates,
                           std::size_t n_stocks) {
  ForwardRanks fr;
  fr.count.assign(n_dates, 0);
  fr.ranks.resize(n_dates);
  const TradedDays days = traded_days(n_dates);
  std::vector<double> forward;
  std::vector<std::size_t> order;
  for (std::size_t t = days.first; t < days.end; ++t) {
    const double *buy = prices.data() + (t + 1) * n_stocks;
    const double *sell = prices.data() + (t + 2) * n_stocks;
    forward.clear();
    for (std::size_t j = 0; j < n_stocks; ++j) {
      const double r = held_return(buy, sell, j);
      if (!std::isnan(r)) forward.push_back(r);
    }
    fr.count[t] = forward.size();
    fr.ranks[t].resize(forward.size());
    stats::average_ranks(forward, fr.ranks[t], order);
  }
  return fr;
}

InSample score_in_sample(std::span<const double> panel, std::span<const double> prices,
                         std::size_t n_dates, std::size_t n_stocks, std::int64_t l, bool hedged,
                         Measure measure, const ForwardRanks *known) {
  InSample out;
  const PanelView view{panel, prices, n_dates, n_stocks};
  const LegReturns legs = leg_returns(view, l, hedged);
  out.days = legs.t.size();
  const auto summary = summarise(legs.ret);
  if (!summary) return out;
  out.row = *summary;

  const TradedDays days = traded_days(n_dates);
  out.dispersion = dispersion_share(panel, n_stocks, days.first, days.end);
  out.ok = disperse_enough(out.dispersion);
  if (!out.ok) return out;

  std::size_t ic_days = 0;
  double ic_sum = 0.0;
  Cells cells;
  stats::RankScratch scratch;
  for (std::size_t t : legs.t) {
    if (measure == Measure::None) break;
    eligible_cells(view, t, 1, cells);
    double ic;
    if (measure == Measure::IC) {
      ic = stats::pearson(cells.factor, cells.forward);
    } else if (known && cells.stock.size() >= 2 && cells.stock.size() == known->count[t]) {
      scratch.a.resize(cells.stock.size());
      stats::average_ranks(cells.factor, scratch.a, scratch.order);
      ic = stats::pearson(scratch.a, known->ranks[t]);
    } else {
      ic = stats::spearman(cells.factor, cells.forward, scratch);
    }
    if (std::isnan(ic)) continue;
    ic_sum += ic;
    ++ic_days;
  }
  out.ic = ic_days ? ic_sum / static_cast<double>(ic_days) : stats::kNaN;

  std::vector<double> cleaned = legs.ret;
  clean_returns(cleaned);
  const alphaloom::SharpeMoments mo = alphaloom::sharpe_moments(cleaned);
  out.sr = mo.sr;
  out.skew = mo.skew;
  out.kurt = mo.kurt;
  return out;
}

}  // namespace factorsearch
