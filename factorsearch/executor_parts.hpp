// The executor layer FactorSearch.mine and FactorSearch.evolve share: how the call's data reaches
// the workers (DataDelivery), which chunks of work go out and how large (ChunkSchedule), how
// operators travel and are rebuilt, and what stops or identifies a pool's workers. A call owns
// its items in order [0, n); what a chunk does with them is the caller's.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "factorsearch/evaluation.hpp"

namespace factorsearch {
using namespace pybind11::literals;

inline constexpr std::int64_t kMaxChunk = 64;
inline constexpr std::int64_t kDataLosses = 2;  // Dask workers replaced this often: give up

// A FactorSearch with the caller's operators: the callables themselves where they travelled,
// else resolved again from their names in this process.
py::object rebuild_miner(py::handle mod, py::handle operators);

// Operators as they travel to workers: the callable itself where it pickles, else its name only.
py::list travelling_operators(py::handle self);

// Any non-negative integer, however wide: a drawn seed has 128 bits and must replay exactly.
py::object seed_of(py::handle seed);

bool is_dask_client(py::handle executor);

// Workers of an executor: its _max_workers, else 2.
std::int64_t worker_count(py::handle executor);

// Stops the pool's processes now; pending chunks are not wanted any more.
void terminate_pool(py::handle pool);

// A future's exception that means its worker process died.
bool is_worker_death(py::handle exc);

// Each of `workers` processes on this machine gets an equal share of the usable cores.
int kernel_threads(std::int64_t workers);

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

}  // namespace factorsearch
