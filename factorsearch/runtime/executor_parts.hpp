// The executor layer FactorSearch.mine and FactorSearch.evolve share: how the call's data reaches
// the workers (DataDelivery), which chunks of work go out and how large (ChunkSchedule), how
// operators travel and are rebuilt, and what stops or identifies a pool's workers. A call owns
// its items in order [0, n); what a chunk does with them is the caller's.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "factorsearch/expr/evaluation.hpp"

namespace factorsearch {
using namespace pybind11::literals;

inline constexpr std::int64_t kMaxChunk = 64;
inline constexpr std::int64_t kDataLosses = 2;  // Dask workers replaced this often: give up

bool is_dask_client(py::handle executor);

// Workers of an executor: its _max_workers, else 2.
std::int64_t worker_count(py::handle executor);

// Stops the pool's processes now; pending chunks are not wanted any more.
void terminate_pool(py::handle pool);

// A future's exception that means its worker process died.
bool is_worker_death(py::handle exc);

// This process's pid, for the initializer of the pools it owns.
std::int64_t own_pid();

// What every worker of a pool does first: it ends when the process that owns the pool
// (`parent_pid`, 0 for none) does, leaves Ctrl-C to that process, and runs its kernels on
// `threads` threads.
void init_pool_worker(int threads, std::int64_t parent_pid);

// A worker's data per call, in the module attribute `cache_name`: token -> [held data, the
// miner or None until the first chunk rebuilds it]. The latest two calls are kept (a worker
// serving two calls at once keeps both).
py::dict worker_cache(py::handle mod, const char *cache_name);
// Adds the call's entry, its data held by `make()`, and returns it.
py::object cache_call(py::handle mod, const char *cache_name, py::handle token,
                      const std::function<py::capsule()> &make);

// Refuses n_jobs > 1 together with an executor, and an executor without submit, before any work.
void check_runner_args(std::int64_t jobs, py::handle executor);

// A worker's KeyboardInterrupt, or Ctrl-C pending here, ends the call as Ctrl-C.
void raise_if_interrupted(py::handle exc);

// RuntimeError(message) caused by `cause`.
[[noreturn]] void raise_caused(const std::string &message, py::handle cause);

// Consecutive attempts [start, stop): the unit of work a worker gets.
struct Chunk {
  std::int64_t start, stop;
  std::int64_t size() const { return stop - start; }
  bool operator<(const Chunk &o) const { return start < o.start; }
};

// A chunk out on the executor.
struct Flight {
  Chunk chunk;
  py::object future;
  bool cancelled = false;  // by this call, because nothing after it is needed
  int generation = 0;      // of the broadcast data it refers to
};

// How the call's data reaches the workers: once per worker in the own pool's initializer,
// broadcast once to every Dask worker, or, on any other executor, with the first wave of chunks
// (a worker without it answers None and gets the chunk again with the data).
class DataDelivery {
 public:
  explicit DataDelivery(py::object data) : data_(std::move(data)) {}

  const py::object &data() const { return data_; }
  std::int64_t sent() const { return sent_; }
  int generation() const { return generation_; }
  bool broadcast() const { return static_cast<bool>(shared_); }

  void by_initializer(std::int64_t workers) { sent_ = workers; }

  // Broadcast to every worker of a Dask client; returns the threads across its workers (at
  // least one), the chunks it can run at once.
  std::int64_t by_dask(py::handle client) {
    py::dict nthreads = client.attr("nthreads")();
    std::int64_t threads = 0;
    for (auto item : nthreads) threads += item.second.cast<std::int64_t>();
    by_broadcast(py::reinterpret_borrow<py::object>(client),
                 static_cast<std::int64_t>(py::len(nthreads)));
    return std::max<std::int64_t>(threads, 1);
  }
  void by_first_wave(std::int64_t workers) { first_wave_ = workers; }

  // One future for the whole tuple (a scattered tuple would become one future per item).
  void by_broadcast(py::object client, std::int64_t holders) {
    client_ = std::move(client);
    scatter();
    sent_ += holders;
  }

  // What the next chunk carries: the broadcast handle, the data itself (first wave, or a worker
  // that had none), or nothing.
  py::object for_chunk(bool resend) {
    if (shared_) return shared_;
    const bool with_data = resend || first_wave_ > 0;
    if (!resend && first_wave_ > 0) --first_wave_;
    if (!with_data) return py::none();
    ++sent_;
    return data_;
  }

  // Dask drops scattered data whose every holder died, and cancels the tasks that needed it.
  bool lost() const {
    return shared_ && py::str(shared_.attr("status")).cast<std::string>() != "finished";
  }

  // The workers holding the data died: broadcast it again. False once that happened too often,
  // or when the cluster takes it nowhere (all its workers are gone or still restarting).
  bool broadcast_again(std::int64_t holders) {
    if (++losses_ > kDataLosses) return false;
    try {
      scatter();
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_Exception)) throw;
      return false;
    }
    sent_ += holders;
    return true;
  }

  void release() { shared_ = py::object(); }

 private:
  void scatter() {
    py::list one;
    one.append(data_);
    shared_ = client_.attr("scatter")(one, "broadcast"_a = true, "hash"_a = false)[py::int_(0)];
    ++generation_;
  }

  py::object data_, shared_, client_;
  std::int64_t sent_ = 0, first_wave_ = 0, losses_ = 0;
  int generation_ = 0;
};

// Which chunks go out next and how large: about `target_seconds` of work each, measured on the
// chunks that came back, at most two per worker in flight.
class ChunkSchedule {
 public:
  ChunkSchedule(std::int64_t max_attempts, std::int64_t workers, double target_seconds)
      : max_attempts_(max_attempts), workers_(workers), target_seconds_(target_seconds) {}

  std::int64_t workers() const { return workers_; }
  bool has_room() const {
    return next_ < max_attempts_ && static_cast<std::int64_t>(flights.size()) < 2 * workers_;
  }
  Chunk next_chunk() {
    const Chunk c{next_, std::min(max_attempts_, next_ + chunk_size())};
    next_ = c.stop;
    return c;
  }
  void timed(const Chunk &c, double seconds) {
    timed_attempts_ += c.size();
    timed_seconds_ += seconds;
  }

  // The flights whose futures are done, removed from `flights`.
  std::vector<Flight> take_finished() {
    std::vector<Flight> still, finished;
    for (Flight &f : flights)
      (f.future.attr("done")().cast<bool>() ? finished : still).push_back(std::move(f));
    flights = std::move(still);
    return finished;
  }

  void cancel_after(std::int64_t cutoff) {
    for (Flight &f : flights)
      if (f.chunk.start > cutoff) cancel(f);
  }

  void cancel_all() {
    for (Flight &f : flights) cancel(f);
    flights.clear();
  }

  std::vector<Flight> flights;

 private:
  std::int64_t chunk_size() const {
    if (timed_attempts_ == 0 || timed_seconds_ <= 0) return 2;
    const double per = timed_seconds_ / static_cast<double>(timed_attempts_);
    return std::clamp<std::int64_t>(static_cast<std::int64_t>(target_seconds_ / per), 1, kMaxChunk);
  }
  static void cancel(Flight &f) {
    f.cancelled = true;
    f.future.attr("cancel")();
  }

  std::int64_t max_attempts_, workers_;
  double target_seconds_;
  std::int64_t next_ = 0, timed_attempts_ = 0;
  double timed_seconds_ = 0;
};

// Ends a call's work on its executor: its chunks in flight are cancelled and its own pool (if
// `own_pool`) stopped, at once or after the running chunks; the broadcast data is let go.
inline void stop_work(std::optional<ChunkSchedule> &schedule, py::object &executor, bool own_pool,
                      DataDelivery &delivery, bool stop_now) {
  if (schedule) schedule->cancel_all();
  if (own_pool && executor) {
    py::object pool = std::move(executor);
    executor = py::object();
    if (stop_now)
      terminate_pool(pool);
    else
      pool.attr("shutdown")("wait"_a = true, "cancel_futures"_a = true);
  }
  delivery.release();
}

}  // namespace factorsearch
