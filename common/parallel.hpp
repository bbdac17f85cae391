// Contiguous row ranges on several threads, for the fused kernels. Pure C++: no interpreter.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#ifdef __linux__
#include <sched.h>
#endif

namespace alphaloom {

// How many threads a kernel over `rows` independent rows runs on: no more than `requested` (the
// tensor library's thread count), no more than one per `min_rows` rows, and only as many as the
// work pays for, since starting a thread costs more than a small share of work. `work_per_row`
// is in multiply-adds of float32 vectors (a kernel with costlier steps scales its count); one
// thread's share should be at least kMinWorkPerThread, a few milliseconds.
inline constexpr std::int64_t kMinWorkPerThread = std::int64_t{1} << 24;

inline int kernel_threads(std::int64_t rows, std::int64_t work_per_row, int requested,
                          std::int64_t min_rows = 1) {
  const std::int64_t by_work = std::max<std::int64_t>(1, rows * work_per_row / kMinWorkPerThread);
  const std::int64_t by_rows = std::max<std::int64_t>(1, rows / std::max<std::int64_t>(min_rows, 1));
  return static_cast<int>(std::clamp<std::int64_t>(
      std::min<std::int64_t>({std::int64_t{requested}, by_work, by_rows}), 1, 1024));
}

// The cores this process may run on (its affinity mask where the system has one).
inline int usable_cores() {
#ifdef __linux__
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
#endif
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// The one thread rule of the native kernels: a process runs its kernels on the cap set for it
// (a pool worker shares the cores with its siblings), else on every usable core.
inline std::atomic<int> &thread_cap() {
  static std::atomic<int> cap{0};
  return cap;
}
inline void cap_process_threads(int threads) {
  thread_cap().store(std::max(threads, 0), std::memory_order_relaxed);
}
inline int process_threads() {
  if (int cap = thread_cap().load(std::memory_order_relaxed); cap > 0) return cap;
  return usable_cores();
}
// Each of `workers` processes on this machine gets an equal share of the usable cores.
inline int core_share(std::int64_t workers) {
  return static_cast<int>(
      std::max<std::int64_t>(1, usable_cores() / std::max<std::int64_t>(workers, 1)));
}

// Sums of shared-parameter gradients, one row of doubles per thread (threads never write the
// same memory), added up in thread order at the end so the result does not depend on timing.
// A thread's row is allocated, zeroed, on first use.
class PartialSums {
 public:
  PartialSums(int threads, std::int64_t size)
      : size_(size), parts_(static_cast<std::size_t>(std::max(threads, 1))) {}

  double *of(int thread) {
    std::vector<double> &part = parts_[static_cast<std::size_t>(thread)];
    if (part.empty()) part.assign(static_cast<std::size_t>(size_), 0.0);
    return part.data();
  }
  // Adds a float block of `size` values into this thread's row.
  void add(int thread, const float *block) {
    double *row = of(thread);
    for (std::int64_t i = 0; i < size_; ++i) row[i] += block[i];
  }
  // The sum over threads of element i.
  double total(std::int64_t i) const {
    double v = 0.0;
    for (const auto &part : parts_)
      if (!part.empty()) v += part[static_cast<std::size_t>(i)];
    return v;
  }
  std::int64_t size() const { return size_; }

 private:
  std::int64_t size_;
  std::vector<std::vector<double>> parts_;
};

// Runs fn(begin, end, t) for t = 0 .. k-1 over k contiguous ranges of [0, n), range 0 on the
// caller's thread (the one that may poll for interrupts). A range whose thread cannot be started
// runs on the caller's thread after its own, so the work is always done. Every thread is joined
// before the first error, in range order, is rethrown; `on_error` runs on the failing thread so
// the others can stop early.
template <typename Fn, typename OnError>
void split_ranges(std::int64_t n, int k, Fn &&fn, OnError &&on_error) {
  if (k <= 1) {
    fn(std::int64_t{0}, n, 0);
    return;
  }
  auto run = [&](int t, std::exception_ptr &error) {
    try {
      fn(n * t / k, n * (t + 1) / k, t);
    } catch (...) {
      error = std::current_exception();
      on_error();
    }
  };
  std::vector<std::exception_ptr> errors(k);
  std::vector<std::thread> pool;
  pool.reserve(k - 1);
  int started = 1;
  for (; started < k; ++started) {
    try {
      pool.emplace_back(run, started, std::ref(errors[started]));
    } catch (const std::system_error &) {
      break;
    }
  }
  run(0, errors[0]);
  for (int t = started; t < k; ++t) run(t, errors[t]);
  for (auto &th : pool) th.join();
  for (auto &err : errors)
    if (err) std::rethrow_exception(err);
}

}  // namespace alphaloom
