// Independent back-test days spread over threads by the one thread rule (common/parallel.hpp).
// Pure C++: no interpreter. A day's figures are computed by the same code on whichever thread
// runs it, and the callers add the days up in date order afterwards, so every result is the same
// bit for bit for any number of threads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/parallel.hpp"

namespace factorsearch {

// Threads a caller offers a kernel: at most `count`; `exact` (a test's request) takes them all
// even where the work would not pay for them.
struct Threads {
  int count = 1;
  bool exact = false;
};

// Threads for `days` days of about `work_per_day` simple steps each (a value moved or compared).
inline int day_threads(std::size_t days, std::size_t work_per_day, Threads offered) {
  if (offered.exact) return std::max(1, std::min<int>(offered.count, static_cast<int>(days)));
  // kernel_threads counts float32 multiply-adds; a step here costs about four of them.
  return alphaloom::kernel_threads(static_cast<std::int64_t>(days),
                                   static_cast<std::int64_t>(4 * work_per_day), offered.count);
}

// Calls fn(i, thread) for i in [0, count) on `threads` threads, each one a contiguous run of i.
// fn writes only what belongs to its i and to its thread's own scratch.
template <typename Fn>
void for_days(std::size_t count, int threads, Fn &&fn) {
  alphaloom::split_ranges(
      static_cast<std::int64_t>(count), threads,
      [&](std::int64_t begin, std::int64_t end, int thread) {
        for (auto i = static_cast<std::size_t>(begin); i < static_cast<std::size_t>(end); ++i)
          fn(i, thread);
      },
      [] {});
}

}  // namespace factorsearch
