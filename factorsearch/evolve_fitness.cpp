#include "factorsearch/evolve_fitness.hpp"

#include <cmath>
#include <vector>

#include "common/stats.hpp"

namespace factorsearch {

InSample score_in_sample(std::span<const double> panel, std::span<const double> prices,
                         std::size_t n_dates, std::size_t n_stocks, std::int64_t l, bool hedged,
                         Measure measure) {
  namespace stats = alphaloom::stats;
  InSample out;
  const PanelView view{panel, prices, n_dates, n_stocks};
  const LegReturns legs = leg_returns(view, l, hedged);
  out.days = legs.t.size();
  const auto summary = summarise(legs.ret);
  if (!summary) return out;
  out.row = *summary;

  std::size_t spread_days = 0, ic_days = 0;
  double ic_sum = 0.0;
  Cells cells;
  stats::RankScratch scratch;
  for (std::size_t t : legs.t) {
    // Dispersion over every eligible value of the day, forward return or not.
    const double *row = view.factor_row(t);
    double first = stats::kNaN;
    bool spread = false;
    for (std::size_t j = 0; j < n_stocks && !spread; ++j) {
      if (!is_eligible(row[j])) continue;
      if (std::isnan(first)) first = row[j];
      spread = row[j] != first;
    }
    spread_days += spread;
    if (measure == Measure::None) continue;
    eligible_cells(view, t, 1, cells);
    const double ic = measure == Measure::RankIC ? stats::spearman(cells.factor, cells.forward, scratch)
                                                 : stats::pearson(cells.factor, cells.forward);
    if (std::isnan(ic)) continue;
    ic_sum += ic;
    ++ic_days;
  }
  out.dispersion = static_cast<double>(spread_days) / static_cast<double>(out.days);
  out.ic = ic_days ? ic_sum / static_cast<double>(ic_days) : stats::kNaN;

  std::vector<double> cleaned = legs.ret;
  clean_returns(cleaned);
  const stats::Moments mo = stats::moments(cleaned);
  out.sr = mo.mean / mo.sample_std;
  out.skew = mo.skew;
  out.kurt = mo.kurtosis;
  out.ok = out.dispersion >= kMinDispersionShare;
  return out;
}

}  // namespace factorsearch
