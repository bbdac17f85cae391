#include "factorsearch/mine.hpp"
#include "factorsearch/executor_parts.hpp"
#include "factorsearch/panel_forms.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace factorsearch {
using namespace alphaloom;

namespace {

constexpr const char *kCacheName = "_mine_cache";
constexpr std::size_t kCachedCalls = 2;  // a worker serving two calls at once keeps both
constexpr std::int64_t kDiagnoseAtMost = 256;

double now() {
  using clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

// Attempt i's own generator: SeedSequence(seed, spawn_key=(i,)) feeding a random.Random, so
// attempt i draws the same program wherever and whenever it runs.
class Seeder {
 public:
  explicit Seeder(py::object seed) : seed_(std::move(seed)) {
    seq_ = py::module_::import("numpy").attr("random").attr("SeedSequence");
    random_ = py::module_::import("random").attr("Random");
    from_bytes_ = py::module_::import("builtins").attr("int").attr("from_bytes");
  }
  py::object randint(std::int64_t attempt) const {
    py::object state = seq_(seed_, "spawn_key"_a = py::make_tuple(attempt)).attr("generate_state")(4);
    return random_(from_bytes_(state.attr("tobytes")(), "little")).attr("randint");
  }

 private:
  py::object seed_, seq_, random_, from_bytes_;
};

// An attempt as f/f1 runs it, without printing, drawing from `randint`.
py::object silent_attempt(py::handle mod, py::handle miner, const Market &market,
                          std::int64_t legs, bool hedged, py::handle randint) {
  register_operators(mod, miner);
  Drawn drawn = draw(miner, randint);
  py::str text = miner.attr("fuctions")(drawn.list);
  try {
    return score_program(mod, miner, drawn, text, market, legs, hedged);
  } catch (py::error_already_set &e) {
    if (!is_miss(e)) throw;
  } catch (const std::exception &) {
  }
  return py::none();
}

// ---------------------------------------------------------------------------------------------
// What travels to the workers

// What every chunk of one call needs besides its attempts. It travels as the tuple
// (token, operators, hedged, legs, seed); pack and unpack are the only places that read it.
struct Job {
  py::object token;      // names the call's data in a worker's cache
  py::object operators;  // (name, arity, callable or None) per operator
  bool hedged = true;
  std::int64_t legs = 1;
  py::object seed;

  py::tuple pack() const { return py::make_tuple(token, operators, hedged, legs, seed); }
  static Job unpack(py::handle t) {
    return {t[py::int_(0)], t[py::int_(1)], t[py::int_(2)].cast<bool>(),
            t[py::int_(3)].cast<std::int64_t>(), t[py::int_(4)]};
  }
};

// The call's data as it travels: the tuple (data1, price1, universe as a list).
py::tuple pack_market(py::handle frames, py::handle prices, py::handle universe) {
  return py::make_tuple(frames, prices, py::list(py::reinterpret_borrow<py::object>(universe)));
}
Market unpack_market(py::handle data) {
  return prepare_market(data[py::int_(0)], data[py::int_(1)], data[py::int_(2)]);
}

// ---------------------------------------------------------------------------------------------
// Worker side

py::dict worker_cache(py::handle mod) {
  if (!py::hasattr(mod, kCacheName)) py::setattr(mod, kCacheName, py::dict());
  return mod.attr(kCacheName);
}

void free_market(void *p) { delete static_cast<Market *>(p); }

py::object cache_market(py::handle mod, py::handle token, py::handle data) {
  py::dict cache = worker_cache(mod);
  auto *market = new Market(unpack_market(data));
  py::capsule held(static_cast<void *>(market), &free_market);
  py::list entry;
  entry.append(held);
  entry.append(py::none());  // the miner, rebuilt at the first chunk
  cache[token] = entry;
  while (py::len(cache) > kCachedCalls) {
    py::object oldest = py::reinterpret_borrow<py::object>((*cache.begin()).first);
    PyDict_DelItem(cache.ptr(), oldest.ptr());
  }
  return entry;
}

// ---------------------------------------------------------------------------------------------
// Caller side

// Progress: a tqdm bar (notebook-aware through tqdm.auto) or, without tqdm, a text line on
// stderr; found rows are printed as the drivers print them, around the bar.
class Progress {
 public:
  Progress(py::handle flag, std::int64_t wanted, std::int64_t max_attempts) : wanted_(wanted) {
    bool on = flag.is_none() ? interactive() : flag.cast<bool>();
    if (!on) return;
    try {
      py::object tqdm = py::module_::import("tqdm.auto").attr("tqdm");
      py::object total = max_attempts < kMaxAttempts ? py::object(py::int_(max_attempts))
                                                     : py::object(py::none());
      bar_ = tqdm("total"_a = total, "desc"_a = "mine", "unit"_a = " attempts",
                  "dynamic_ncols"_a = true, "smoothing"_a = 0.1);
      bar_.attr("set_postfix_str")(format("found {}/{}", 0, wanted_), "refresh"_a = false);
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_ImportError)) throw;
      text_ = true;
      start_ = last_ = now();
    }
  }
  Progress(const Progress &) = delete;
  Progress &operator=(const Progress &) = delete;
  ~Progress() {
    try {
      close();
    } catch (...) {
    }
  }

  void advance(std::int64_t attempts, std::int64_t found) {
    done_ += attempts;
    if (bar_) {
      if (found != found_)
        bar_.attr("set_postfix_str")(format("found {}/{}", found, wanted_), "refresh"_a = false);
      bar_.attr("update")(attempts);
    } else if (text_ && now() - last_ >= 0.5) {
      last_ = now();
      write_text(found);
    }
    found_ = found;
  }

  void print_row(py::handle row) {
    if (bar_) bar_.attr("clear")();
    py::module_::import("builtins").attr("print")(row, "flush"_a = true);
    if (bar_) bar_.attr("refresh")();
  }

  void close() {
    if (bar_) {
      py::object bar = std::move(bar_);
      bar_ = py::object();
      bar.attr("close")();
    } else if (text_) {
      text_ = false;
      write_text(found_);
      py::module_::import("sys").attr("stderr").attr("write")("\n");
    }
  }

 private:
  static bool interactive() {
    py::module_ sys = py::module_::import("sys");
    py::dict modules = sys.attr("modules");
    if (modules.contains("ipykernel") && modules.contains("IPython")) {
      py::object shell = modules["IPython"].attr("get_ipython")();
      if (!shell.is_none() && py::hasattr(shell, "kernel")) return true;
    }
    py::object err = sys.attr("stderr");
    if (err.is_none() || !py::hasattr(err, "isatty")) return false;
    try {
      return err.attr("isatty")().cast<bool>();
    } catch (py::error_already_set &) {
      return false;
    }
  }

  void write_text(std::int64_t found) {
    double secs = std::max(now() - start_, 1e-9);
    py::module_::import("sys").attr("stderr").attr("write")(
        format("\rmine: {} attempts, found {}/{}, {:.1f} attempts/s", done_, found, wanted_,
               static_cast<double>(done_) / secs));
  }

  std::int64_t wanted_, done_ = 0, found_ = 0;
  py::object bar_;
  bool text_ = false;
  double start_ = 0, last_ = 0;
};

// The rows committed so far, in attempt order, and their file.
struct Results {
  Results(std::int64_t wanted, Progress &progress) : wanted(wanted), progress(progress) {}

  bool full() const { return found() >= wanted; }
  std::int64_t found() const { return static_cast<std::int64_t>(attempts.size()); }

  void commit(std::int64_t attempt, py::handle row) {
    add(attempt, row);
    publish();
  }

  // Rows that arrive together (one chunk's) are added, then saved in one rewrite and printed:
  // a rewrite costs an fsync, several milliseconds, which would bound a pool's throughput.
  void add(std::int64_t attempt, py::handle row) {
    rows.append(row);
    attempts.push_back(attempt);
    unpublished.append(row);
  }

  void publish() {
    if (py::len(unpublished) == 0) return;
    file.save(rows);
    py::list out = std::move(unpublished);
    unpublished = py::list();
    for (py::handle row : out) progress.print_row(row);
  }

  const std::int64_t wanted;
  Progress &progress;
  ResultFile file;
  py::list rows, unpublished;
  std::vector<std::int64_t> attempts;
};

py::object as_row(py::handle text, py::handle net, py::handle sharp, py::handle maxdown) {
  py::list row;
  row.append(text);
  row.append(net);
  row.append(sharp);
  row.append(maxdown);
  return row;
}

// A success as a worker reports it: its attempt and the row the drivers print and save.
struct Found {
  std::int64_t attempt;
  py::object row;
};

// What one chunk gave back: its successes in attempt order and the seconds it took. A worker
// answers (rows, seconds) with rows (attempt, text, net value, Sharpe value, maxdown); this is
// the one place that layout is read.
struct ChunkOutcome {
  std::vector<Found> found;
  double seconds = 0;

  static ChunkOutcome decode(py::handle answer) {
    ChunkOutcome out;
    for (py::handle r : answer[py::int_(0)])
      out.found.push_back({r[py::int_(0)].cast<std::int64_t>(),
                           as_row(r[py::int_(1)], r[py::int_(2)], r[py::int_(3)], r[py::int_(4)])});
    out.seconds = answer[py::int_(1)].cast<double>();
    return out;
  }
};

// Chunks come back in any order; their successes are committed strictly in attempt order.
class OrderedCommit {
 public:
  explicit OrderedCommit(Results &results) : results_(results) {}

  std::int64_t committed_until() const { return commit_pos_; }

  void hold(const Chunk &c, std::vector<Found> found) {
    waiting_[c.start] = {c.stop, std::move(found)};
  }

  // Commits every held chunk that continues the committed ones, then saves and prints them.
  void commit_ready() {
    for (auto it = waiting_.begin(); it != waiting_.end() && it->first == commit_pos_;
         it = waiting_.erase(it)) {
      for (const Found &f : it->second.found) {
        if (results_.full()) break;
        results_.add(f.attempt, f.row);
      }
      commit_pos_ = it->second.stop;
    }
    results_.publish();
    results_.progress.advance(0, results_.found());
  }

  // The attempt of the `wanted`-th success known so far (committed or held): nothing after it is
  // needed. -1 while fewer are known.
  std::int64_t known_cutoff() const {
    std::int64_t count = results_.found();
    for (const auto &[start, held] : waiting_) count += static_cast<std::int64_t>(held.found.size());
    if (count < results_.wanted) return -1;
    std::vector<std::int64_t> known(results_.attempts);
    for (const auto &[start, held] : waiting_)
      for (const Found &f : held.found) known.push_back(f.attempt);
    std::nth_element(known.begin(), known.begin() + (results_.wanted - 1), known.end());
    return known[results_.wanted - 1];
  }

  std::int64_t attempts_used() const {
    return results_.full() ? results_.attempts.back() + 1 : commit_pos_;
  }

 private:
  struct Held {
    std::int64_t stop;
    std::vector<Found> found;
  };
  Results &results_;
  std::int64_t commit_pos_ = 0;
  std::map<std::int64_t, Held> waiting_;
};

// Which attempt took a worker down: the chunks that were out, one attempt at a time in attempt
// order, on a fresh one-process pool here, whatever executor ran them (attempts are
// reproducible, so it dies again; a death this machine does not repeat leaves -1).
class CrashDiagnosis {
 public:
  CrashDiagnosis(py::handle mod, const Job &job, const py::object &data)
      : mod_(mod), job_(job), data_(data) {}

  std::int64_t culprit(std::vector<Chunk> chunks) const {
    std::sort(chunks.begin(), chunks.end());
    py::object pool = py::module_::import("concurrent.futures").attr("ProcessPoolExecutor")(
        "max_workers"_a = 1, "initializer"_a = mod_.attr("_mine_worker_init"),
        "initargs"_a = py::make_tuple(job_.token, data_, kernel_threads(1)));
    std::int64_t found = -1;
    try {
      found = replay(pool, chunks);
    } catch (...) {
      terminate_pool(pool);
      throw;
    }
    terminate_pool(pool);
    return found;
  }

 private:
  std::int64_t replay(py::handle pool, const std::vector<Chunk> &chunks) const {
    py::object chunk_fn = mod_.attr("_mine_chunk");
    const py::tuple job = job_.pack();
    std::int64_t tried = 0;
    for (const Chunk &c : chunks)
      for (std::int64_t i = c.start; i < c.stop && tried < kDiagnoseAtMost; ++i, ++tried) {
        py::object exc =
            pool.attr("submit")(chunk_fn, job, py::none(), i, i + 1).attr("exception")();
        if (!exc.is_none() && is_worker_death(exc)) return i;
      }
    return -1;
  }

  py::handle mod_;
  const Job &job_;
  const py::object &data_;
};

// One mining call on an executor: chunks of consecutive attempts go out, results come back in any
// order and are committed strictly in attempt order.
class ExecutorRun {
 public:
  ExecutorRun(py::handle mod, py::object self, Results &results, const Seeder &seeder,
              Job job, py::object data, std::int64_t max_attempts)
      : mod_(mod), self_(std::move(self)), results_(results), seeder_(seeder),
        job_(std::move(job)), packed_job_(job_.pack()), delivery_(std::move(data)), commit_(results),
        diagnosis_(mod, job_, delivery_.data()), max_attempts_(max_attempts) {
    chunk_fn_ = mod.attr("_mine_chunk");
  }

  // n_jobs > 1: a pool of our own; each worker takes the data once, in its initializer.
  std::int64_t run_own_pool(std::int64_t n_jobs) {
    executor_ = py::module_::import("concurrent.futures").attr("ProcessPoolExecutor")(
        "max_workers"_a = n_jobs, "initializer"_a = mod_.attr("_mine_worker_init"),
        "initargs"_a = py::make_tuple(job_.token, delivery_.data(), kernel_threads(n_jobs)));
    own_pool_ = true;
    delivery_.by_initializer(n_jobs);
    return run(ChunkSchedule(max_attempts_, n_jobs, 0.5));
  }

  // A Dask client: the data is broadcast to every worker once, tasks refer to it.
  std::int64_t run_dask(py::handle client, py::object executor) {
    py::dict nthreads = client.attr("nthreads")();
    std::int64_t threads = 0;
    for (auto item : nthreads) threads += item.second.cast<std::int64_t>();
    delivery_.by_broadcast(py::reinterpret_borrow<py::object>(client),
                           static_cast<std::int64_t>(py::len(nthreads)));
    executor_ = std::move(executor);
    return run(ChunkSchedule(max_attempts_, std::max<std::int64_t>(threads, 1), 1.0));
  }

  // Any other executor: the first wave of chunks carries the data, later chunks only the call's
  // token.
  std::int64_t run_generic(py::object executor) {
    executor_ = std::move(executor);
    const std::int64_t workers = worker_count(executor_);
    delivery_.by_first_wave(workers);
    return run(ChunkSchedule(max_attempts_, workers, 0.5));
  }

  std::int64_t data_sent() const { return delivery_.sent(); }

 private:
  std::int64_t run(ChunkSchedule schedule) {
    schedule_.emplace(std::move(schedule));
    try {
      loop();
    } catch (...) {
      shut_down(true);
      throw;
    }
    shut_down(!schedule_->flights.empty());
    return commit_.attempts_used();
  }

  void submit(const Chunk &c, bool resend) {
    py::object data = delivery_.for_chunk(resend);
    schedule_->flights.push_back(
        {c, executor_.attr("submit")(chunk_fn_, packed_job_, data, c.start, c.stop), false,
         delivery_.generation()});
  }

  void loop() {
    py::module_ cf = py::module_::import("concurrent.futures");
    py::object wait = cf.attr("wait"), first_completed = cf.attr("FIRST_COMPLETED");
    ChunkSchedule &schedule = *schedule_;
    std::int64_t cutoff = -1;  // the wanted-th known success: nothing after it is needed
    while (!results_.full()) {
      while (cutoff < 0 && schedule.has_room()) submit(schedule.next_chunk(), false);
      if (schedule.flights.empty()) break;
      py::list futures;
      for (const Flight &f : schedule.flights) futures.append(f.future);
      wait(futures, "timeout"_a = 0.2, "return_when"_a = first_completed);
      for (Flight &f : schedule.take_finished()) collect(f);
      commit_.commit_ready();
      if (!results_.full()) {
        cutoff = commit_.known_cutoff();
        if (cutoff >= 0) schedule.cancel_after(cutoff);
      }
    }
  }

  void collect(Flight &f) {
    if (f.cancelled) return;
    if (f.future.attr("cancelled")().cast<bool>()) return executor_cancelled(f);
    py::object exc = f.future.attr("exception")();
    if (!exc.is_none()) fail(f, exc);
    py::object answer = f.future.attr("result")();
    if (answer.is_none()) return submit(f.chunk, true);  // that worker had no data for this call yet
    ChunkOutcome outcome = ChunkOutcome::decode(answer);
    schedule_->timed(f.chunk, outcome.seconds);
    commit_.hold(f.chunk, std::move(outcome.found));
    results_.progress.advance(f.chunk.size(), results_.found());
  }

  // Not cancelled here: the executor gave up on it. On Dask that means the workers holding the
  // broadcast data died: broadcast it again and resubmit, a limited number of times.
  void executor_cancelled(Flight &f) {
    if (!delivery_.broadcast() || f.generation == delivery_.generation()) {
      py::object why = py::module_::import("concurrent.futures").attr("CancelledError")(
          "the executor cancelled the task");
      if (!delivery_.lost()) fail(f, why);
      if (!delivery_.broadcast_again(schedule_->workers())) fail(f, why, true);
    }
    submit(f.chunk, true);
  }

  [[noreturn]] void fail(const Flight &f, py::object exc, bool died = false) {
    if (py::isinstance(exc, py::module_::import("builtins").attr("KeyboardInterrupt"))) {
      PyErr_SetNone(PyExc_KeyboardInterrupt);
      throw py::error_already_set();
    }
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    const std::string where =
        died || is_worker_death(exc)
            ? death_cause(f.chunk)
            : std::string(format("attempts {} to {} failed in a worker: {!r}", f.chunk.start,
                                 f.chunk.stop - 1, exc));
    std::string msg = format("{}; {} holds the {} factors found before it", where,
                             results_.file.path(), results_.found());
    py::object error = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(msg);
    error.attr("__cause__") = exc;
    PyErr_SetObject(PyExc_RuntimeError, error.ptr());
    throw py::error_already_set();
  }

  // "a worker process died during attempt i (formula)", the attempt found by replaying the
  // chunks that were out (the failed one first among equals).
  std::string death_cause(const Chunk &failed) {
    std::int64_t culprit = failed.size() == 1 ? failed.start : -1;
    if (culprit < 0) {
      std::vector<Chunk> out{failed};
      for (const Flight &f : schedule_->flights) out.push_back(f.chunk);
      shut_down(true);
      culprit = diagnosis_.culprit(std::move(out));
    }
    if (culprit < 0)
      return format("a worker process died during one of attempts {} to {}", failed.start,
                    failed.stop - 1);
    Drawn drawn = draw(self_, seeder_.randint(culprit));
    py::str text = self_.attr("fuctions")(drawn.list);
    return format("a worker process died during attempt {} ({})", culprit, text);
  }

  void shut_down(bool stop_now) {
    if (schedule_) schedule_->cancel_all();
    if (own_pool_ && executor_) {
      py::object pool = std::move(executor_);
      executor_ = py::object();
      if (stop_now)
        terminate_pool(pool);
      else
        pool.attr("shutdown")("wait"_a = true, "cancel_futures"_a = true);
    }
    delivery_.release();
  }

  py::handle mod_;
  py::object self_;
  Results &results_;
  const Seeder &seeder_;
  const Job job_;
  const py::tuple packed_job_;
  DataDelivery delivery_;
  OrderedCommit commit_;
  CrashDiagnosis diagnosis_;
  std::optional<ChunkSchedule> schedule_;
  py::object executor_, chunk_fn_;
  std::int64_t max_attempts_;
  bool own_pool_ = false;
};

py::object result_frame(const Results &results, py::object seed, std::int64_t attempts,
                        std::int64_t data_sent) {
  py::module_ np = py::module_::import("numpy");
  py::module_ pd = py::module_::import("pandas");
  py::list text, net, sharp, maxdown, attempt;
  for (std::size_t k = 0; k < results.attempts.size(); ++k) {
    py::object row = results.rows[py::int_(k)];
    text.append(row[py::int_(0)]);
    net.append(row[py::int_(1)]);
    sharp.append(row[py::int_(2)]);
    maxdown.append(row[py::int_(3)]);
    attempt.append(results.attempts[k]);
  }
  py::object f64 = np.attr("float64");
  py::dict columns;
  columns["formula"] = pd.attr("Series")(text, "dtype"_a = "object");
  columns["net_value"] = np.attr("array")(net, "dtype"_a = f64);
  columns["sharpe"] = np.attr("array")(sharp, "dtype"_a = f64);
  columns["maxdown"] = np.attr("array")(maxdown, "dtype"_a = f64);
  columns["attempt"] = np.attr("array")(attempt, "dtype"_a = np.attr("int64"));
  py::object frame = pd.attr("DataFrame")(columns);
  frame.attr("attrs")["seed"] = seed;
  frame.attr("attrs")["path"] = results.file.path();
  frame.attr("attrs")["attempts"] = attempts;
  frame.attr("attrs")["data_sent"] = data_sent;
  return frame;
}

py::object empty_frame(py::object seed) {
  py::module_ pd = py::module_::import("pandas");
  py::module_ np = py::module_::import("numpy");
  py::dict columns;
  columns["formula"] = pd.attr("Series")(py::list(), "dtype"_a = "object");
  for (const char *name : {"net_value", "sharpe", "maxdown"})
    columns[name] = np.attr("array")(py::list(), "dtype"_a = np.attr("float64"));
  columns["attempt"] = np.attr("array")(py::list(), "dtype"_a = np.attr("int64"));
  py::object frame = pd.attr("DataFrame")(columns);
  frame.attr("attrs")["seed"] = seed;
  frame.attr("attrs")["path"] = py::none();
  frame.attr("attrs")["attempts"] = 0;
  frame.attr("attrs")["data_sent"] = 0;
  return frame;
}

}  // namespace

void mine_worker_init(py::handle mod, py::handle token, py::handle data, int kernel_threads) {
  py::module_ signal = py::module_::import("signal");
  signal.attr("signal")(signal.attr("SIGINT"), signal.attr("SIG_IGN"));
  cap_kernel_threads(kernel_threads);
  cache_market(mod, token, data);
}

py::object mine_chunk(py::handle mod, py::handle packed_job, py::handle data, std::int64_t start,
                      std::int64_t stop) {
  const double t0 = now();
  const Job job = Job::unpack(packed_job);
  py::dict cache = worker_cache(mod);
  py::object entry;
  if (cache.contains(job.token))
    entry = cache[job.token];
  else if (data.is_none())
    return py::none();
  else
    entry = cache_market(mod, job.token, data);
  const Market &market = *entry[py::int_(0)].cast<py::capsule>().get_pointer<Market>();
  if (entry[py::int_(1)].is_none()) entry[py::int_(1)] = rebuild_miner(mod, job.operators);
  py::object miner = entry[py::int_(1)];
  Seeder seeder(job.seed);

  py::module_::import("warnings").attr("filterwarnings")("ignore");
  py::list rows;
  for (std::int64_t i = start; i < stop; ++i) {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    py::object row = silent_attempt(mod, miner, market, job.legs, job.hedged, seeder.randint(i));
    if (!row.is_none())
      rows.append(py::make_tuple(i, row[py::int_(0)], row[py::int_(1)], row[py::int_(2)],
                                 row[py::int_(3)]));
  }
  return py::make_tuple(rows, now() - t0);
}

py::object mine(py::handle mod, py::object self, py::handle frames, py::handle prices,
                py::handle universe, py::handle wanted_arg, py::handle legs_arg,
                py::handle long_only, py::handle seed, py::handle n_jobs, py::handle executor,
                py::handle max_attempts, py::handle progress) {
  // Every argument is checked before any work, named as the caller wrote it.
  const std::int64_t wanted = whole_number(wanted_arg, "ct", 0);
  const std::int64_t legs = whole_number(legs_arg, "l", 1);
  const std::int64_t jobs = whole_number(n_jobs, "n_jobs", 1);
  const std::int64_t limit = whole_number(max_attempts, "max_attempts", 0);
  if (jobs > 1 && !executor.is_none())
    raise(PyExc_ValueError, "give either n_jobs > 1 (a pool of this call's own) or executor=, not both");
  if (!executor.is_none() && !py::hasattr(executor, "submit"))
    raise(PyExc_TypeError, "executor must be a concurrent.futures.Executor or a dask.distributed "
                           "Client, got " + type_name(executor));
  if (!progress.is_none() && !PyBool_Check(progress.ptr()))
    raise(PyExc_ValueError, format("progress must be True, False or None, got {!r}", progress));
  const bool hedged = !py::reinterpret_borrow<py::object>(long_only).cast<bool>();
  py::object seed_value = seed_of(seed);

  if (wanted == 0) {
    py::module_::import("random").attr("randint")(0, 999);  // the run number, as the drivers do
    return empty_frame(seed_value);
  }
  Market market = prepare_checked_market(frames, prices, universe);
  Seeder seeder(seed_value);
  Progress bar(progress, wanted, limit);
  Results results(wanted, bar);
  py::module_::import("warnings").attr("filterwarnings")("ignore");

  std::int64_t used = 0, data_sent = 0;
  if (jobs == 1 && executor.is_none()) {
    std::int64_t i = 0;
    for (; i < limit && !results.full(); ++i) {
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      py::object row = silent_attempt(mod, self, market, legs, hedged, seeder.randint(i));
      if (!row.is_none()) results.commit(i, row);
      bar.advance(1, results.found());
    }
    used = i;
  } else {
    Job job{py::module_::import("uuid").attr("uuid4")().attr("hex"), travelling_operators(self),
            hedged, legs, seed_value};
    ExecutorRun run(mod, self, results, seeder, std::move(job),
                    pack_market(frames, prices, universe), limit);
    if (jobs > 1) {
      used = run.run_own_pool(jobs);
    } else if (is_dask_client(executor)) {
      used = run.run_dask(executor, executor.attr("get_executor")("pure"_a = false));
    } else if (py::hasattr(executor, "_client") && is_dask_client(executor.attr("_client"))) {
      used = run.run_dask(executor.attr("_client"), py::reinterpret_borrow<py::object>(executor));
    } else {
      used = run.run_generic(py::reinterpret_borrow<py::object>(executor));
    }
    data_sent = run.data_sent();
  }
  bar.close();
  return result_frame(results, seed_value, used, data_sent);
}
}  // namespace factorsearch
