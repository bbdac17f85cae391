// Column kernels reproducing `ta` indicators as pandas computes them. Every rolling/ewm helper
// below replays pandas' own update order (Kahan add/remove, Welford with compensation, the
// "same value repeated" shortcut, the sign clamps) so results agree to the last bit in the usual
// case, not just to rounding: indicators divide by spreads that are exactly zero on constant
// stretches, and any drift there would turn a NaN into a huge number.
#include "factorsearch/ta_kernels.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

namespace factorsearch::ta {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using Buf = std::vector<double>;

// pandas turns +-inf into NaN before any rolling or ewm aggregation.
inline double clean(double v) { return std::isfinite(v) ? v : kNaN; }
inline bool isnan_(double v) { return v != v; }

// numpy's float64 add.reduce over a contiguous run (8 partial sums, pairwise above 128).
double np_sum(const double *a, std::size_t n) {
  if (n < 8) {
    double r = 0.;
    for (std::size_t i = 0; i < n; ++i) r += a[i];
    return r;
  }
  if (n <= 128) {
    double r[8];
    for (int j = 0; j < 8; ++j) r[j] = a[j];
    std::size_t i = 8;
    for (; i < n - (n % 8); i += 8)
      for (int j = 0; j < 8; ++j) r[j] += a[i + j];
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
  }
  std::size_t n2 = n / 2;
  n2 -= n2 % 8;
  return np_sum(a, n2) + np_sum(a + n2, n - n2);
}

// Trailing fixed windows as pandas indexes them: [max(0, i+1-w), i+1). State is rebuilt only when
// a window shares nothing with the previous one (w == 1), as pandas does.
template <class State>
void slide(const double *x, std::size_t n, std::size_t w, State &st, double *out) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t e = i + 1, s = e > w ? e - w : 0;
    if (i == 0 || s >= i) {
      st.reset(clean(x[s]));
      for (std::size_t j = s; j < e; ++j) st.add(clean(x[j]));
    } else {
      if (s > 0) st.remove(clean(x[s - 1]));
      st.add(clean(x[i]));
    }
    out[i] = st.value();
  }
}

struct SumState {  // rolling sum and mean
  std::size_t minp;
  bool mean;
  long nobs = 0, neg = 0, same = 0;
  double sum = 0, comp_add = 0, comp_rem = 0, prev = 0;
  void reset(double first) {
    nobs = neg = same = 0;
    sum = comp_add = comp_rem = 0;
    prev = first;
  }
  void add(double v) {
    if (isnan_(v)) return;
    ++nobs;
    const double y = v - comp_add, t = sum + y;
    comp_add = t - sum - y;
    sum = t;
    if (std::signbit(v)) ++neg;
    same = v == prev ? same + 1 : 1;
    prev = v;
  }
  void remove(double v) {
    if (isnan_(v)) return;
    --nobs;
    const double y = -v - comp_rem, t = sum + y;
    comp_rem = t - sum - y;
    sum = t;
    if (std::signbit(v)) --neg;
  }
  double value() const {
    const auto n = static_cast<std::size_t>(nobs);
    if (!mean) {
      if (nobs == 0 && minp == 0) return 0.;
      if (n >= minp) return same >= nobs ? prev * static_cast<double>(nobs) : sum;
      return kNaN;
    }
    if (n >= minp && nobs > 0) {
      double r = sum / static_cast<double>(nobs);
      if (same >= nobs) r = prev;
      else if (neg == 0 && r < 0) r = 0;
      else if (neg == nobs && r > 0) r = 0;
      return r;
    }
    return kNaN;
  }
};

struct VarState {  // rolling var (std is its clipped square root)
  std::size_t minp;
  int ddof;
  long same = 0;
  double nobs = 0, mean = 0, ssq = 0, comp_add = 0, comp_rem = 0, prev = 0;
  void reset(double first) {
    same = 0;
    nobs = mean = ssq = comp_add = comp_rem = 0;
    prev = first;
  }
  void add(double v) {
    if (isnan_(v)) return;
    nobs += 1;
    same = v == prev ? same + 1 : 1;
    prev = v;
    const double prev_mean = mean - comp_add, y = v - comp_add, t = y - mean;
    comp_add = t + mean - y;
    mean = nobs != 0 ? mean + t / nobs : 0;
    ssq += (v - prev_mean) * (v - mean);
  }
  void remove(double v) {
    if (isnan_(v)) return;
    nobs -= 1;
    if (nobs != 0) {
      const double prev_mean = mean - comp_rem, y = v - comp_rem, t = y - mean;
      comp_rem = t + mean - y;
      mean -= t / nobs;
      ssq -= (v - prev_mean) * (v - mean);
    } else {
      mean = ssq = 0;
    }
  }
  double value() const {
    const double mp = static_cast<double>(std::max<std::size_t>(minp, 1));
    if (nobs >= mp && nobs > ddof) {
      if (nobs == 1 || static_cast<double>(same) >= nobs) return 0.;
      return ssq / (nobs - ddof);
    }
    return kNaN;
  }
};

void rolling_sum(const double *x, std::size_t n, std::size_t w, std::size_t minp, double *out) {
  SumState st{minp, false};
  slide(x, n, w, st, out);
}
void rolling_mean(const double *x, std::size_t n, std::size_t w, std::size_t minp, double *out) {
  SumState st{minp, true};
  slide(x, n, w, st, out);
}
// Population standard deviation (ddof 0), negatives from rounding clipped to 0 as pandas does.
void rolling_std0(const double *x, std::size_t n, std::size_t w, std::size_t minp, double *out) {
  VarState st{minp, 0};
  slide(x, n, w, st, out);
  for (std::size_t i = 0; i < n; ++i) out[i] = out[i] < 0 ? 0. : std::sqrt(out[i]);
}

// Rolling max (or min) of the non-NaN values, NaN below minp of them: a monotonic deque of
// indices, one pass.
void rolling_extreme(const double *x, std::size_t n, std::size_t w, std::size_t minp, bool is_max,
                     double *out) {
  minp = std::max<std::size_t>(minp, 1);
  std::vector<std::size_t> dq(n);
  std::size_t head = 0, tail = 0, count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double v = clean(x[i]);
    if (!isnan_(v)) {
      ++count;
      while (tail > head && (is_max ? v >= clean(x[dq[tail - 1]]) : v <= clean(x[dq[tail - 1]])))
        --tail;
      dq[tail++] = i;
    }
    if (i >= w) {
      if (!isnan_(clean(x[i - w]))) --count;
      while (tail > head && dq[head] + w <= i) ++head;
    }
    out[i] = count >= minp && tail > head ? clean(x[dq[head]]) : kNaN;
  }
}

// Calls f on each full window (w values, all finite; pandas hands apply functions only those
// when min_periods equals the window); NaN elsewhere.
template <class F>
void rolling_apply(const double *x, std::size_t n, std::size_t w, F f, double *out) {
  std::size_t bad = 0;
  for (std::size_t i = 0; i < n; ++i) {
    bad += !std::isfinite(x[i]);
    if (i >= w) bad -= !std::isfinite(x[i - w]);
    out[i] = i + 1 >= w && bad == 0 ? f(x + i + 1 - w) : kNaN;
  }
}

// ewm(com=..., adjust=False, ignore_na=False, min_periods=minp).mean()
void ewm_mean(const double *x, std::size_t n, double com, std::size_t minp, double *out) {
  if (n == 0) return;
  minp = std::max<std::size_t>(minp, 1);
  const double alpha = 1. / (1. + com), old_factor = 1. - alpha, new_wt = alpha;
  double weighted = clean(x[0]), old_wt = 1.;
  std::size_t nobs = !isnan_(weighted);
  out[0] = nobs >= minp ? weighted : kNaN;
  for (std::size_t i = 1; i < n; ++i) {
    const double cur = clean(x[i]);
    const bool obs = !isnan_(cur);
    nobs += obs;
    if (!isnan_(weighted)) {
      old_wt *= old_factor;
      if (obs) {
        if (weighted != cur) {
          weighted = old_wt * weighted + new_wt * cur;
          weighted /= old_wt + new_wt;
        }
        old_wt = 1.;
      }
    } else if (obs) {
      weighted = cur;
    }
    out[i] = nobs >= minp ? weighted : kNaN;
  }
}
double span_com(int span) { return static_cast<double>(span - 1) / 2; }
double alpha_com(double alpha) { return (1 - alpha) / alpha; }
void ema(const double *x, std::size_t n, int span, double *out) {
  ewm_mean(x, n, span_com(span), static_cast<std::size_t>(span), out);
}

inline double lag(const double *x, std::size_t i, std::size_t k) { return i >= k ? x[i - k] : kNaN; }

// ---- momentum ---------------------------------------------------------------------------------

void rsi_into(const double *c, std::size_t n, double *out) {
  constexpr int w = 14;
  Buf up(n), dn(n), eu(n), ed(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double d = c[i] - lag(c, i, 1);
    up[i] = d > 0 ? d : 0.;
    dn[i] = -(d < 0 ? d : 0.);
  }
  const double com = alpha_com(1. / w);
  ewm_mean(up.data(), n, com, w, eu.data());
  ewm_mean(dn.data(), n, com, w, ed.data());
  for (std::size_t i = 0; i < n; ++i)
    out[i] = ed[i] == 0 ? 100. : 100. - 100. / (1. + eu[i] / ed[i]);
}
void k_rsi(const double *const *in, double *out, std::size_t n) { rsi_into(in[0], n, out); }

void k_roc(const double *const *in, double *out, std::size_t n) {
  const double *c = in[0];
  for (std::size_t i = 0; i < n; ++i) {
    const double p = lag(c, i, 12);
    out[i] = (c[i] - p) / p * 100;
  }
}

// ---- trend ------------------------------------------------------------------------------------

void k_sma(const double *const *in, double *out, std::size_t n) { rolling_mean(in[0], n, 12, 12, out); }
void k_ema(const double *const *in, double *out, std::size_t n) { ema(in[0], n, 12, out); }

constexpr Kernel kTable[] = {
    {"momentum", "rsi", 1, k_rsi},
    {"momentum", "roc", 1, k_roc},
    {"trend", "sma_indicator", 1, k_sma},
    {"trend", "ema_indicator", 1, k_ema},
};

}  // namespace

std::span<const Kernel> kernels() { return kTable; }

void run_panel(const Kernel &k, const double *const *in, double *out, std::size_t rows,
               std::size_t cols, int threads) {
  auto column = [&](std::size_t c) {
    const double *ptrs[8];
    for (int j = 0; j < k.arity; ++j) ptrs[j] = in[j] + c * rows;
    k.column(ptrs, out + c * rows, rows);
  };
  // A thread start costs about as much as a few thousand cells of these recurrences.
  constexpr std::size_t kCellsPerThread = 32768;
  std::size_t n_threads = threads > 0 ? static_cast<std::size_t>(threads) : 1;
  n_threads = std::min({n_threads, cols, std::max<std::size_t>(rows * cols / kCellsPerThread, 1)});
  if (n_threads <= 1) {
    for (std::size_t c = 0; c < cols; ++c) column(c);
    return;
  }
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (std::size_t c; (c = next.fetch_add(1, std::memory_order_relaxed)) < cols;) column(c);
  };
  std::vector<std::thread> pool;
  pool.reserve(n_threads - 1);
  for (std::size_t t = 1; t < n_threads; ++t) pool.emplace_back(worker);
  worker();
  for (auto &t : pool) t.join();
}

}  // namespace factorsearch::ta
