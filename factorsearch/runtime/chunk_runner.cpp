#include "factorsearch/runtime/chunk_runner.hpp"

#include <algorithm>
#include <utility>

#include "common/parallel.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

py::object cancelled_error() {
  return py::module_::import("concurrent.futures")
      .attr("CancelledError")("the executor cancelled the task");
}

}  // namespace

ChunkRunner::ChunkRunner(py::handle mod, const char *chunk_fn, const char *init_fn, py::tuple job,
                         py::object init_head, py::object data)
    : mod_(mod), chunk_fn_(mod.attr(chunk_fn)), init_fn_(mod.attr(init_fn)), job_(std::move(job)),
      init_head_(std::move(init_head)), delivery_(std::move(data)) {}

void ChunkRunner::start(std::int64_t n_jobs, py::handle executor) {
  if (n_jobs > 1) {
    executor_ = py::module_::import("concurrent.futures").attr("ProcessPoolExecutor")(
        "max_workers"_a = n_jobs, "initializer"_a = init_fn_,
        "initargs"_a = py::make_tuple(init_head_, delivery_.data(), core_share(n_jobs), own_pid()));
    own_pool_ = true;
    delivery_.by_initializer(n_jobs);
    workers_ = n_jobs;
    return;
  }
  py::object client;
  if (is_dask_client(executor)) {
    client = py::reinterpret_borrow<py::object>(executor);
    executor_ = executor.attr("get_executor")("pure"_a = false);
  } else if (py::hasattr(executor, "_client") && is_dask_client(executor.attr("_client"))) {
    client = executor.attr("_client");
    executor_ = py::reinterpret_borrow<py::object>(executor);
  }
  if (client) {
    workers_ = delivery_.by_dask(client);
    target_seconds_ = 1.0;
    return;
  }
  executor_ = py::reinterpret_borrow<py::object>(executor);
  workers_ = worker_count(executor_);
  delivery_.by_first_wave(workers_);
}

void ChunkRunner::run(std::int64_t n, ChunkWork &work) {
  ChunkSchedule &schedule = schedule_.emplace(n, workers_, target_seconds_);
  if (timed_items_ > 0) schedule.timed(Chunk{0, timed_items_}, timed_seconds_);
  work_ = &work;
  try {
    loop();
  } catch (...) {
    work_ = nullptr;
    close(true);
    throw;
  }
  work_ = nullptr;
  leftover_ = schedule_ && !schedule_->flights.empty();
}

void ChunkRunner::close(bool now) {
  stop_work(schedule_, executor_, own_pool_, delivery_, now || leftover_);
}

// A pool that broke (a worker died) refuses new work before its futures say so: the refusal
// becomes this chunk's failed future, so every death takes the one path through collect.
void ChunkRunner::submit(const Chunk &c, bool resend) {
  py::object data = delivery_.for_chunk(resend);
  py::object future;
  try {
    future = executor_.attr("submit")(chunk_fn_, job_, data, *work_->items(c));
  } catch (py::error_already_set &e) {
    if (!is_worker_death(e.value())) throw;
    future = py::module_::import("concurrent.futures").attr("Future")();
    future.attr("set_exception")(e.value());
  }
  schedule_->flights.push_back({c, future, false, delivery_.generation()});
}

void ChunkRunner::loop() {
  py::module_ cf = py::module_::import("concurrent.futures");
  py::object wait = cf.attr("wait"), first_completed = cf.attr("FIRST_COMPLETED");
  ChunkWork &work = *work_;
  std::int64_t cutoff = -1;  // the last item still needed: nothing after it goes out
  while (work.wants_more()) {
    while (cutoff < 0 && work.wants_more() && schedule_->has_room())
      submit(schedule_->next_chunk(), false);
    if (schedule_->flights.empty()) break;
    py::list futures;
    for (const Flight &f : schedule_->flights) futures.append(f.future);
    wait(futures, "timeout"_a = 0.2, "return_when"_a = first_completed);
    // A death can fail several flights of one batch: the ones not yet collected stay known to
    // worker_died, so its replay covers them too.
    uncollected_ = schedule_->take_finished();
    while (!uncollected_.empty()) {
      Flight f = std::move(uncollected_.front());
      uncollected_.erase(uncollected_.begin());
      collect(f);
    }
    work.batch_done();
    if (work.wants_more()) {
      cutoff = work.cutoff();
      if (cutoff >= 0) schedule_->cancel_after(cutoff);
    }
  }
}

void ChunkRunner::collect(Flight &f) {
  // Nothing more wanted: a replay after a death completed the call.
  if (f.cancelled || !work_->wants_more()) return;
  if (f.future.attr("cancelled")().cast<bool>()) return executor_cancelled(f);
  py::object exc = f.future.attr("exception")();
  if (!exc.is_none()) return failed(f, exc);
  py::object answer = f.future.attr("result")();
  if (answer.is_none()) return submit(f.chunk, true);  // that worker had no data for this call yet
  const double seconds = answer[py::int_(1)].cast<double>();
  schedule_->timed(f.chunk, seconds);
  timed_items_ += f.chunk.size();
  timed_seconds_ += seconds;
  work_->accept(f.chunk, answer);
}

// Not cancelled here: the executor gave up on it. On Dask that means the workers holding the
// broadcast data died: broadcast it again and resubmit, a limited number of times, after which
// it counts as a worker's death.
void ChunkRunner::executor_cancelled(Flight &f) {
  if (!delivery_.broadcast() || f.generation == delivery_.generation()) {
    if (!delivery_.lost()) return cancelled_by_executor(f);
    if (!delivery_.broadcast_again(schedule_->workers())) return failed(f, cancelled_error(), true);
  }
  submit(f.chunk, true);
}

void ChunkRunner::failed(const Flight &f, py::object exc, bool died) {
  raise_if_interrupted(exc);
  if (died || is_worker_death(exc)) return worker_died(f.chunk, exc);
  work_->chunk_failed(f.chunk, exc);
}

// The chunks that were out are replayed in item order up to the item that kills a worker; every
// answer before it reaches the work, which then decides whether the call ends normally.
void ChunkRunner::worker_died(const Chunk &failed_chunk, py::object exc) {
  const std::vector<Chunk> out = chunks_out(failed_chunk);
  close(true);
  const std::int64_t culprit = replay(out);
  work_->worker_died(failed_chunk, out, culprit, exc);
}

// Cancelled by the executor with the call's data intact: on Dask, what a worker killed by an
// operator can leave behind. The chunks out are replayed: an item that kills a worker here is
// reported as the death it is; otherwise the cancellation stands as the chunk's error.
void ChunkRunner::cancelled_by_executor(const Flight &f) {
  const std::vector<Chunk> out = chunks_out(f.chunk);
  close(true);
  const std::int64_t culprit = replay(out);
  if (culprit >= 0) return work_->worker_died(f.chunk, out, culprit, cancelled_error());
  work_->chunk_failed(f.chunk, cancelled_error());
}

// The failed chunk and every chunk still out that this call did not cancel.
std::vector<Chunk> ChunkRunner::chunks_out(const Chunk &failed_chunk) {
  std::vector<Chunk> out{failed_chunk};
  for (const Flight &f : schedule_->flights)
    if (!f.cancelled) out.push_back(f.chunk);
  for (const Flight &f : uncollected_)
    if (!f.cancelled) out.push_back(f.chunk);
  uncollected_.clear();
  return out;
}

// One item at a time in item order on a fresh one-process pool here, whatever executor ran them
// (items are reproducible, so it dies again; a death this machine does not repeat finds no
// culprit). Returns the culprit or -1.
std::int64_t ChunkRunner::replay(std::vector<Chunk> chunks) {
  std::sort(chunks.begin(), chunks.end());
  py::object pool = py::module_::import("concurrent.futures").attr("ProcessPoolExecutor")(
      "max_workers"_a = 1, "initializer"_a = init_fn_,
      "initargs"_a = py::make_tuple(init_head_, delivery_.data(), core_share(1), own_pid()));
  std::int64_t culprit = -1, tried = 0;
  auto replay_on = [&] {
    for (const Chunk &c : chunks)
      for (std::int64_t i = c.start; i < c.stop; ++i) {
        if (tried++ >= kReplayAtMost) return;
        const Chunk one{i, i + 1};
        py::object future = pool.attr("submit")(chunk_fn_, job_, py::none(), *work_->items(one));
        py::object exc = future.attr("exception")();
        if (!exc.is_none()) {
          if (is_worker_death(exc)) culprit = i;
          return;
        }
        work_->accept(one, future.attr("result")());
      }
  };
  try {
    replay_on();
  } catch (...) {
    terminate_pool(pool);
    throw;
  }
  terminate_pool(pool);
  return culprit;
}

}  // namespace factorsearch
