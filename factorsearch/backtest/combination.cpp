#include "factorsearch/backtest/combination.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

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

CombinationData combination_data(const ForwardOrder &forward, std::size_t n_dates,
                                 Measure measure) {
  CombinationData d;
  const std::size_t m = forward.n_stocks;
  d.n_stocks = m;
  d.days = traded_days(n_dates);
  d.known.assign(n_dates * m, 0);
  d.target.assign(n_dates * m, 0.0);
  d.count.assign(d.days.size(), 0.0);
  d.sum.assign(d.days.size(), 0.0);
  d.squares.assign(d.days.size(), 0.0);
  for (std::size_t t = d.days.first; t < d.days.end; ++t) {
    const std::vector<std::uint32_t> &order = forward.order[t];
    const double *fwd = forward.forward.data() + t * m;
    double *y = d.target.data() + t * m;
    const double n = static_cast<double>(order.size());
    if (measure == Measure::IC) {
      double mean = 0.0, var = 0.0;
      for (std::uint32_t j : order) mean += fwd[j];
      mean /= std::max(n, 1.0);
      for (std::uint32_t j : order) var += (fwd[j] - mean) * (fwd[j] - mean);
      const double sd = std::sqrt(var / std::max(n, 1.0));
      for (std::uint32_t j : order) y[j] = sd > 0.0 ? (fwd[j] - mean) / sd : 0.0;
    } else {
      for (std::size_t i = 0; i < order.size();) {
        std::size_t j = i + 1;
        while (j < order.size() && fwd[order[j]] == fwd[order[i]]) ++j;
        const double v = (0.5 * static_cast<double>(i + 1 + j) - 0.5) / n - 0.5;
        for (std::size_t q = i; q < j; ++q) y[order[q]] = v;
        i = j;
      }
    }
    const std::size_t i = t - d.days.first;
    for (std::size_t j = 0; j < m; ++j) {
      if (std::isnan(fwd[j])) continue;
      d.known[t * m + j] = 1;
      d.count[i] += 1.0;
      d.sum[i] += y[j];
      d.squares[i] += y[j] * y[j];
    }
  }
  return d;
}

PackedPool pack(const CombinationData &d, const Combination &pool) {
  PackedPool p;
  p.k = pool.size();
  p.first = d.days.first;
  const std::size_t cells = d.days.size() * d.n_stocks, at = p.first * d.n_stocks;
  p.z.assign(cells * p.k, 0.0);
  for (std::size_t q = 0; q < p.k; ++q) {
    const std::vector<double> &z = pool.member(q).z;
    for (std::size_t c = 0; c < cells; ++c) p.z[c * p.k + q] = z[at + c];
  }
  return p;
}

FactorStats factor_stats(const CombinationData &d, const PackedPool &pool,
                         const NormalisedFactor &f) {
  const std::size_t m = d.n_stocks, k = pool.k, width = k + 1;
  FactorStats st;
  st.cross.assign(d.days.size() * width, 0.0);
  st.sum.assign(d.days.size(), 0.0);
  st.target.assign(d.days.size(), 0.0);
  for (std::size_t t = d.days.first; t < d.days.end; ++t) {
    const std::size_t i = t - d.days.first, row = t * m;
    double *cross = st.cross.data() + i * width;
    double sum = 0.0, target = 0.0;
    const double *x = f.z.data() + row, *y = d.target.data() + row;
    const std::uint8_t *known = d.known.data() + row, *ok = f.eligible.data() + row;
    for (std::size_t j = 0; j < m; ++j) {
      if (!known[j] || !ok[j]) continue;  // a cell it is not eligible for adds 0 to every sum
      const double a = x[j];
      const double *zb = pool.z.data() + ((t - pool.first) * m + j) * k;
      for (std::size_t q = 0; q < k; ++q) cross[q] += a * zb[q];
      cross[k] += a * a;
      sum += a;
      target += a * y[j];
    }
    st.sum[i] = sum;
    st.target[i] = target;
  }
  return st;
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

Combination Combination::with(std::shared_ptr<const NormalisedFactor> f,
                              const FactorStats &st) const {
  const std::size_t k = size(), n = k + 1, days = st.sum.size();
  Combination out;
  out.members_ = members_;
  out.members_.push_back(std::move(f));
  out.days_ = days;
  out.day_gram_.assign(days * n * n, 0.0);
  out.day_sum_.assign(days * n, 0.0);
  out.day_target_.assign(days * n, 0.0);
  out.gram_.assign(n * n, 0.0);
  out.target_.assign(n, 0.0);
  for (std::size_t a = 0; a < k; ++a) {
    for (std::size_t b = 0; b < k; ++b) out.gram_[a * n + b] = gram_[a * k + b];
    out.target_[a] = target_[a];
  }
  for (std::size_t t = 0; t < days; ++t) {
    const double *old = day_gram_.data() + t * k * k, *cross = st.cross.data() + t * n;
    double *g = out.day_gram_.data() + t * n * n;
    for (std::size_t a = 0; a < k; ++a) {
      for (std::size_t b = 0; b < k; ++b) g[a * n + b] = old[a * k + b];
      g[a * n + k] = g[k * n + a] = cross[a];
      out.day_sum_[t * n + a] = day_sum_[t * k + a];
      out.day_target_[t * n + a] = day_target_[t * k + a];
      out.gram_[a * n + k] += cross[a];
    }
    g[k * n + k] = cross[k];
    out.day_sum_[t * n + k] = st.sum[t];
    out.day_target_[t * n + k] = st.target[t];
    out.gram_[k * n + k] += cross[k];
    out.target_[k] += st.target[t];
  }
  for (std::size_t a = 0; a < k; ++a) out.gram_[k * n + a] = out.gram_[a * n + k];
  return out;
}

Combination Combination::with(std::shared_ptr<const NormalisedFactor> f,
                              const CombinationData &d) const {
  const FactorStats st = factor_stats(d, pack(d, *this), *f);
  return with(std::move(f), st);
}

Combination Combination::without(std::size_t drop) const {
  const std::size_t k = size(), n = k - 1;
  Combination out;
  out.days_ = days_;
  std::vector<std::size_t> keep;
  for (std::size_t a = 0; a < k; ++a)
    if (a != drop) keep.push_back(a);
  for (std::size_t a : keep) {
    out.members_.push_back(members_[a]);
    out.target_.push_back(target_[a]);
    for (std::size_t b : keep) out.gram_.push_back(gram_[a * k + b]);
  }
  out.day_gram_.reserve(days_ * n * n);
  for (std::size_t t = 0; t < days_; ++t)
    for (std::size_t a : keep) {
      out.day_sum_.push_back(day_sum_[t * k + a]);
      out.day_target_.push_back(day_target_[t * k + a]);
      for (std::size_t b : keep) out.day_gram_.push_back(day_gram_[t * k * k + a * k + b]);
    }
  return out;
}

namespace {

// A day's correlation from its sums: n pairs, sums of x and y, of their squares and products.
// NaN for fewer than two pairs or a side that is constant (to rounding).
double correlation_of(double n, double sx, double sy, double sxx, double syy, double sxy) {
  if (n < 2) return stats::kNaN;
  const double vx = sxx - sx * sx / n, vy = syy - sy * sy / n;
  if (!(vx > 1e-10 * sxx && vy > 1e-10 * syy)) return stats::kNaN;
  return std::clamp((sxy - sx * sy / n) / std::sqrt(vx * vy), -1.0, 1.0);
}

}  // namespace

double Combination::score(const CombinationData &d) const {
  const std::size_t k = size();
  if (k == 0) return 0.0;
  const std::vector<double> w = weights();
  double total = 0.0;
  std::size_t scored = 0;
  for (std::size_t t = 0; t < days_; ++t) {
    const double *g = day_gram_.data() + t * k * k, *s = day_sum_.data() + t * k,
                 *b = day_target_.data() + t * k;
    double ws = 0.0, wb = 0.0, wgw = 0.0;
    for (std::size_t a = 0; a < k; ++a) {
      ws += w[a] * s[a];
      wb += w[a] * b[a];
      double row = 0.0;
      for (std::size_t c = 0; c < k; ++c) row += g[a * k + c] * w[c];
      wgw += w[a] * row;
    }
    const double ic = correlation_of(d.count[t], ws, d.sum[t], wgw, d.squares[t], wb);
    if (std::isnan(ic)) continue;
    total += ic;
    ++scored;
  }
  return scored ? total / static_cast<double>(scored) : 0.0;
}

std::vector<double> Combination::contributions(const CombinationData &d) const {
  const double all = score(d);
  std::vector<double> out(size());
  for (std::size_t k = 0; k < size(); ++k) out[k] = all - without(k).score(d);
  return out;
}

std::vector<double> Combination::correlations(const CombinationData &d,
                                              const FactorStats &st) const {
  const std::size_t k = size(), width = k + 1;
  std::vector<double> out(k, stats::kNaN);
  for (std::size_t q = 0; q < k; ++q) {
    double total = 0.0;
    std::size_t days = 0;
    for (std::size_t t = 0; t < days_; ++t) {
      const double r = correlation_of(d.count[t], st.sum[t], day_sum_[t * k + q],
                                      st.cross[t * width + k], day_gram_[t * k * k + q * k + q],
                                      st.cross[t * width + q]);
      if (std::isnan(r)) continue;
      total += r;
      ++days;
    }
    if (days) out[q] = total / static_cast<double>(days);
  }
  return out;
}

std::size_t least_contributing(std::span<const double> contributions) {
  std::size_t worst = 0;
  for (std::size_t k = 1; k < contributions.size(); ++k)
    if (contributions[k] <= contributions[worst]) worst = k;
  return worst;
}

double coverage_of(std::vector<std::size_t> eligible_per_day) {
  const std::size_t n = eligible_per_day.size();
  if (n == 0) return stats::kNaN;
  std::sort(eligible_per_day.begin(), eligible_per_day.end());
  return n % 2 ? static_cast<double>(eligible_per_day[n / 2])
               : 0.5 * static_cast<double>(eligible_per_day[n / 2 - 1] + eligible_per_day[n / 2]);
}

}  // namespace factorsearch
