// How much a back-tested Sharpe ratio can be trusted: its standard error, the probability that
// the true Sharpe exceeds a benchmark (probabilistic Sharpe), and that benchmark raised to the
// Sharpe the best of N tries would reach by luck alone (deflated Sharpe). Pure C++, header only,
// shared by report, mine and evolve so a formula is judged by one rule wherever it is judged.
//
// Conventions (Bailey & Lopez de Prado): r are daily returns with missing days counted as 0,
// SR = mean(r) / std(r, ddof=1) per day (not annualised), skew and kurt the population
// standardised third and fourth moments (kurt is 3 for a normal, not excess).
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>
#include <span>
#include <vector>

#include "common/stats.hpp"

namespace alphaloom {

namespace sharpe_detail {
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}

inline double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::numbers::sqrt2); }

// Inverse of normal_cdf. A rational first guess (Acklam), then one Halley step on erfc, which
// brings it to full double precision over (0, 1); 0 and 1 give -inf and +inf.
inline double normal_quantile(double p) {
  if (std::isnan(p) || p < 0.0 || p > 1.0) return sharpe_detail::kNaN;
  if (p == 0.0) return -std::numeric_limits<double>::infinity();
  if (p == 1.0) return std::numeric_limits<double>::infinity();
  static constexpr double a[] = {-3.969683028665376e+01, 2.209460984245205e+02,
                                 -2.759285104469687e+02, 1.383577518672690e+02,
                                 -3.066479806614716e+01, 2.506628277459239e+00};
  static constexpr double b[] = {-5.447609879822406e+01, 1.615858368580409e+02,
                                 -1.556989798598866e+02, 6.680131188771972e+01,
                                 -1.328068155288572e+01};
  static constexpr double c[] = {-7.784894002430293e-03, -3.223964580411365e-01,
                                 -2.400758277161838e+00, -2.549732539343734e+00,
                                 4.374664141464968e+00,  2.938163982698783e+00};
  static constexpr double d[] = {7.784695709041462e-03, 3.224671290700398e-01,
                                 2.445134137142996e+00, 3.754408661907416e+00};
  constexpr double low = 0.02425;
  double x;
  if (p < low) {
    const double q = std::sqrt(-2.0 * std::log(p));
    x = (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
        ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
  } else if (p <= 1.0 - low) {
    const double q = p - 0.5, r = q * q;
    x = (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
        (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0);
  } else {
    const double q = std::sqrt(-2.0 * std::log1p(-p));
    x = -(((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
        ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
  }
  // Halley on the upper or lower tail, whichever keeps the error term free of cancellation.
  const double e = p > 0.5 ? 0.5 * std::erfc(x / std::numbers::sqrt2) - (1.0 - p)
                           : 0.5 * std::erfc(-x / std::numbers::sqrt2) - p;
  const double sign = p > 0.5 ? -1.0 : 1.0;
  const double u = sign * e * std::sqrt(2.0 * std::numbers::pi) * std::exp(0.5 * x * x);
  return x - u / (1.0 + 0.5 * x * u);
}

// What the Sharpe inference needs of one return series.
struct SharpeMoments {
  double sr = sharpe_detail::kNaN;    // mean / std(ddof=1), per day
  double skew = sharpe_detail::kNaN;  // population standardised 3rd moment
  double kurt = sharpe_detail::kNaN;  // population standardised 4th moment (3 for a normal)
  std::size_t t = 0;   // number of returns
};

// Missing (NaN) returns count as 0. A flat series has SR, skew and kurt NaN.
inline SharpeMoments sharpe_moments(std::span<const double> r) {
  SharpeMoments m;
  m.t = r.size();
  if (m.t < 2) return m;
  std::vector<double> x(r.begin(), r.end());
  bool flat = true;  // exactly: a constant series would otherwise show a rounding residue
  for (double &v : x) {
    if (std::isnan(v)) v = 0.0;
    flat = flat && v == x[0];
  }
  if (flat) return m;
  const stats::Moments mo = stats::moments(x);
  if (!(mo.sample_std > 0.0) || !std::isfinite(mo.sample_std)) return m;
  m.sr = mo.mean / mo.sample_std;
  m.skew = mo.skew;
  m.kurt = mo.kurtosis;
  return m;
}

// 1 - skew*SR + (kurt-1)/4*SR^2: the variance factor of the Sharpe estimate (1 + SR^2/2 for
// normal returns).
inline double sharpe_variance_factor(const SharpeMoments &m) {
  return 1.0 - m.skew * m.sr + (m.kurt - 1.0) / 4.0 * m.sr * m.sr;
}

// Standard error of the per-day SR: sqrt(variance factor / (T - 1)); NaN when undefined.
inline double sharpe_standard_error(const SharpeMoments &m) {
  const double v = sharpe_variance_factor(m);
  if (m.t < 3 || !(v > 0.0) || !std::isfinite(v)) return sharpe_detail::kNaN;
  return std::sqrt(v / static_cast<double>(m.t - 1));
}

// P(true SR > sr0) = Phi((SR - sr0) * sqrt(T - 1) / sqrt(variance factor)); NaN when T < 3 or
// the factor is not positive.
inline double probabilistic_sharpe(const SharpeMoments &m, double sr0 = 0.0) {
  const double se = sharpe_standard_error(m);
  if (std::isnan(se) || std::isnan(m.sr) || std::isnan(sr0)) return sharpe_detail::kNaN;
  return normal_cdf((m.sr - sr0) / se);
}

// The Sharpe the best of N independent tries with zero true Sharpe would show, given the spread
// of the tries' SRs: sigma * ((1 - g) * Q(1 - 1/N) + g * Q(1 - 1/(N e))), g Euler's constant,
// sigma the std (ddof=1) of the finite trial SRs and N their count; 0 for N <= 1 or sigma 0.
inline double expected_max_sharpe(std::span<const double> trial_srs) {
  std::size_t n = 0;
  double sum = 0.0;
  for (double x : trial_srs)
    if (std::isfinite(x)) sum += x, ++n;
  if (n <= 1) return 0.0;
  const double mean = sum / static_cast<double>(n);
  double sq = 0.0;
  for (double x : trial_srs)
    if (std::isfinite(x)) sq += (x - mean) * (x - mean);
  const double sigma = std::sqrt(sq / static_cast<double>(n - 1));
  if (sigma == 0.0) return 0.0;
  const double g = std::numbers::egamma;
  const double nn = static_cast<double>(n);
  return sigma * ((1.0 - g) * normal_quantile(1.0 - 1.0 / nn) +
                  g * normal_quantile(1.0 - 1.0 / (nn * std::numbers::e)));
}

// Deflated Sharpe: the probabilistic Sharpe against the expected maximum of the run's tries.
inline double deflated_sharpe(const SharpeMoments &m, std::span<const double> trial_srs) {
  return probabilistic_sharpe(m, expected_max_sharpe(trial_srs));
}

}  // namespace alphaloom
