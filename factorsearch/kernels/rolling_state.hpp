// Running state shared by the windowed kernels (native indicators and built-in operators).
// Pure C++: no interpreter.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>

namespace factorsearch {

// Welford's running mean and sum of squared deviations, each update Kahan-compensated (separate
// compensations for adding and dropping), as pandas rolls a variance. NaN values are skipped.
struct Welford {
  double nobs = 0, mean = 0, ssq = 0, comp_add = 0, comp_rem = 0;
  void add(double v) {
    if (v != v) return;
    nobs += 1;
    const double prev_mean = mean - comp_add, y = v - comp_add, t = y - mean;
    comp_add = t + mean - y;
    mean += t / nobs;
    ssq += (v - prev_mean) * (v - mean);
  }
  void remove(double v) {
    nobs -= 1;
    if (nobs != 0) {
      const double prev_mean = mean - comp_rem, y = v - comp_rem, t = y - mean;
      comp_rem = t + mean - y;
      mean -= t / nobs;
      ssq -= (v - prev_mean) * (v - mean);
    } else {
      mean = ssq = 0;  // the compensations carry on, as in pandas
    }
  }
};

// pandas' rolling sum and mean: Kahan-compensated sums (separate compensations for adding and
// dropping), a window of equal values giving exactly that value (times the count for a sum), and a
// mean of one sign never rounding to the other. NaN values are skipped; `minp` is min_periods.
struct RollingSum {
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
    if (v != v) return;
    ++nobs;
    const double y = v - comp_add, t = sum + y;
    comp_add = t - sum - y;
    sum = t;
    if (std::signbit(v)) ++neg;
    same = v == prev ? same + 1 : 1;
    prev = v;
  }
  void remove(double v) {
    if (v != v) return;
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
      return std::numeric_limits<double>::quiet_NaN();
    }
    if (n >= minp && nobs > 0) {
      double r = sum / static_cast<double>(nobs);
      if (same >= nobs) r = prev;
      else if (neg == 0 && r < 0) r = 0;
      else if (neg == nobs && r > 0) r = 0;
      return r;
    }
    return std::numeric_limits<double>::quiet_NaN();
  }
};

}  // namespace factorsearch
