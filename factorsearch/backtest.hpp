// Daily back-test of a factor panel and the statistics of its return series. Pure C++ over
// row-major float64 buffers (dates x stocks); runs without the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace factorsearch {

// The first 150 dates are never traded; the last two only supply prices.
inline constexpr std::size_t kFirstDay = 150;
inline constexpr std::size_t kMinDates = kFirstDay + 3;

// One return per back-test day t = 150 .. n-3. Each day the stocks whose factor value is present
// and neither exactly 0 nor exactly 1 are ranked ascending (ties by universe position); the long
// leg holds the `l` highest, the short leg (when `hedged`) the `l` lowest. A leg holding fewer
// than l/2 stocks returns 0; otherwise it returns the mean of (p[t+2] - p[t+1]) / p[t+1] over its
// stocks, missing when any of those is missing.
struct Ranked {
  double value;
  std::size_t stock;
};

// One back-test day as the legs were drawn: `low` (the short leg) and `high` (the long leg), each
// ascending, both empty on a day with fewer than l/2 eligible stocks (both legs return 0).
// `short_ret` is the short leg's return even in the long-only variant; `ret` is the day's entry
// of the return list.
struct Day {
  std::size_t t;
  std::span<const Ranked> low, high;
  double long_ret, short_ret, ret;
};

// Walks the back-test days in order and hands each one to `visit`: the single place legs are
// chosen, so every statistic built on top agrees with the back-test.
void walk_days(std::span<const double> panel, std::span<const double> prices, std::size_t n_dates,
               std::size_t n_stocks, std::int64_t l, bool hedged,
               const std::function<void(const Day &)> &visit);

std::vector<double> daily_returns(std::span<const double> panel, std::span<const double> prices,
                                  std::size_t n_dates, std::size_t n_stocks, std::int64_t l,
                                  bool hedged);

struct Summary {
  double net;      // last value of the net-value curve prod(1 + r)
  double sharp;    // mean / population std * sqrt(256)
  double maxdown;  // largest (running peak - curve) / running peak
};

// Missing returns count as 0 and infinities as the largest finite magnitudes. No summary (the
// attempt yields nothing) when there is no back-test day.
std::optional<Summary> summarise(std::vector<double> pft);

}  // namespace factorsearch
