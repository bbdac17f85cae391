// Column kernels reproducing `ta` indicators as pandas computes them. Every rolling/ewm helper
// below replays pandas' own update order (Kahan add/remove, compensated Welford and its rebuild
// after a collapse, the repeated-value shortcut of means, the sign clamps, numpy's summation
// order inside `apply` windows) so results agree to the last bit, not just to rounding:
// indicators divide by spreads that are exactly zero on flat stretches, where any drift would
// turn a NaN into a huge number.
#include "factorsearch/kernels/ta_kernels.hpp"

#include "common/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "factorsearch/kernels/rolling_state.hpp"

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


// Rolling variance exactly as pandas computes it: no shortcut for flat windows, but when dropping
// a value collapses the sum of squares by more than 1/(1000 eps) (a flat window after a spike,
// say) the state is rebuilt from the values left in the window, which makes a flat window's
// variance exactly zero there and leaves the rounding residue elsewhere. Negative results clip
// to 0.
void rolling_var(const double *x, std::size_t n, std::size_t w, std::size_t minp, int ddof,
                 double *out) {
  constexpr double kCollapse = 1000 * std::numeric_limits<double>::epsilon();
  const double mp = static_cast<double>(std::max<std::size_t>(minp, 1));
  Welford st;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t s = i + 1 > w ? i + 1 - w : 0;
    if (s > 0) {
      const double v = clean(x[s - 1]);
      if (!isnan_(v)) {
        const double before = st.ssq;
        st.remove(v);
        if (st.nobs != 0 && st.ssq < before * kCollapse) {
          st = Welford{};
          for (std::size_t j = s; j < i; ++j) st.add(clean(x[j]));
        }
      }
    }
    st.add(clean(x[i]));
    if (st.nobs >= mp && st.nobs > ddof) {
      const double r = st.ssq / (st.nobs - ddof);
      out[i] = r < 0 ? 0. : r;
    } else {
      out[i] = kNaN;
    }
  }
}

void rolling_sum(const double *x, std::size_t n, std::size_t w, std::size_t minp, double *out) {
  RollingSum st{minp, false};
  slide(x, n, w, st, out);
}
void rolling_mean(const double *x, std::size_t n, std::size_t w, std::size_t minp, double *out) {
  RollingSum st{minp, true};
  slide(x, n, w, st, out);
}
// Population standard deviation (ddof 0), negatives from rounding clipped to 0 as pandas does.
void rolling_std0(const double *x, std::size_t n, std::size_t w, std::size_t minp, double *out) {
  rolling_var(x, n, w, minp, 0, out);
  for (std::size_t i = 0; i < n; ++i) out[i] = out[i] < 0 ? 0. : std::sqrt(out[i]);
}

// Rolling max (or min) of the non-NaN values, NaN below minp of them: a monotonic deque of
// indices, one pass.
template <bool is_max>
void rolling_extreme_of(const double *x, std::size_t n, std::size_t w, std::size_t minp,
                        double *out) {
  minp = std::max<std::size_t>(minp, 1);
  std::vector<double> val(n);  // the deque: candidates' values and rows, values monotonic
  std::vector<std::size_t> row(n);
  std::size_t head = 0, tail = 0, count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double v = clean(x[i]);
    if (!isnan_(v)) {
      ++count;
      while (tail > head && (is_max ? v >= val[tail - 1] : v <= val[tail - 1])) --tail;
      val[tail] = v;
      row[tail++] = i;
    }
    if (i >= w) {
      count -= std::isfinite(x[i - w]);
      if (tail > head && row[head] + w <= i) ++head;
    }
    out[i] = count >= minp && tail > head ? val[head] : kNaN;
  }
}
void rolling_extreme(const double *x, std::size_t n, std::size_t w, std::size_t minp, bool is_max,
                     double *out) {
  is_max ? rolling_extreme_of<true>(x, n, w, minp, out) : rolling_extreme_of<false>(x, n, w, minp, out);
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

// rsi -> its 14-day stochastic -> two 3-day means; which of the three is wanted.
enum class Stoch { raw, k, d };
template <Stoch which>
void k_stochrsi(const double *const *in, double *out, std::size_t n) {
  Buf r(n), lo(n), hi(n), s(n), k(n);
  rsi_into(in[0], n, r.data());
  rolling_extreme(r.data(), n, 14, 14, false, lo.data());
  rolling_extreme(r.data(), n, 14, 14, true, hi.data());
  double *raw = which == Stoch::raw ? out : s.data();
  for (std::size_t i = 0; i < n; ++i) raw[i] = (r[i] - lo[i]) / (hi[i] - lo[i]);
  if (which == Stoch::raw) return;
  rolling_mean(raw, n, 3, 3, which == Stoch::k ? out : k.data());
  if (which == Stoch::d) rolling_mean(k.data(), n, 3, 3, out);
}

void k_tsi(const double *const *in, double *out, std::size_t n) {
  const double *c = in[0];
  Buf d(n), a(n), t(n), num(n), den(n);
  for (std::size_t i = 0; i < n; ++i) {
    d[i] = c[i] - lag(c, i, 1);
    a[i] = std::fabs(d[i]);
  }
  ema(d.data(), n, 25, t.data());
  ema(t.data(), n, 13, num.data());
  ema(a.data(), n, 25, t.data());
  ema(t.data(), n, 13, den.data());
  for (std::size_t i = 0; i < n; ++i) out[i] = num[i] / den[i] * 100;
}

void k_kama(const double *const *in, double *out, std::size_t n) {
  constexpr std::size_t w = 10;
  if (n == 0) return;
  const double *c = in[0];
  // The `ta` code shifts with a circular roll, so the first rows compare with the last ones.
  const std::size_t shift = w % n;
  Buf vol(n), den(n);
  for (std::size_t i = 0; i < n; ++i) vol[i] = std::fabs(c[i] - c[(i + n - 1) % n]);
  rolling_sum(vol.data(), n, w, w, den.data());
  const double fast = 2.0 / 3, slow = 2.0 / 31.0;
  bool first = true;
  for (std::size_t i = 0; i < n; ++i) {
    const double num = std::fabs(c[i] - c[(i + n - shift) % n]);
    const double er = den[i] != 0 ? num / den[i] : 0.;
    const double base = er * (fast - slow) + slow, sc = base * base;
    if (isnan_(sc)) {
      out[i] = kNaN;
    } else if (first) {
      out[i] = c[i];
      first = false;
    } else {
      out[i] = out[i - 1] + sc * (c[i] - out[i - 1]);
    }
  }
}

// ---- trend ------------------------------------------------------------------------------------

void k_sma(const double *const *in, double *out, std::size_t n) { rolling_mean(in[0], n, 12, 12, out); }
void k_ema(const double *const *in, double *out, std::size_t n) { ema(in[0], n, 12, out); }

void k_wma(const double *const *in, double *out, std::size_t n) {
  constexpr std::size_t w = 9;
  double weight[w];
  for (std::size_t i = 0; i < w; ++i)
    weight[i] = static_cast<double>(2 * (i + 1)) / static_cast<double>(w * (w + 1));
  rolling_apply(in[0], n, w, [&](const double *x) {
    double p[w];
    for (std::size_t i = 0; i < w; ++i) p[i] = weight[i] * x[i];
    return np_sum(p, w);
  }, out);
}

enum class Macd { line, signal, diff };
template <Macd which>
void k_macd(const double *const *in, double *out, std::size_t n) {
  Buf fast(n), slow(n), line(n), sig(n);
  ema(in[0], n, 12, fast.data());
  ema(in[0], n, 26, slow.data());
  for (std::size_t i = 0; i < n; ++i) line[i] = fast[i] - slow[i];
  if (which == Macd::line) return std::copy(line.begin(), line.end(), out), void();
  ema(line.data(), n, 9, which == Macd::signal ? out : sig.data());
  if (which == Macd::diff)
    for (std::size_t i = 0; i < n; ++i) out[i] = line[i] - sig[i];
}

void k_trix(const double *const *in, double *out, std::size_t n) {
  Buf a(n), b(n);
  ema(in[0], n, 15, a.data());
  ema(a.data(), n, 15, b.data());
  ema(b.data(), n, 15, a.data());
  // The first row would compare with the series mean, but the triple ema is still warming up
  // there (NaN), so the row is NaN whatever that mean is.
  for (std::size_t i = 0; i < n; ++i) {
    const double p = i ? a[i - 1] : kNaN;
    out[i] = (a[i] - p) / p * 100;
  }
}

void k_dpo(const double *const *in, double *out, std::size_t n) {
  // Shifted by 11 with the mean filled in, minus a 20-day mean: the filled rows fall inside the
  // mean's warm-up, so they are NaN.
  rolling_mean(in[0], n, 20, 20, out);
  for (std::size_t i = 0; i < n; ++i) out[i] = lag(in[0], i, 11) - out[i];
}

void typical_price(const double *const *in, double *tp, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) tp[i] = (in[0][i] + in[1][i] + in[2][i]) / 3.0;
}

void k_cci(const double *const *in, double *out, std::size_t n) {
  constexpr std::size_t w = 20;
  Buf tp(n), mean(n), mad(n);
  typical_price(in, tp.data(), n);
  rolling_mean(tp.data(), n, w, w, mean.data());
  rolling_apply(tp.data(), n, w, [](const double *x) {
    const double m = np_sum(x, w) / static_cast<double>(w);
    double dev[w];
    for (std::size_t i = 0; i < w; ++i) dev[i] = std::fabs(x[i] - m);
    return np_sum(dev, w) / static_cast<double>(w);
  }, mad.data());
  for (std::size_t i = 0; i < n; ++i) out[i] = (tp[i] - mean[i]) / (0.015 * mad[i]);
}

// ---- volatility -------------------------------------------------------------------------------

enum class Band { mavg, hband, lband, wband, pband };
template <Band which>
void k_bollinger(const double *const *in, double *out, std::size_t n) {
  const double *c = in[0];
  Buf mavg(n), sd(n);
  rolling_mean(c, n, 20, 20, mavg.data());
  rolling_std0(c, n, 20, 20, sd.data());
  for (std::size_t i = 0; i < n; ++i) {
    const double h = mavg[i] + 2.0 * sd[i], l = mavg[i] - 2.0 * sd[i];
    switch (which) {
      case Band::mavg: out[i] = mavg[i]; break;
      case Band::hband: out[i] = h; break;
      case Band::lband: out[i] = l; break;
      case Band::wband: out[i] = (h - l) / mavg[i] * 100; break;
      case Band::pband: out[i] = (c[i] - l) / (h != l ? h - l : kNaN); break;
    }
  }
}

void k_ulcer(const double *const *in, double *out, std::size_t n) {
  constexpr std::size_t w = 14;
  const double *c = in[0];
  Buf peak(n), dd(n);
  rolling_extreme(c, n, w, 1, true, peak.data());
  for (std::size_t i = 0; i < n; ++i) dd[i] = 100 * (c[i] - peak[i]) / peak[i];
  rolling_apply(dd.data(), n, w, [](const double *x) {
    double sq[w];
    for (std::size_t i = 0; i < w; ++i) sq[i] = x[i] * x[i] / static_cast<double>(w);
    return std::sqrt(np_sum(sq, w));
  }, out);
}

void k_atr(const double *const *in, double *out, std::size_t n) {
  constexpr std::size_t w = 14;
  const double *h = in[0], *l = in[1], *c = in[2];
  Buf tr(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double pc = lag(c, i, 1);
    double m = kNaN;  // NaN-skipping max of the three ranges
    for (double v : {h[i] - l[i], std::fabs(h[i] - pc), std::fabs(l[i] - pc)})
      if (!isnan_(v) && (isnan_(m) || v > m)) m = v;
    tr[i] = m;
  }
  std::fill(out, out + std::min(n, w - 1), 0.);
  if (n < w) return;  // `ta` raises here; min_rows keeps callers away
  double first[w];
  std::size_t count = 0;
  for (std::size_t i = 0; i < w; ++i) {
    first[i] = isnan_(tr[i]) ? 0. : tr[i];
    count += !isnan_(tr[i]);
  }
  out[w - 1] = np_sum(first, w) / static_cast<double>(count);
  for (std::size_t i = w; i < n; ++i)
    out[i] = (out[i - 1] * static_cast<double>(w - 1) + tr[i]) / static_cast<double>(w);
}

// ---- momentum over high/low/close -------------------------------------------------------------

void k_williams_r(const double *const *in, double *out, std::size_t n) {
  Buf hh(n), ll(n);
  rolling_extreme(in[0], n, 14, 14, true, hh.data());
  rolling_extreme(in[1], n, 14, 14, false, ll.data());
  for (std::size_t i = 0; i < n; ++i) out[i] = -100 * (hh[i] - in[2][i]) / (hh[i] - ll[i]);
}

template <bool signal>
void k_stoch(const double *const *in, double *out, std::size_t n) {
  Buf hh(n), ll(n), k(n);
  rolling_extreme(in[0], n, 14, 14, true, hh.data());
  rolling_extreme(in[1], n, 14, 14, false, ll.data());
  double *dst = signal ? k.data() : out;
  for (std::size_t i = 0; i < n; ++i) dst[i] = 100 * (in[2][i] - ll[i]) / (hh[i] - ll[i]);
  if (signal) rolling_mean(k.data(), n, 3, 3, out);
}

// ---- volume -----------------------------------------------------------------------------------

void k_obv(const double *const *in, double *out, std::size_t n) {
  const double *c = in[0], *v = in[1];
  double acc = 0.;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = c[i] < lag(c, i, 1) ? -v[i] : v[i];
    out[i] = isnan_(x) ? kNaN : (acc += x);  // cumsum skips NaN without resetting
  }
}

void k_mfi(const double *const *in, double *out, std::size_t n) {
  constexpr std::size_t w = 14;
  Buf tp(n), flow(n), pos(n);
  typical_price(in, tp.data(), n);
  for (std::size_t i = 0; i < n; ++i) {
    const double p = lag(tp.data(), i, 1);
    const double dir = tp[i] > p ? 1. : tp[i] < p ? -1. : 0.;
    flow[i] = tp[i] * in[3][i] * dir;
  }
  // Split each flow once (not once per window it falls in): the sign tests are the costly part.
  // Non-finite flows stay NaN on both sides so the windows holding them are skipped alike.
  Buf gain(n), loss(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double f = std::isfinite(flow[i]) ? flow[i] : kNaN;
    gain[i] = f >= 0.0 || isnan_(f) ? f : 0.0;
    loss[i] = f < 0.0 || isnan_(f) ? f : 0.0;
  }
  auto sum = [](const double *x) { return np_sum(x, w); };
  rolling_apply(gain.data(), n, w, sum, pos.data());
  rolling_apply(loss.data(), n, w, sum, out);
  for (std::size_t i = 0; i < n; ++i) out[i] = 100 - 100 / (1 + pos[i] / std::fabs(out[i]));
}

void k_force_index(const double *const *in, double *out, std::size_t n) {
  const double *c = in[0];
  Buf f(n);
  for (std::size_t i = 0; i < n; ++i) f[i] = (c[i] - lag(c, i, 1)) * in[1][i];
  ema(f.data(), n, 13, out);
}

constexpr Kernel kTable[] = {
    {"momentum", "rsi", 1, k_rsi},
    {"momentum", "roc", 1, k_roc},
    {"momentum", "stochrsi", 1, k_stochrsi<Stoch::raw>},
    {"momentum", "stochrsi_k", 1, k_stochrsi<Stoch::k>},
    {"momentum", "stochrsi_d", 1, k_stochrsi<Stoch::d>},
    {"momentum", "tsi", 1, k_tsi},
    {"momentum", "kama", 1, k_kama},
    {"momentum", "williams_r", 3, k_williams_r},
    {"momentum", "stoch", 3, k_stoch<false>},
    {"momentum", "stoch_signal", 3, k_stoch<true>},
    {"trend", "sma_indicator", 1, k_sma},
    {"trend", "ema_indicator", 1, k_ema},
    {"trend", "wma_indicator", 1, k_wma},
    {"trend", "macd", 1, k_macd<Macd::line>},
    {"trend", "macd_signal", 1, k_macd<Macd::signal>},
    {"trend", "macd_diff", 1, k_macd<Macd::diff>},
    {"trend", "trix", 1, k_trix},
    {"trend", "dpo", 1, k_dpo},
    {"trend", "cci", 3, k_cci},
    {"volatility", "bollinger_mavg", 1, k_bollinger<Band::mavg>},
    {"volatility", "bollinger_hband", 1, k_bollinger<Band::hband>},
    {"volatility", "bollinger_lband", 1, k_bollinger<Band::lband>},
    {"volatility", "bollinger_wband", 1, k_bollinger<Band::wband>},
    {"volatility", "bollinger_pband", 1, k_bollinger<Band::pband>},
    {"volatility", "ulcer_index", 1, k_ulcer},
    {"volatility", "average_true_range", 3, k_atr, 14},
    {"volume", "on_balance_volume", 2, k_obv},
    {"volume", "money_flow_index", 4, k_mfi},
    {"volume", "force_index", 2, k_force_index},
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
  std::atomic<bool> failed{false};  // a thread's scratch allocation failed: the others stop
  alphaloom::split_ranges(
      static_cast<std::int64_t>(cols), static_cast<int>(n_threads),
      [&](std::int64_t begin, std::int64_t end, int) {
        for (auto c = static_cast<std::size_t>(begin);
             c < static_cast<std::size_t>(end) && !failed.load(std::memory_order_relaxed); ++c)
          column(c);
      },
      [&] { failed.store(true, std::memory_order_relaxed); });
}

}  // namespace factorsearch::ta
