#include "factorsearch/kernels/builtin_kernels.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "factorsearch/kernels/day_order.hpp"
#include "factorsearch/kernels/rolling_state.hpp"

namespace factorsearch::builtin {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Runs `f(window)` on every full window of W dates without NaN or infinity (pandas' rolling
// windows take infinities for missing values), NaN elsewhere. `window` points at the oldest date.
template <int W, typename F>
void each_window(const double *x, double *out, std::size_t rows, F &&f) {
  std::size_t nans = 0;
  for (std::size_t t = 0; t < rows; ++t) {
    if (!std::isfinite(x[t])) ++nans;
    if (t >= W && !std::isfinite(x[t - W])) --nans;
    out[t] = (t + 1 < W || nans > 0) ? kNaN : f(x + t + 1 - W);
  }
}

template <int W, typename F>
void each_pair_window(const double *x, const double *y, double *out, std::size_t rows, F &&f) {
  std::size_t nans = 0;
  for (std::size_t t = 0; t < rows; ++t) {
    if (!std::isfinite(x[t]) || !std::isfinite(y[t])) ++nans;
    if (t >= W && (!std::isfinite(x[t - W]) || !std::isfinite(y[t - W]))) --nans;
    out[t] = (t + 1 < W || nans > 0) ? kNaN : f(x + t + 1 - W, y + t + 1 - W);
  }
}

struct Moments {
  double mean, std;  // std with W - 1 degrees of freedom
  bool constant;
};

// A window of equal values has exactly its value as mean and 0 as std, as pandas gives, rather than
// the rounding residue of summing it.
template <int W>
Moments moments(const double *w) {
  double lo = w[0], hi = w[0], sum = 0.0;
  for (int k = 0; k < W; ++k) {
    lo = std::min(lo, w[k]);
    hi = std::max(hi, w[k]);
    sum += w[k];
  }
  if (lo == hi && std::isfinite(lo)) return {lo, 0.0, true};
  const double mean = sum / W;
  double ss = 0.0;
  for (int k = 0; k < W; ++k) ss += (w[k] - mean) * (w[k] - mean);
  return {mean, std::sqrt(ss / (W - 1)), false};
}

template <typename Column>
void per_column(const double *const *in, double *out, std::size_t rows, std::size_t cols,
                Column &&column) {
  for (std::size_t j = 0; j < cols; ++j) column(in[0] + j * rows, out + j * rows);
}

template <int K>
void shift(const double *const *in, double *out, std::size_t rows, std::size_t cols) {
  per_column(in, out, rows, cols, [rows](const double *x, double *o) {
    for (std::size_t t = 0; t < rows; ++t) o[t] = t < K ? kNaN : x[t - K];
  });
}

template <int K>
void delta(const double *const *in, double *out, std::size_t rows, std::size_t cols) {
  per_column(in, out, rows, cols, [rows](const double *x, double *o) {
    for (std::size_t t = 0; t < rows; ++t) o[t] = t < K ? kNaN : x[t] - x[t - K];
  });
}

// pandas' rolling windows see infinities as missing values.
inline double finite_or_nan(double v) { return std::isinf(v) ? kNaN : v; }

// pandas' online rolling mean, step for step (Kahan-compensated sum added to and removed from as
// the window slides, exact value for a run of equal values, sign kept when all signs agree), so
// the results are bit-identical to x.rolling(W).mean().
template <int W>
void rolling_mean(const double *x, double *o, std::size_t rows) {
  RollingSum st{W, true};
  st.reset(rows ? finite_or_nan(x[0]) : 0.0);
  for (std::size_t t = 0; t < rows; ++t) {
    if (t >= W) st.remove(finite_or_nan(x[t - W]));
    st.add(finite_or_nan(x[t]));
    o[t] = st.value();
  }
}

// pandas' rolling variance (ddof 1) step for step, including its rebuild of the running state
// from the window's values when dropping one collapses the sum of squares by more than
// 1 / (1000 eps), then the square root as x.rolling(W).std() takes it. One departure: a window of
// equal values has deviation exactly 0, where pandas may leave a rounding residue (2.5e-6 on a
// flat price after a jump) that would give its z-score a meaningless size.
template <int W>
void rolling_std(const double *x, double *o, std::size_t rows) {
  constexpr double kCollapse = 1000 * std::numeric_limits<double>::epsilon();
  Welford st;
  double prev = rows ? finite_or_nan(x[0]) : 0.0;
  long same = 0;
  for (std::size_t t = 0; t < rows; ++t) {
    if (t >= W) {
      const double v = finite_or_nan(x[t - W]);
      if (!std::isnan(v)) {
        const double before = st.ssq;
        st.remove(v);
        if (st.nobs != 0.0 && st.ssq < before * kCollapse) {
          st = Welford{};
          for (std::size_t k = t - W + 1; k < t; ++k) st.add(finite_or_nan(x[k]));
        }
      }
    }
    const double v = finite_or_nan(x[t]);
    if (!std::isnan(v)) {
      same = v == prev ? same + 1 : 1;
      prev = v;
    }
    st.add(v);
    double var = kNaN;
    if (st.nobs >= W && st.nobs > 1.0) var = same >= st.nobs ? 0.0 : st.ssq / (st.nobs - 1.0);
    o[t] = var < 0 ? 0.0 : std::sqrt(var);
  }
}

template <int W>
void mean(const double *const *in, double *out, std::size_t rows, std::size_t cols) {
  per_column(in, out, rows, cols,
             [rows](const double *x, double *o) { rolling_mean<W>(x, o, rows); });
}

template <int W>
void stdev(const double *const *in, double *out, std::size_t rows, std::size_t cols) {
  per_column(in, out, rows, cols,
             [rows](const double *x, double *o) { rolling_std<W>(x, o, rows); });
}

// (x - mean) / std from the two pandas windows above, cell by cell as pandas divides them.
template <int W>
void zscore(const double *const *in, double *out, std::size_t rows, std::size_t cols) {
  std::vector<double> m(rows), s(rows);
  per_column(in, out, rows, cols, [&](const double *x, double *o) {
    rolling_mean<W>(x, m.data(), rows);
    rolling_std<W>(x, s.data(), rows);
    for (std::size_t t = 0; t < rows; ++t) o[t] = (x[t] - m[t]) / s[t];
  });
}

template <int W, bool Max>
void extreme(const double *const *in, double *out, std::size_t rows, std::size_t cols) {
  per_column(in, out, rows, cols, [rows](const double *x, double *o) {
    each_window<W>(x, o, rows, [](const double *w) {
      double v = w[0];
      for (int k = 1; k < W; ++k) v = Max ? std::max(v, w[k]) : std::min(v, w[k]);
      return v;
    });
  });
}

// Rank of the newest value within its window, 1 = smallest, ties sharing their average rank.
template <int W>
void rank(const double *const *in, double *out, std::size_t rows, std::size_t cols) {
  per_column(in, out, rows, cols, [rows](const double *x, double *o) {
    each_window<W>(x, o, rows, [](const double *w) {
      const double last = w[W - 1];
      int below = 0, equal = 0;
      for (int k = 0; k < W; ++k) {
        below += w[k] < last;
        equal += w[k] == last;
      }
      return below + (equal + 1) / 2.0;
    });
  });
}

// Pearson correlation of the two windows; NaN when either is constant (no variance to divide by).
template <int W>
void corr(const double *const *in, double *out, std::size_t rows, std::size_t cols) {
  for (std::size_t j = 0; j < cols; ++j)
    each_pair_window<W>(in[0] + j * rows, in[1] + j * rows, out + j * rows, rows,
                        [](const double *x, const double *y) {
                          const Moments mx = moments<W>(x), my = moments<W>(y);
                          if (mx.constant || my.constant) return kNaN;
                          double sxx = 0.0, syy = 0.0, sxy = 0.0;
                          for (int k = 0; k < W; ++k) {
                            const double dx = x[k] - mx.mean, dy = y[k] - my.mean;
                            sxx += dx * dx;
                            syy += dy * dy;
                            sxy += dx * dy;
                          }
                          return std::clamp(sxy / std::sqrt(sxx * syy), -1.0, 1.0);
                        });
}

// Dates gathered at a time by per_row: one cache line of each stock's column per gather, so a
// row-wise operator reads and writes the column-major panel at memory speed.
constexpr std::size_t kRowBlock = 8;

// One date's cells across the stocks: gathers the row, lets `f` fill the output row.
template <typename Row>
void per_row(const double *x, double *out, std::size_t rows, std::size_t cols, Row &&f) {
  std::vector<double> in_rows(kRowBlock * cols), out_rows(kRowBlock * cols);  // row-major
  for (std::size_t t0 = 0; t0 < rows; t0 += kRowBlock) {
    const std::size_t nb = std::min(kRowBlock, rows - t0);
    for (std::size_t j = 0; j < cols; ++j)
      for (std::size_t b = 0; b < nb; ++b) in_rows[b * cols + j] = x[j * rows + t0 + b];
    for (std::size_t b = 0; b < nb; ++b)
      f(std::span<const double>(in_rows.data() + b * cols, cols),
        std::span<double>(out_rows.data() + b * cols, cols));
    for (std::size_t j = 0; j < cols; ++j)
      for (std::size_t b = 0; b < nb; ++b) out[j * rows + t0 + b] = out_rows[b * cols + j];
  }
}

// Mean and sample std (ddof 1) of the row's numbers; std is NaN for fewer than two numbers and for
// a row of equal numbers, where a z-score has no meaning.
std::pair<double, double> row_moments(std::span<const double> row) {
  double sum = 0.0, lo = std::numeric_limits<double>::infinity(), hi = -lo;
  std::size_t n = 0;
  for (double v : row)
    if (!std::isnan(v)) {
      sum += v;
      lo = std::min(lo, v);
      hi = std::max(hi, v);
      ++n;
    }
  if (n == 0) return {kNaN, kNaN};
  const double mean = lo == hi ? lo : sum / static_cast<double>(n);
  if (n < 2 || lo == hi) return {mean, kNaN};
  double ss = 0.0;
  for (double v : row)
    if (!std::isnan(v)) ss += (v - mean) * (v - mean);
  return {mean, std::sqrt(ss / static_cast<double>(n - 1))};
}

void cs_demean(const double *const *in, double *out, std::size_t rows, std::size_t cols) {
  per_row(in[0], out, rows, cols, [](std::span<const double> row, std::span<double> res) {
    const double mean = row_moments(row).first;
    for (std::size_t j = 0; j < row.size(); ++j) res[j] = row[j] - mean;
  });
}

void cs_zscore(const double *const *in, double *out, std::size_t rows, std::size_t cols) {
  per_row(in[0], out, rows, cols, [](std::span<const double> row, std::span<double> res) {
    const auto [mean, sd] = row_moments(row);
    for (std::size_t j = 0; j < row.size(); ++j) res[j] = (row[j] - mean) / sd;
  });
}

// Average rank among the row's numbers divided by their count; NaN cells stay NaN. The row is
// ordered by radix sort (day_order.hpp): equal numbers are adjacent, which is all ranks need.
void cs_rank(const double *const *in, double *out, std::size_t rows, std::size_t cols) {
  std::vector<KeyedPosition> order, spare;
  per_row(in[0], out, rows, cols, [&](std::span<const double> row, std::span<double> res) {
    order.clear();
    for (std::size_t j = 0; j < row.size(); ++j) {
      res[j] = kNaN;
      if (!std::isnan(row[j])) order.push_back({order_key(row[j]), static_cast<std::uint32_t>(j)});
    }
    radix_sort(order, spare);
    const auto n = static_cast<double>(order.size());
    for (std::size_t a = 0; a < order.size();) {
      std::size_t b = a;
      while (b < order.size() && order[b].key == order[a].key) ++b;
      const double r = (static_cast<double>(a + 1) + static_cast<double>(b)) / 2.0 / n;
      for (std::size_t k = a; k < b; ++k) res[order[k].position] = r;
      a = b;
    }
  });
}

constexpr std::array<Operator, 14> kOperators{{
    {"delay_1", 1, false, "x.shift(1)", shift<1>},
    {"delta_1", 1, false, "x - x.shift(1)", delta<1>},
    {"delta_5", 1, false, "x - x.shift(5)", delta<5>},
    {"ts_mean_5", 1, false, "x.rolling(5).mean()", mean<5>},
    {"ts_mean_20", 1, false, "x.rolling(20).mean()", mean<20>},
    {"ts_std_20", 1, false, "x.rolling(20).std()", stdev<20>},
    {"ts_min_10", 1, false, "x.rolling(10).min()", extreme<10, false>},
    {"ts_max_10", 1, false, "x.rolling(10).max()", extreme<10, true>},
    {"ts_rank_10", 1, false, "x.rolling(10).rank()", rank<10>},
    {"ts_corr_10", 2, false, "x.rolling(10).corr(y)", corr<10>},
    {"ts_zscore_20", 1, false, "(x - x.rolling(20).mean()) / x.rolling(20).std()", zscore<20>},
    {"cs_rank", 1, true, "x.rank(axis=1, pct=True)", cs_rank},
    {"cs_zscore", 1, true, "x.sub(x.mean(axis=1), axis=0).div(x.std(axis=1), axis=0)", cs_zscore},
    {"cs_demean", 1, true, "x.sub(x.mean(axis=1), axis=0)", cs_demean},
}};

}  // namespace

std::span<const Operator> operators() { return kOperators; }

}  // namespace factorsearch::builtin
