// Running state shared by the windowed kernels (native indicators and built-in operators).
// Pure C++: no interpreter.
#pragma once

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

}  // namespace factorsearch
