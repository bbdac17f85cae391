// The one chunk runner every search driver uses: items [0, n) of a call go out in chunks of
// consecutive items to the call's own process pool, a Dask cluster or any concurrent.futures
// executor (chosen in start(), the one place that chooses); answers come back in any order and are
// handed to the driver's ChunkWork; data that a worker lacks or lost is sent again; a worker's
// death is replayed here, one item at a time, to find the item that causes it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "factorsearch/runtime/executor_parts.hpp"

namespace factorsearch {

// What a driver's items are and what it does with their answers.
class ChunkWork {
 public:
  virtual ~ChunkWork() = default;
  // The arguments after (job, data) of the worker's chunk function for items [c.start, c.stop).
  virtual py::tuple items(const Chunk &c) = 0;
  // A chunk's answer, a tuple whose element 1 is the seconds the chunk took.
  virtual void accept(const Chunk &c, py::handle answer) = 0;
  // After each batch of answers has been accepted.
  virtual void batch_done() {}
  // False once the call needs nothing more.
  virtual bool wants_more() = 0;
  // The last item still needed (chunks starting after it are cancelled and none are sent), or -1.
  virtual std::int64_t cutoff() { return -1; }
  // A worker died during one of the chunks `out`, `failed` the one whose future said so; the
  // replay accepted every item before `culprit`, the first item that kills a worker (-1: none did
  // within kReplayAtMost items, or the replay stopped on another error). Raises, or returns when
  // the call has what it needs after all.
  virtual void worker_died(const Chunk &failed, const std::vector<Chunk> &out,
                           std::int64_t culprit, py::object exc) = 0;
  // A chunk raised something else than a worker's death or an interrupt.
  [[noreturn]] virtual void chunk_failed(const Chunk &c, py::object exc) = 0;
};

class ChunkRunner {
 public:
  static constexpr std::int64_t kReplayAtMost = 256;

  // `chunk_fn(job, data, *items)` runs a chunk in a worker and `init_fn(init_head, data, threads,
  // parent_pid)` starts a worker of the own pool (module attributes of `mod`).
  ChunkRunner(py::handle mod, const char *chunk_fn, const char *init_fn, py::tuple job,
              py::object init_head, py::object data);

  // n_jobs > 1: a pool of the call's own, the data in each worker's initializer; a Dask client
  // (or an executor of one): the data broadcast once; any other executor: the data with its
  // first wave of chunks.
  void start(std::int64_t n_jobs, py::handle executor);
  // Runs items [0, n) through `work`. Chunk sizes learnt here carry over to the next run.
  void run(std::int64_t n, ChunkWork &work);
  // Cancels what is out and stops the own pool, at once (also when the last run left chunks
  // running that nothing needs) or after the running chunks.
  void close(bool now);
  std::int64_t data_sent() const { return delivery_.sent(); }

 private:
  void submit(const Chunk &c, bool resend);
  void loop();
  void collect(Flight &f);
  void executor_cancelled(Flight &f);
  void failed(const Flight &f, py::object exc, bool died = false);
  void worker_died(const Chunk &failed, py::object exc);
  void cancelled_by_executor(const Flight &f);
  std::vector<Chunk> chunks_out(const Chunk &failed);
  std::int64_t replay(std::vector<Chunk> chunks);

  py::handle mod_;
  py::object chunk_fn_, init_fn_;
  py::tuple job_;
  py::object init_head_;
  DataDelivery delivery_;
  py::object executor_;
  bool own_pool_ = false;
  std::int64_t workers_ = 1, timed_items_ = 0;
  double target_seconds_ = 0.5, timed_seconds_ = 0;
  std::optional<ChunkSchedule> schedule_;
  std::vector<Flight> uncollected_;  // finished flights of the batch being collected
  ChunkWork *work_ = nullptr;        // during run()
  bool leftover_ = false;            // the last run ended with chunks still out
};

}  // namespace factorsearch
