#include "factorsearch/backtest.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace factorsearch {
namespace {

// A total order: equal values keep universe order, as a stable sort would.
inline bool before(const Ranked &a, const Ranked &b) {
  return a.value < b.value || (a.value == b.value && a.stock < b.stock);
}

// Summed in ascending rank order for both legs, so two legs holding the same stocks give the
// same value bit for bit and a hedged day on them returns exactly 0.
double leg_return(const Ranked *first, std::size_t count, const double *p1, const double *p2) {
  double sum = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t j = first[i].stock;
    sum += (p2[j] - p1[j]) / p1[j];
  }
  return sum / static_cast<double>(count);
}

// np.maximum / np.max semantics: a NaN wins.
inline double nan_max(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::numeric_limits<double>::quiet_NaN();
  return a < b ? b : a;
}

}  // namespace

void walk_days(std::span<const double> panel, std::span<const double> prices, std::size_t n_dates,
               std::size_t n_stocks, std::int64_t l, bool hedged,
               const std::function<void(const Day &)> &visit) {
  if (n_dates < kMinDates) return;
  const double half = static_cast<double>(l) / 2.0;
  std::vector<Ranked> ranked;
  ranked.reserve(n_stocks);
  for (std::size_t t = kFirstDay; t + 2 < n_dates; ++t) {
    const double *row = panel.data() + t * n_stocks;
    ranked.clear();
    for (std::size_t j = 0; j < n_stocks; ++j) {
      double v = row[j];
      if (!std::isnan(v) && v != 0.0 && v != 1.0) ranked.push_back({v, j});
    }
    const std::size_t eligible = ranked.size();
    const std::size_t k = std::min<std::size_t>(static_cast<std::size_t>(l), eligible);
    if (static_cast<double>(k) < half) {  // both legs hold k stocks, so both return 0
      visit(Day{t, {}, {}, 0.0, 0.0, 0.0});
      continue;
    }
    // Only the k lowest and k highest matter: select them, then order each leg.
    Ranked *b = ranked.data();
    Ranked *e = b + eligible;
    if (2 * k >= eligible) {
      std::sort(b, e, before);
    } else {
      std::nth_element(b, e - k, e, before);
      std::nth_element(b, b + k, e - k, before);
      std::sort(b, b + k, before);
      std::sort(e - k, e, before);
    }
    const double *p1 = prices.data() + (t + 1) * n_stocks;
    const double *p2 = prices.data() + (t + 2) * n_stocks;
    const double long_ret = leg_return(e - k, k, p1, p2);
    const double short_ret = leg_return(b, k, p1, p2);
    double r = long_ret;
    if (hedged) r -= short_ret;
    visit(Day{t, {b, k}, {e - k, k}, long_ret, short_ret, r});
  }
}

std::vector<double> daily_returns(std::span<const double> panel, std::span<const double> prices,
                                  std::size_t n_dates, std::size_t n_stocks, std::int64_t l,
                                  bool hedged) {
  std::vector<double> pft;
  if (n_dates >= kMinDates) pft.reserve(n_dates - kMinDates + 1);
  walk_days(panel, prices, n_dates, n_stocks, l, hedged,
            [&](const Day &day) { pft.push_back(day.ret); });
  return pft;
}

std::optional<Summary> summarise(std::vector<double> pft) {
  if (pft.empty()) return std::nullopt;
  constexpr double big = std::numeric_limits<double>::max();
  for (double &x : pft) {
    if (std::isnan(x))
      x = 0.0;
    else if (std::isinf(x))
      x = x > 0 ? big : -big;
  }
  const double n = static_cast<double>(pft.size());
  double sum = 0.0;
  for (double x : pft) sum += x;
  const double mean = sum / n;
  double sq = 0.0;
  for (double x : pft) sq += (x - mean) * (x - mean);
  const double sd = std::sqrt(sq / n);

  Summary s{};
  s.sharp = mean / sd * std::sqrt(256.0);
  double curve = 1.0;
  double peak = 0.0;
  double worst = 0.0;
  for (std::size_t i = 0; i < pft.size(); ++i) {
    curve *= 1.0 + pft[i];
    peak = i == 0 ? curve : nan_max(peak, curve);
    double down = (peak - curve) / peak;
    worst = i == 0 ? down : nan_max(worst, down);
  }
  s.net = curve;
  s.maxdown = worst;
  return s;
}

}  // namespace factorsearch
