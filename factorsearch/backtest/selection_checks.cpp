#include "factorsearch/backtest/selection_checks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "common/stats.hpp"
#include "factorsearch/backtest/day_threads.hpp"
#include "factorsearch/kernels/day_order.hpp"

namespace factorsearch {
namespace {

// splitmix64's finaliser: every input bit reaches every output bit.
inline std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

struct Digest {
  std::uint64_t a = 0x243f6a8885a308d3ULL, b = 0x13198a2e03707344ULL;
  void add(std::uint64_t x) {
    a = mix(a ^ x);
    b = mix(b + (x * 0xd6e8feb86659fd93ULL) + 0x452821e638d01377ULL);
  }
};

}  // namespace

double dispersion_share(std::span<const double> panel, std::size_t n_stocks,
                        std::size_t first_day, std::size_t end_day) {
  if (end_day <= first_day) return std::numeric_limits<double>::quiet_NaN();
  std::size_t with = 0;
  for (std::size_t t = first_day; t < end_day; ++t) {
    const double *row = panel.data() + t * n_stocks;
    bool seen = false;
    double first = 0.0;
    for (std::size_t j = 0; j < n_stocks; ++j) {
      const double v = row[j];
      if (!is_eligible(v)) continue;
      if (!seen) {
        seen = true;
        first = v;
      } else if (v != first) {
        ++with;
        break;
      }
    }
  }
  return static_cast<double>(with) / static_cast<double>(end_day - first_day);
}

namespace {

// A kernel's per-thread ordering buffers.
struct OrderScratch {
  std::vector<KeyedPosition> items, spare;
};

}  // namespace

RankDigest rank_digest(std::span<const double> panel, std::size_t n_stocks, std::size_t first_day,
                       std::size_t end_day) {
  Digest h;
  OrderScratch s;
  std::vector<std::uint64_t> rank(n_stocks);
  for (std::size_t t = first_day; t < end_day; ++t) {
    order_eligible(panel.data() + t * n_stocks, n_stocks, s.items, s.spare);
    std::fill(rank.begin(), rank.end(), 0);
    std::uint64_t dense = 0;
    for (std::size_t k = 0; k < s.items.size(); ++k) {
      if (k == 0 || s.items[k].key != s.items[k - 1].key) ++dense;
      rank[s.items[k].position] = dense;
    }
    h.add(0xffffffffffffffffULL);  // day separator
    for (std::size_t j = 0; j < n_stocks; ++j) h.add(rank[j]);
  }
  return {h.a, h.b};
}

DailyRanks daily_ranks(std::span<const double> panel, std::size_t n_stocks, std::size_t first_day,
                       std::size_t end_day) {
  DailyRanks out;
  out.n_stocks = n_stocks;
  out.days = end_day > first_day ? end_day - first_day : 0;
  out.rank.assign(out.days * n_stocks, std::numeric_limits<float>::quiet_NaN());
  out.count.assign(out.days, 0);
  out.mean.assign(out.days, std::numeric_limits<double>::quiet_NaN());
  out.scale = out.mean;
  out.squares = out.mean;
  const int threads = day_threads(out.days, 12 * n_stocks, offered_threads());
  std::vector<OrderScratch> scratch(static_cast<std::size_t>(threads));
  for_days(out.days, threads, [&](std::size_t d, int thread) {
    OrderScratch &s = scratch[static_cast<std::size_t>(thread)];
    order_eligible(panel.data() + (first_day + d) * n_stocks, n_stocks, s.items, s.spare);
    float *r = out.rank.data() + d * n_stocks;
    const std::size_t n = s.items.size();
    for (std::size_t i = 0; i < n;) {  // a run of equal values shares the mean of its ranks
      std::size_t j = i + 1;
      while (j < n && s.items[j].key == s.items[i].key) ++j;
      const double rank = 0.5 * static_cast<double>(i + 1 + j);
      for (std::size_t k = i; k < j; ++k) r[s.items[k].position] = static_cast<float>(rank);
      i = j;
    }
    out.count[d] = static_cast<std::uint32_t>(n);
    if (n < 2) return;
    const auto [mean, scale] = alphaloom::stats::rank_spread(n, r[s.items.front().position],
                                                             r[s.items.back().position]);
    if (scale == 0.0) return;
    double squares = 0.0;
    for (std::size_t j = 0; j < n_stocks; ++j) {
      if (std::isnan(r[j])) continue;
      const double x = (static_cast<double>(r[j]) - mean) / scale;
      squares += x * x;
    }
    out.mean[d] = mean;
    out.scale[d] = scale;
    out.squares[d] = squares;
  });
  return out;
}

namespace {

struct PairScratch {
  std::vector<double> x, y;
  std::vector<std::uint32_t> common;
  std::vector<std::uint32_t> runs;  // common cells per doubled rank
  std::vector<double> ranked;       // their mean rank among the common cells, per doubled rank
};

// The average ranks, among the common cells `common` (ascending positions), of one factor whose
// ranks over all its eligible cells are `r` (`count` of them): ranks restricted to a subset keep
// their order and their ties, so counting the cells under each doubled rank (an integer up to
// 2 count) orders them without a sort. The same numbers as ranking the restricted ranks again.
//
// The ranks come back centred and scaled as stats::pearson does it (stats::rank_spread). False
// when they are all tied (no correlation).
bool rerank(const float *r, std::uint32_t count, PairScratch &s, std::vector<double> &out) {
  const std::size_t keys = 2 * static_cast<std::size_t>(count) + 2, c = s.common.size();
  s.runs.assign(keys, 0);
  for (std::uint32_t j : s.common) ++s.runs[static_cast<std::size_t>(2.0f * r[j])];
  s.ranked.resize(keys);
  std::size_t below = 0;
  double lowest = 0.0, highest = 0.0;
  for (std::size_t k = 0; k < keys; ++k) {
    if (!s.runs[k]) continue;
    const std::size_t end = below + s.runs[k];
    s.ranked[k] = 0.5 * static_cast<double>(below + 1 + end);
    if (below == 0) lowest = s.ranked[k];
    highest = s.ranked[k];
    below = end;
  }
  const auto [mean, scale] = alphaloom::stats::rank_spread(c, lowest, highest);
  if (scale == 0.0) return false;
  out.resize(c);
  for (std::size_t i = 0; i < c; ++i)
    out[i] = s.ranked[static_cast<std::size_t>(2.0f * r[s.common[i]])];
  for (double &x : out) x = (x - mean) / scale;
  return true;
}

double day_correlation(const DailyRanks &a, const DailyRanks &b, std::size_t d, PairScratch &s) {
  const std::size_t m = a.n_stocks;
  const float *ra = a.rank.data() + d * m, *rb = b.rank.data() + d * m;
  s.common.clear();
  for (std::size_t j = 0; j < m; ++j)
    if (!std::isnan(ra[j]) && !std::isnan(rb[j])) s.common.push_back(static_cast<std::uint32_t>(j));
  if (s.common.size() == a.count[d] && s.common.size() == b.count[d]) {
    // The same eligible stocks: the ranks are already those of the common cells, centred and
    // scaled as pearson does it, their squares summed; only the products are left, in universe
    // order. The divisions go first, in a loop of their own that vectorises.
    if (s.common.size() < 2 || std::isnan(a.squares[d]) || std::isnan(b.squares[d]))
      return std::numeric_limits<double>::quiet_NaN();
    s.x.resize(m);
    s.y.resize(m);
    const double ma = a.mean[d], sa = a.scale[d], mb = b.mean[d], sb = b.scale[d];
    for (std::size_t j = 0; j < m; ++j) {
      s.x[j] = (static_cast<double>(ra[j]) - ma) / sa;
      s.y[j] = (static_cast<double>(rb[j]) - mb) / sb;
    }
    double ab = 0.0;
    for (std::size_t j = 0; j < m; ++j)
      if (!std::isnan(s.x[j])) ab += s.x[j] * s.y[j];
    return alphaloom::stats::pearson_from_sums(a.squares[d], b.squares[d], ab, s.common.size());
  }
  const std::size_t c = s.common.size();
  if (c < 2 || !rerank(ra, a.count[d], s, s.x) || !rerank(rb, b.count[d], s, s.y))
    return std::numeric_limits<double>::quiet_NaN();
  double aa = 0.0, bb = 0.0, ab = 0.0;  // in universe order, as pearson adds them
  for (std::size_t i = 0; i < c; ++i) {
    aa += s.x[i] * s.x[i];
    bb += s.y[i] * s.y[i];
    ab += s.x[i] * s.y[i];
  }
  return alphaloom::stats::pearson_from_sums(aa, bb, ab, c);
}

}  // namespace

double mean_rank_correlation(const DailyRanks &a, const DailyRanks &b) {
  const std::size_t days = std::min(a.days, b.days);
  const int threads = day_threads(days, 6 * a.n_stocks, offered_threads());
  std::vector<PairScratch> scratch(static_cast<std::size_t>(threads));
  std::vector<double> daily(days);
  for_days(days, threads, [&](std::size_t d, int thread) {
    daily[d] = day_correlation(a, b, d, scratch[static_cast<std::size_t>(thread)]);
  });
  double sum = 0.0;  // in date order, whatever the thread count
  std::size_t with = 0;
  for (double c : daily) {
    if (std::isnan(c)) continue;
    sum += c;
    ++with;
  }
  return with ? sum / static_cast<double>(with) : std::numeric_limits<double>::quiet_NaN();
}

PrefixDiff compare_prefix(std::span<const double> full, std::span<const double> part,
                          std::size_t rows, std::size_t n_stocks, double rel) {
  PrefixDiff d;
  d.compared = rows * n_stocks;
  for (std::size_t t = 0; t < rows; ++t) {
    const double *x = full.data() + t * n_stocks;
    const double *y = part.data() + t * n_stocks;
    for (std::size_t j = 0; j < n_stocks; ++j) {
      const double a = x[j], b = y[j];
      const bool na = std::isnan(a), nb = std::isnan(b);
      bool same;
      if (na || nb)
        same = na && nb;
      else if (a == b)
        same = true;
      else if (std::isinf(a) || std::isinf(b))
        same = false;
      else
        same = std::fabs(a - b) <= rel * std::max(std::fabs(a), std::fabs(b));
      if (!same) {
        ++d.changed;
        if (d.first_changed_row < 0) d.first_changed_row = static_cast<std::ptrdiff_t>(t);
      }
    }
  }
  return d;
}

}  // namespace factorsearch
