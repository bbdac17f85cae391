#include "factorsearch/backtest/selection_checks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "common/stats.hpp"

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

RankDigest rank_digest(std::span<const double> panel, std::size_t n_stocks, std::size_t first_day,
                       std::size_t end_day) {
  Digest h;
  std::vector<std::size_t> order;
  std::vector<std::uint64_t> rank(n_stocks);
  order.reserve(n_stocks);
  for (std::size_t t = first_day; t < end_day; ++t) {
    const double *row = panel.data() + t * n_stocks;
    order.clear();
    for (std::size_t j = 0; j < n_stocks; ++j) {
      rank[j] = 0;
      if (is_eligible(row[j])) order.push_back(j);
    }
    std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
      return row[x] < row[y] || (row[x] == row[y] && x < y);
    });
    std::uint64_t dense = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
      if (k == 0 || row[order[k]] != row[order[k - 1]]) ++dense;
      rank[order[k]] = dense;
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
  std::vector<double> values, ranks;
  std::vector<std::size_t> stock, order;
  for (std::size_t d = 0; d < out.days; ++d) {
    const double *row = panel.data() + (first_day + d) * n_stocks;
    values.clear();
    stock.clear();
    for (std::size_t j = 0; j < n_stocks; ++j)
      if (is_eligible(row[j])) {
        values.push_back(row[j]);
        stock.push_back(j);
      }
    ranks.resize(values.size());
    alphaloom::stats::average_ranks(values, ranks, order);
    float *r = out.rank.data() + d * n_stocks;
    for (std::size_t k = 0; k < stock.size(); ++k) r[stock[k]] = static_cast<float>(ranks[k]);
    out.count[d] = static_cast<std::uint32_t>(stock.size());
  }
  return out;
}

double mean_rank_correlation(const DailyRanks &a, const DailyRanks &b) {
  const std::size_t m = a.n_stocks, days = std::min(a.days, b.days);
  alphaloom::stats::RankScratch scratch;
  std::vector<double> x, y;
  double sum = 0.0;
  std::size_t with = 0;
  for (std::size_t d = 0; d < days; ++d) {
    const float *ra = a.rank.data() + d * m, *rb = b.rank.data() + d * m;
    x.clear();
    y.clear();
    for (std::size_t j = 0; j < m; ++j)
      if (!std::isnan(ra[j]) && !std::isnan(rb[j])) {
        x.push_back(ra[j]);
        y.push_back(rb[j]);
      }
    // Ranks restricted to the common stocks keep their order (ties included), so ranking them
    // again gives the ranks of the values on those stocks.
    const bool same_cells = x.size() == a.count[d] && x.size() == b.count[d];
    const double c = same_cells ? alphaloom::stats::pearson(x, y)
                                : alphaloom::stats::spearman(x, y, scratch);
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
