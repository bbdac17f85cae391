// Cooperative stop for kernels that run with the GIL released. A kernel cannot see a pending
// Ctrl-C itself (no Python in there); the caller's thread polls between blocks of work, at most
// every `interval`, and when the poll says stop every worker leaves at its next block boundary.
// Pure C++: the poll function is supplied by the interpreter layer.
#pragma once

#include <atomic>
#include <chrono>

namespace alphaloom {

class StopToken {
 public:
  using Poll = bool (*)(void *context);  // true: stop the work

  StopToken() = default;
  explicit StopToken(Poll poll, void *context = nullptr,
                     std::chrono::milliseconds interval = std::chrono::milliseconds(50))
      : poll_(poll), context_(context), interval_(interval), next_(Clock::now() + interval) {}
  StopToken(const StopToken &) = delete;
  StopToken &operator=(const StopToken &) = delete;

  // Any thread, between blocks: has a stop been requested?
  bool stopped() const { return stop_.load(std::memory_order_relaxed); }

  // The thread that may poll (the caller's), between blocks. Returns stopped().
  bool poll() {
    if (stopped()) return true;
    if (!poll_) return false;
    const auto now = Clock::now();
    if (now < next_) return false;
    next_ = now + interval_;
    if (poll_(context_)) stop_.store(true, std::memory_order_relaxed);
    return stopped();
  }

  // Between blocks of a kernel split over threads: the caller's thread (0) polls, the others
  // only read the outcome.
  bool stop_here(int thread) { return thread == 0 ? poll() : stopped(); }

  // Any thread: stop every thread at its next block (e.g. one of them failed).
  void request_stop() { stop_.store(true, std::memory_order_relaxed); }

 private:
  using Clock = std::chrono::steady_clock;
  Poll poll_ = nullptr;
  void *context_ = nullptr;
  std::chrono::milliseconds interval_{50};
  Clock::time_point next_{};
  std::atomic<bool> stop_{false};
};

}  // namespace alphaloom
