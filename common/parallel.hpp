// Contiguous row ranges on several threads, for the fused kernels. Pure C++: no interpreter.
#pragma once

#include <cstdint>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace alphaloom {

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
