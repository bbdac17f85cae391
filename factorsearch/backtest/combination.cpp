#include "factorsearch/backtest/combination.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "common/stats.hpp"

namespace factorsearch {

namespace stats = alphaloom::stats;

void normalise_day(std::span<const Ranked> ranked, std::size_t t, std::size_t n_stocks,
                   NormalisedFactor &f) {
  double *z = f.z.data() + t * n_stocks;
  std::uint8_t *ok = f.eligible.data() + t * n_stocks;
  const double n = static_cast<double>(ranked.size());
  for (std::size_t i = 0; i < ranked.size();) {
    std::size_t j = i + 1;
    while (j < ranked.size() && ranked[j].value == ranked[i].value) ++j;
    const double rank = 0.5 * static_cast<double>(i + 1 + j);
    const double v = (rank - 0.5) / n - 0.5;
    for (std::size_t q = i; q < j; ++q) {
      z[ranked[q].stock] = v;
      ok[ranked[q].stock] = 1;
    }
    i = j;
  }
}

NormalisedFactor normalise_panel(std::span<const double> panel, std::size_t n_dates,
                                 std::size_t n_stocks, std::size_t first, std::size_t end) {
  NormalisedFactor f;
  f.z.assign(n_dates * n_stocks, 0.0);
  f.eligible.assign(n_dates * n_stocks, 0);
  std::vector<Ranked> day;
  for (std::size_t t = first; t < std::min(end, n_dates); ++t) {
    day.clear();
    const double *row = panel.data() + t * n_stocks;
    for (std::size_t j = 0; j < n_stocks; ++j)
      if (is_eligible(row[j])) day.push_back({row[j], j});
    std::sort(day.begin(), day.end(), rank_before);
    normalise_day(day, t, n_stocks, f);
  }
  return f;
}

CombinationData combination_data(const ForwardOrder &forward, std::size_t n_dates) {
  CombinationData d;
  d.forward = &forward;
  d.n_stocks = forward.n_stocks;
  d.days = traded_days(n_dates);
  d.target.assign(n_dates * d.n_stocks, 0.0);
  for (std::size_t t = d.days.first; t < d.days.end; ++t) {
    const std::vector<std::uint32_t> &order = forward.order[t];
    const double *fwd = forward.forward.data() + t * d.n_stocks;
    double *y = d.target.data() + t * d.n_stocks;
    const double n = static_cast<double>(order.size());
    for (std::size_t i = 0; i < order.size();) {
      std::size_t j = i + 1;
      while (j < order.size() && fwd[order[j]] == fwd[order[i]]) ++j;
      const double v = (0.5 * static_cast<double>(i + 1 + j) - 0.5) / n - 0.5;
      for (std::size_t q = i; q < j; ++q) y[order[q]] = v;
      i = j;
    }
  }
  return d;
}

double cross_product(const CombinationData &d, const std::vector<double> &a,
                     const std::vector<double> &b) {
  const std::size_t m = d.n_stocks;
  double sum = 0.0;
  for (std::size_t t = d.days.first; t < d.days.end; ++t)
    for (std::uint32_t j : d.forward->order[t]) sum += a[t * m + j] * b[t * m + j];
  return sum;
}

double mean_rank_correlation(const CombinationData &d, const NormalisedFactor &a,
                             const NormalisedFactor &b) {
  const std::size_t m = d.n_stocks;
  double total = 0.0;
  std::size_t days = 0;
  for (std::size_t t = d.days.first; t < d.days.end; ++t) {
    double n = 0, sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    for (std::size_t j = t * m; j < (t + 1) * m; ++j) {
      if (!a.eligible[j] || !b.eligible[j]) continue;
      const double x = a.z[j], y = b.z[j];
      n += 1;
      sa += x, sb += y, saa += x * x, sbb += y * y, sab += x * y;
    }
    if (n < 2) continue;
    const double va = saa - sa * sa / n, vb = sbb - sb * sb / n;
    if (!(va > 1e-15 && vb > 1e-15)) continue;
    total += std::clamp((sab - sa * sb / n) / std::sqrt(va * vb), -1.0, 1.0);
    ++days;
  }
  return days ? total / static_cast<double>(days) : stats::kNaN;
}

std::vector<double> ridge_weights(std::span<const double> gram, std::span<const double> target,
                                  std::size_t k) {
  std::vector<double> w(k, 0.0);
  double diag = 0.0;
  for (std::size_t i = 0; i < k; ++i) diag += gram[i * k + i];
  if (k == 0 || !(diag > 0.0)) return w;
  const double ridge = kRidge * diag / static_cast<double>(k);
  // Cholesky of the (symmetric, positive definite once ridged) matrix, then two triangular solves.
  std::vector<double> c(k * k, 0.0);
  for (std::size_t i = 0; i < k; ++i)
    for (std::size_t j = 0; j <= i; ++j) {
      double s = gram[i * k + j] + (i == j ? ridge : 0.0);
      for (std::size_t q = 0; q < j; ++q) s -= c[i * k + q] * c[j * k + q];
      c[i * k + j] = i == j ? std::sqrt(std::max(s, ridge * 1e-12)) : s / c[j * k + j];
    }
  for (std::size_t i = 0; i < k; ++i) {
    double s = target[i];
    for (std::size_t q = 0; q < i; ++q) s -= c[i * k + q] * w[q];
    w[i] = s / c[i * k + i];
  }
  for (std::size_t i = k; i-- > 0;) {
    double s = w[i];
    for (std::size_t q = i + 1; q < k; ++q) s -= c[q * k + i] * w[q];
    w[i] = s / c[i * k + i];
  }
  return w;
}

std::vector<double> combined_panel(std::span<const NormalisedFactor *const> members,
                                   std::span<const double> weights, std::size_t cells) {
  std::vector<double> out(cells, stats::kNaN);
  std::vector<std::uint8_t> any(cells, 0);
  for (std::size_t k = 0; k < members.size(); ++k) {
    const NormalisedFactor &f = *members[k];
    for (std::size_t c = 0; c < cells; ++c) {
      if (!f.eligible[c]) continue;
      out[c] = any[c] ? out[c] + weights[k] * f.z[c] : weights[k] * f.z[c];
      any[c] = 1;
    }
  }
  return out;
}

double combined_score(const CombinationData &d, std::span<const NormalisedFactor *const> members,
                      std::span<const double> weights, Measure measure) {
  const std::size_t m = d.n_stocks;
  std::vector<double> value(m), factor, forward;
  std::vector<std::uint8_t> any(m);
  stats::RankScratch scratch;
  double sum = 0.0;
  std::size_t days = 0;
  for (std::size_t t = d.days.first; t < d.days.end; ++t) {
    // The same sum, in the same member order, as combined_panel gives for this date.
    std::fill(any.begin(), any.end(), 0);
    for (std::size_t k = 0; k < members.size(); ++k) {
      const double *z = members[k]->z.data() + t * m;
      const std::uint8_t *ok = members[k]->eligible.data() + t * m;
      for (std::size_t j = 0; j < m; ++j) {
        if (!ok[j]) continue;
        value[j] = any[j] ? value[j] + weights[k] * z[j] : weights[k] * z[j];
        any[j] = 1;
      }
    }
    factor.clear();
    forward.clear();
    const double *fwd = d.forward->forward.data() + t * m;
    for (std::size_t j = 0; j < m; ++j)
      if (any[j] && is_eligible(value[j]) && !std::isnan(fwd[j])) {
        factor.push_back(value[j]);
        forward.push_back(fwd[j]);
      }
    const double ic = measure == Measure::IC ? stats::pearson(factor, forward)
                                             : stats::spearman(factor, forward, scratch);
    if (std::isnan(ic)) continue;
    sum += ic;
    ++days;
  }
  return days ? sum / static_cast<double>(days) : stats::kNaN;
}

Combination Combination::with(std::shared_ptr<const NormalisedFactor> f,
                              const CombinationData &d) const {
  const std::size_t k = size(), n = k + 1;
  Combination out;
  out.members_ = members_;
  out.members_.push_back(f);
  out.gram_.assign(n * n, 0.0);
  for (std::size_t i = 0; i < k; ++i)
    for (std::size_t j = 0; j < k; ++j) out.gram_[i * n + j] = gram_[i * k + j];
  for (std::size_t i = 0; i < k; ++i)
    out.gram_[i * n + k] = out.gram_[k * n + i] = cross_product(d, f->z, members_[i]->z);
  out.gram_[k * n + k] = cross_product(d, f->z, f->z);
  out.target_ = target_;
  out.target_.push_back(cross_product(d, f->z, d.target));
  return out;
}

Combination Combination::without(std::size_t drop) const {
  const std::size_t k = size(), n = k - 1;
  Combination out;
  out.gram_.reserve(n * n);
  for (std::size_t i = 0; i < k; ++i) {
    if (i == drop) continue;
    out.members_.push_back(members_[i]);
    out.target_.push_back(target_[i]);
    for (std::size_t j = 0; j < k; ++j)
      if (j != drop) out.gram_.push_back(gram_[i * k + j]);
  }
  return out;
}

std::vector<const NormalisedFactor *> Combination::pointers() const {
  std::vector<const NormalisedFactor *> p;
  for (const auto &f : members_) p.push_back(f.get());
  return p;
}

double Combination::score(const CombinationData &d, Measure measure) const {
  if (members_.empty()) return 0.0;
  const auto p = pointers();
  const double s = combined_score(d, p, weights(), measure);
  return std::isnan(s) ? 0.0 : s;
}

std::vector<double> Combination::contributions(const CombinationData &d, Measure measure) const {
  const double all = score(d, measure);
  std::vector<double> out(size());
  for (std::size_t k = 0; k < size(); ++k) out[k] = all - without(k).score(d, measure);
  return out;
}

std::size_t least_contributing(std::span<const double> contributions) {
  std::size_t worst = 0;
  for (std::size_t k = 1; k < contributions.size(); ++k)
    if (contributions[k] <= contributions[worst]) worst = k;
  return worst;
}

bool trades_enough(std::span<const std::size_t> eligible_per_day, std::int64_t legs, bool hedged) {
  const std::size_t need = static_cast<std::size_t>(legs) * (hedged ? 2 : 1);
  std::size_t tradeable = 0;
  for (std::size_t e : eligible_per_day) tradeable += e >= need;
  return !eligible_per_day.empty() && 2 * tradeable >= eligible_per_day.size();
}

double coverage_of(std::vector<std::size_t> eligible_per_day) {
  const std::size_t n = eligible_per_day.size();
  if (n == 0) return stats::kNaN;
  std::sort(eligible_per_day.begin(), eligible_per_day.end());
  return n % 2 ? static_cast<double>(eligible_per_day[n / 2])
               : 0.5 * static_cast<double>(eligible_per_day[n / 2 - 1] + eligible_per_day[n / 2]);
}

}  // namespace factorsearch
