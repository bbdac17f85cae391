// Independent back-test days spread over threads by the one thread rule (common/parallel.hpp).
// Pure C++: no interpreter. A day's figures are computed by the same code on whichever thread
// runs it, and the callers add the days up in date order afterwards, so every result is the same
// bit for bit for any number of threads.
#pragma once

#include <atomic>
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

// Set by tests and benchmarks (factorsearch._set_kernel_threads): the day-wise kernels then take
// exactly the process's thread count even where their work would not pay for the threads.
inline std::atomic<bool> &exact_threads() {
  static std::atomic<bool> exact{false};
  return exact;
}
inline void set_kernel_threads(int threads) {
  alphaloom::cap_process_threads(threads);
  exact_threads().store(threads > 0, std::memory_order_relaxed);
}
// What this process offers a kernel, by the one thread rule (common/parallel.hpp).
inline Threads offered_threads() {
  return {alphaloom::process_threads(), exact_threads().load(std::memory_order_relaxed)};
}

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
