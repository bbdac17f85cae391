#include "dualstream/daily.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/stats.hpp"

namespace dualstream::daily {

namespace {
namespace stats = alphaloom::stats;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}  // namespace

DayRanges day_ranges(std::span<const std::int64_t> codes) {
  DayRanges r;
  const std::size_t n = codes.size();
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t c = codes[i];
    if (c < 0) throw MissingDayError(i);
    if (i == 0 || c != codes[i - 1]) {
      if (i > 0 && c < codes[i - 1]) throw DayOrderError(i);
      r.start.push_back(static_cast<std::int64_t>(i));
      r.count.push_back(0);
    }
    ++r.count.back();
  }
  return r;
}

namespace {

// Scratch buffers reused across days.
struct CorrScratch {
  std::vector<double> a, b;
  stats::RankScratch ranks;
};

template <typename T>
Correlations correlations(std::span<const T> a, std::span<const T> b, CorrScratch &s) {
  s.a.clear();
  s.b.clear();
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::isnan(a[i]) || std::isnan(b[i])) continue;
    s.a.push_back(a[i]);
    s.b.push_back(b[i]);
  }
  return {stats::pearson(s.a, s.b), stats::spearman(s.a, s.b, s.ranks)};
}

}  // namespace

Correlations correlations(std::span<const double> a, std::span<const double> b) {
  CorrScratch s;
  return correlations<double>(a, b, s);
}

std::vector<double> day_metrics(const RowTerms &t, const DayRanges &days) {
  std::vector<double> out(days.size() * kMetricCount, kNaN);
  CorrScratch scratch;
  for (std::size_t d = 0; d < days.size(); ++d) {
    const std::size_t s = static_cast<std::size_t>(days.start[d]);
    const std::size_t n = static_cast<std::size_t>(days.count[d]);
    double pre_sq = 0.0, adv_sq = 0.0, ce_m = 0.0, ce_a = 0.0, rec = 0.0;
    std::size_t known = 0;
    for (std::size_t i = s; i < s + n; ++i) {
      ce_m += t.ce_market[i];
      ce_a += t.ce_adv_market[i];
      rec += t.rec[i];
      const double y = t.label[i];
      if (std::isnan(y)) continue;
      const double e = static_cast<double>(t.pred_excess[i]) - y;
      const double f = static_cast<double>(t.adv_excess[i]) - y;
      pre_sq += e * e;
      adv_sq += f * f;
      ++known;
    }
    double *row = out.data() + d * kMetricCount;
    const double rows = static_cast<double>(n);
    const double pre_excess = known ? pre_sq / static_cast<double>(known) : kNaN;
    const double adv_excess = known ? adv_sq / static_cast<double>(known) : kNaN;
    row[kPreExcess] = pre_excess;
    row[kPreMarket] = ce_m / rows;
    row[kPre] = row[kPreExcess] + row[kPreMarket];
    row[kAdvExcess] = adv_excess;
    row[kAdvMarket] = ce_a / rows;
    row[kAdv] = row[kAdvExcess] + row[kAdvMarket];
    row[kRec] = rec / rows;
    row[kMse] = -pre_excess;
    row[kLoss] = row[kMse];
    const Correlations c =
        correlations<float>(t.pred_excess.subspan(s, n), t.label.subspan(s, n), scratch);
    row[kIc] = c.pearson;
    row[kRic] = c.spearman;
  }
  return out;
}

std::vector<double> mean_over_days(std::span<const double> per_day, std::size_t n_days) {
  std::vector<double> mean(kMetricCount, kNaN);
  if (n_days == 0) return mean;
  for (int k = 0; k < kMetricCount; ++k) {
    double sum = 0.0;
    for (std::size_t d = 0; d < n_days; ++d) sum += per_day[d * kMetricCount + k];
    mean[k] = sum / static_cast<double>(n_days);
  }
  return mean;
}

std::vector<double> quantiles(std::span<const double> values, std::span<const double> qs) {
  std::vector<double> v;
  v.reserve(values.size());
  for (double x : values)
    if (!std::isnan(x)) v.push_back(x);
  std::vector<double> out(qs.size(), kNaN);
  if (v.empty()) return out;
  std::sort(v.begin(), v.end());
  const double last = static_cast<double>(v.size() - 1);
  for (std::size_t k = 0; k < qs.size(); ++k) {
    const double virt = last * qs[k];
    if (std::isnan(virt)) continue;
    if (virt >= last) {
      out[k] = v.back();
      continue;
    }
    if (virt < 0) {
      out[k] = v.front();
      continue;
    }
    const double prev = std::floor(virt);
    const std::size_t i = static_cast<std::size_t>(prev);
    const double a = v[i], b = v[i + 1], t = virt - prev;
    const double diff = b - a;
    // the same two-sided form as NumPy, so that results agree to the last bit
    out[k] = t >= 0.5 ? b - diff * (1.0 - t) : a + diff * t;
  }
  return out;
}

std::vector<std::int64_t> regime_classes(std::span<const double> values, double lo, double hi) {
  std::vector<std::int64_t> out(values.size(), -1);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double m = values[i];
    if (std::isnan(m) || m == -std::numeric_limits<double>::infinity()) continue;
    out[i] = m <= lo ? 0 : (m <= hi ? 1 : 2);
  }
  return out;
}

}  // namespace dualstream::daily
