#include "factorsearch/evolve_fitness.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "factorsearch/report.hpp"

namespace factorsearch {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
bool eligible(double v) { return !std::isnan(v) && v != 0.0 && v != 1.0; }
}  // namespace

InSample score_in_sample(std::span<const double> panel, std::span<const double> prices,
                         std::size_t n_dates, std::size_t n_stocks, std::int64_t l, bool hedged,
                         Measure measure) {
  InSample out;
  std::vector<double> pft = daily_returns(panel, prices, n_dates, n_stocks, l, hedged);
  out.days = pft.size();
  const auto summary = summarise(pft);
  if (!summary) return out;
  out.row = *summary;

  const std::size_t m = n_stocks;
  std::size_t spread_days = 0, ic_days = 0;
  double ic_sum = 0.0;
  std::vector<double> fx, fy;
  for (std::size_t t = kFirstDay; t + 2 < n_dates; ++t) {
    const double *row = panel.data() + t * m;
    const double *p1 = prices.data() + (t + 1) * m;
    const double *p2 = prices.data() + (t + 2) * m;
    fx.clear();
    fy.clear();
    double first = kNaN;
    bool spread = false;
    for (std::size_t j = 0; j < m; ++j) {
      if (!eligible(row[j])) continue;
      if (std::isnan(first)) first = row[j];
      spread = spread || row[j] != first;
      const double r = (p2[j] - p1[j]) / p1[j];
      if (std::isnan(r)) continue;
      fx.push_back(row[j]);
      fy.push_back(r);
    }
    spread_days += spread;
    if (measure == Measure::None) continue;
    const double ic = measure == Measure::RankIC ? spearman(fx, fy) : pearson(fx, fy);
    if (std::isnan(ic)) continue;
    ic_sum += ic;
    ++ic_days;
  }
  out.dispersion = static_cast<double>(spread_days) / static_cast<double>(out.days);
  out.ic = ic_days ? ic_sum / static_cast<double>(ic_days) : kNaN;

  // Moments of the return list as the back-test cleans it.
  constexpr double big = std::numeric_limits<double>::max();
  for (double &x : pft) x = std::isnan(x) ? 0.0 : std::isinf(x) ? (x > 0 ? big : -big) : x;
  const double n = static_cast<double>(pft.size());
  double mean = 0.0;
  for (double x : pft) mean += x;
  mean /= n;
  double m2 = 0.0, m3 = 0.0, m4 = 0.0;
  for (double x : pft) {
    const double d = x - mean;
    m2 += d * d;
    m3 += d * d * d;
    m4 += d * d * d * d;
  }
  const double sd1 = pft.size() > 1 ? std::sqrt(m2 / (n - 1.0)) : kNaN;
  const double var = m2 / n;
  out.sr = mean / sd1;
  out.skew = var > 0 ? (m3 / n) / std::pow(var, 1.5) : kNaN;
  out.kurt = var > 0 ? (m4 / n) / (var * var) : kNaN;
  out.ok = out.dispersion >= kMinDispersionShare;
  return out;
}

}  // namespace factorsearch
