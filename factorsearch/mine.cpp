#include "factorsearch/mine.hpp"
#include "factorsearch/quiet_warnings.hpp"
#include "factorsearch/tree_walk.hpp"

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
constexpr std::int64_t kMaxChunk = 64;
constexpr std::int64_t kDiagnoseAtMost = 256;
constexpr std::int64_t kDataLosses = 2;  // Dask workers replaced this often: give up
constexpr std::int64_t kMaxJobs = 1024;

// Set once mine() has run in this process. Chunks running here (a thread-pool executor) leave the
// warning filters to that call: one still running after it returned must not swap the
// process-wide filters under the caller's feet. Worker processes silence their chunks themselves.
bool mine_ran_here = false;

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
// Worker side

py::dict worker_cache(py::handle mod) {
  if (!py::hasattr(mod, kCacheName)) py::setattr(mod, kCacheName, py::dict());
  return mod.attr(kCacheName);
}

void free_market(void *p) { delete static_cast<Market *>(p); }

py::object cache_market(py::handle mod, py::handle token, py::handle data) {
  py::dict cache = worker_cache(mod);
  auto *market = new Market(prepare_market(data[py::int_(0)], data[py::int_(1)], data[py::int_(2)]));
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

// A FactorSearch with the caller's operators: the callables themselves where they travelled,
// else resolved again from their names in this process.
py::object rebuild_miner(py::handle mod, py::handle operators) {
  py::object cls = mod.attr("FactorSearch");
  py::object miner = cls.attr("__new__")(cls);
  py::list fuc1, function, fc;
  for (py::handle op : operators) {
    py::object name = op[py::int_(0)], arity = op[py::int_(1)], fn = op[py::int_(2)];
    py::list entry;
    entry.append(name);
    entry.append(arity);
    if (fn.is_none()) {
      try {
        fn = resolve_name(mod, name, py::dict("fuc"_a = operators, "i"_a = op, "self"_a = miner));
      } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::raise_from(e, PyExc_RuntimeError,
                       std::string(format("operator {!r} does not resolve in worker process {}; "
                                          "use a function importable there",
                                          name, py::module_::import("os").attr("getpid")()))
                           .c_str());
        throw py::error_already_set();
      }
    }
    fuc1.append(entry);
    function.append(name);
    fc.append(fn);
  }
  miner.attr("fuc1") = fuc1;
  miner.attr("fuc") = fuc1;
  miner.attr("function") = function;
  miner.attr("fc") = fc;
  return miner;
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

std::int64_t worker_count(py::handle executor) {
  py::object n = py::getattr(executor, "_max_workers", py::none());
  if (!n.is_none()) return std::max<std::int64_t>(1, n.cast<std::int64_t>());
  return 2;
}

// Stops the pool's processes now; pending chunks are not wanted any more.
void terminate_pool(py::handle pool) {
  if (py::hasattr(pool, "terminate_workers")) {
    pool.attr("terminate_workers")();
  } else {
    py::object procs = py::getattr(pool, "_processes", py::none());
    if (!procs.is_none())
      for (py::handle p : py::list(procs.attr("values")())) {
        try {
          p.attr("terminate")();
        } catch (py::error_already_set &e) {
          if (!e.matches(PyExc_Exception)) throw;
        }
      }
  }
  pool.attr("shutdown")("wait"_a = true, "cancel_futures"_a = true);
}

bool is_worker_death(py::handle exc) {
  py::object broken = py::module_::import("concurrent.futures").attr("BrokenExecutor");
  if (py::isinstance(exc, broken)) return true;
  std::string name = py::str(py::type::of(exc).attr("__name__"));
  return name == "KilledWorker";
}

// Each of `workers` processes on this machine gets an equal share of the usable cores.
int kernel_threads(std::int64_t workers) {
  py::module_ os = py::module_::import("os");
  py::object cores = py::hasattr(os, "sched_getaffinity")
                         ? py::object(py::int_(py::len(os.attr("sched_getaffinity")(0))))
                         : os.attr("cpu_count")();
  const std::int64_t n = cores.is_none() ? 1 : cores.cast<std::int64_t>();
  return static_cast<int>(std::max<std::int64_t>(1, n / std::max<std::int64_t>(workers, 1)));
}

struct Flight {
  std::int64_t start, stop;
  py::object future;
  bool cancelled = false;  // by this call, because nothing after it is needed
  int generation = 0;      // of the broadcast data it refers to
};

// One mining call on an executor: chunks of consecutive attempts go out, results come back in any
// order and are committed strictly in attempt order.
class ExecutorRun {
 public:
  ExecutorRun(py::handle mod, py::object self, Results &results, const Seeder &seeder,
              py::tuple job, py::object data, std::int64_t max_attempts)
      : mod_(mod), self_(std::move(self)), results_(results), seeder_(seeder),
        job_(std::move(job)), data_(std::move(data)), max_attempts_(max_attempts) {
    cf_ = py::module_::import("concurrent.futures");
    chunk_fn_ = mod.attr("_mine_chunk");
  }

  // n_jobs > 1: a pool of our own; each worker takes the data once, in its initializer.
  std::int64_t run_own_pool(std::int64_t n_jobs) {
    py::object pool = cf_.attr("ProcessPoolExecutor")(
        "max_workers"_a = n_jobs, "initializer"_a = mod_.attr("_mine_worker_init"),
        "initargs"_a = py::make_tuple(job_[py::int_(0)], data_, kernel_threads(n_jobs)));
    own_pool_ = true;
    executor_ = pool;
    workers_ = n_jobs;
    target_seconds_ = 0.5;
    data_sent_ = n_jobs;
    return guarded([&] { loop(); });
  }

  // A Dask client: the data is broadcast to every worker once, tasks refer to it.
  std::int64_t run_dask(py::handle client, py::object executor) {
    client_ = py::reinterpret_borrow<py::object>(client);
    scatter();
    executor_ = std::move(executor);
    py::dict nthreads = client.attr("nthreads")();
    workers_ = 0;
    for (auto item : nthreads) workers_ += item.second.cast<std::int64_t>();
    workers_ = std::max<std::int64_t>(workers_, 1);
    target_seconds_ = 1.0;
    data_sent_ = static_cast<std::int64_t>(py::len(nthreads));
    return guarded([&] { loop(); });
  }

  // Any other executor: the first wave of chunks carries the data, later chunks only the call's
  // token; a worker without the data answers None and gets the chunk again with it.
  std::int64_t run_generic(py::object executor) {
    executor_ = std::move(executor);
    workers_ = worker_count(executor_);
    first_wave_ = workers_;
    target_seconds_ = 0.5;
    return guarded([&] { loop(); });
  }

  std::int64_t data_sent() const { return data_sent_; }

 private:
  // One future for the whole tuple (a scattered tuple would become one future per item).
  void scatter() {
    py::list one;
    one.append(data_);
    shared_data_ = client_.attr("scatter")(one, "broadcast"_a = true, "hash"_a = false)[py::int_(0)];
    ++generation_;
  }

  // Dask drops scattered data whose every holder died, and cancels the tasks that needed it.
  bool shared_data_lost() const {
    return shared_data_ && py::str(shared_data_.attr("status")).cast<std::string>() != "finished";
  }

  template <typename F>
  std::int64_t guarded(F &&body) {
    try {
      body();
    } catch (...) {
      shut_down(true);
      throw;
    }
    shut_down(!flights_.empty());
    return attempts_used();
  }

  std::int64_t attempts_used() const {
    return results_.full() ? results_.attempts.back() + 1 : commit_pos_;
  }

  void submit(std::int64_t start, std::int64_t stop, bool with_data) {
    py::object data = shared_data_ ? shared_data_ : with_data ? data_ : py::object(py::none());
    if (with_data && !shared_data_) ++data_sent_;
    flights_.push_back({start, stop, executor_.attr("submit")(chunk_fn_, job_, data, start, stop),
                        false, generation_});
  }

  std::int64_t chunk_size() const {
    if (timed_attempts_ == 0 || timed_seconds_ <= 0) return 2;
    double per = timed_seconds_ / static_cast<double>(timed_attempts_);
    return std::clamp<std::int64_t>(static_cast<std::int64_t>(target_seconds_ / per), 1, kMaxChunk);
  }

  // Successes known so far (committed or waiting for earlier chunks), in attempt order.
  std::int64_t known_cutoff() const {
    std::int64_t count = results_.found();
    for (const auto &[start, held] : waiting_) count += static_cast<std::int64_t>(py::len(held.second));
    if (count < results_.wanted) return -1;
    std::vector<std::int64_t> known(results_.attempts);
    for (const auto &[start, held] : waiting_)
      for (py::handle r : held.second) known.push_back(r[py::int_(0)].cast<std::int64_t>());
    if (static_cast<std::int64_t>(known.size()) < results_.wanted) return -1;
    std::nth_element(known.begin(), known.begin() + (results_.wanted - 1), known.end());
    return known[static_cast<std::size_t>(results_.wanted - 1)];
  }

  void loop() {
    py::object wait = cf_.attr("wait");
    py::object first_completed = cf_.attr("FIRST_COMPLETED");
    std::int64_t cutoff = -1;  // the ct-th known success: nothing after it is needed
    while (!results_.full()) {
      while (cutoff < 0 && next_ < max_attempts_ &&
             static_cast<std::int64_t>(flights_.size()) < 2 * workers_) {
        std::int64_t stop = std::min(max_attempts_, next_ + chunk_size());
        submit(next_, stop, first_wave_ > 0);
        if (first_wave_ > 0) --first_wave_;
        next_ = stop;
      }
      if (flights_.empty()) break;
      py::list futures;
      for (const Flight &f : flights_) futures.append(f.future);
      wait(futures, "timeout"_a = 0.2, "return_when"_a = first_completed);
      std::vector<Flight> still;
      std::vector<Flight> finished;
      for (Flight &f : flights_)
        (f.future.attr("done")().cast<bool>() ? finished : still).push_back(std::move(f));
      flights_ = std::move(still);
      for (Flight &f : finished) collect(f);
      commit_ready();
      if (!results_.full()) {
        cutoff = known_cutoff();
        if (cutoff >= 0) cancel_after(cutoff);
      }
    }
  }

  void collect(Flight &f) {
    if (f.cancelled) return;
    if (f.future.attr("cancelled")().cast<bool>()) {
      // Not cancelled here: the executor gave up on it.
      if (!shared_data_ || f.generation == generation_) {
        py::object why = py::module_::import("concurrent.futures").attr("CancelledError")(
            "the executor cancelled the task");
        if (!shared_data_lost()) fail(f, why);
        if (++data_losses_ > kDataLosses) fail(f, why, true);
        scatter();  // the workers holding the data died: broadcast it again
        data_sent_ += workers_;
      }
      submit(f.start, f.stop, true);
      return;
    }
    py::object exc = f.future.attr("exception")();
    if (!exc.is_none()) fail(f, exc);
    py::object out = f.future.attr("result")();
    if (out.is_none()) {  // that worker had no data for this call yet
      submit(f.start, f.stop, true);
      return;
    }
    py::list rows = out[py::int_(0)];
    timed_attempts_ += f.stop - f.start;
    timed_seconds_ += out[py::int_(1)].cast<double>();
    waiting_[f.start] = {f.stop, rows};
    results_.progress.advance(f.stop - f.start, results_.found());
  }

  void commit_ready() {
    for (auto it = waiting_.begin(); it != waiting_.end() && it->first == commit_pos_;
         it = waiting_.erase(it)) {
      for (py::handle r : it->second.second) {
        if (results_.full()) break;
        results_.add(r[py::int_(0)].cast<std::int64_t>(),
                     as_row(r[py::int_(1)], r[py::int_(2)], r[py::int_(3)], r[py::int_(4)]));
      }
      commit_pos_ = it->second.first;
    }
    results_.publish();
    results_.progress.advance(0, results_.found());
  }

  void cancel_after(std::int64_t cutoff) {
    for (Flight &f : flights_)
      if (f.start > cutoff) {
        f.cancelled = true;
        f.future.attr("cancel")();
      }
  }

  [[noreturn]] void fail(const Flight &f, py::object exc, bool died = false) {
    if (py::isinstance(exc, py::module_::import("builtins").attr("KeyboardInterrupt"))) {
      PyErr_SetNone(PyExc_KeyboardInterrupt);
      throw py::error_already_set();
    }
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    std::string where;
    if (died || is_worker_death(exc)) {
      std::int64_t culprit = f.stop - f.start == 1 ? f.start : -1;
      if (culprit < 0) culprit = diagnose(f);
      if (culprit >= 0) {
        Drawn drawn = draw(self_, seeder_.randint(culprit));
        py::str text = self_.attr("fuctions")(drawn.list);
        where = format("a worker process died during attempt {} ({})", culprit, text);
      } else {
        where = format("a worker process died during one of attempts {} to {}", f.start,
                       f.stop - 1);
      }
    } else {
      where = format("attempts {} to {} failed in a worker: {!r}", f.start, f.stop - 1, exc);
    }
    std::string msg = format("{}; {} holds the {} factors found before it", where,
                             results_.file.path(), results_.found());
    py::object error = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(msg);
    error.attr("__cause__") = exc;
    PyErr_SetObject(PyExc_RuntimeError, error.ptr());
    throw py::error_already_set();
  }

  // Which attempt took the worker down: the chunks that were out, one attempt at a time in
  // attempt order, on a fresh one-process pool here, whatever executor ran them (attempts are
  // reproducible, so it dies again; a death this machine does not repeat leaves -1).
  std::int64_t diagnose(const Flight &failed) {
    std::vector<std::pair<std::int64_t, std::int64_t>> ranges{{failed.start, failed.stop}};
    for (const Flight &f : flights_) ranges.emplace_back(f.start, f.stop);
    std::sort(ranges.begin(), ranges.end());
    shut_down(true);
    py::object pool = cf_.attr("ProcessPoolExecutor")(
        "max_workers"_a = 1, "initializer"_a = mod_.attr("_mine_worker_init"),
        "initargs"_a = py::make_tuple(job_[py::int_(0)], data_, kernel_threads(1)));
    std::int64_t culprit = -1, tried = 0;
    try {
      for (const auto &[start, stop] : ranges) {
        for (std::int64_t i = start; i < stop && culprit < 0 && tried < kDiagnoseAtMost; ++i, ++tried) {
          py::object fut = pool.attr("submit")(chunk_fn_, job_, py::none(), i, i + 1);
          py::object exc = fut.attr("exception")();
          if (!exc.is_none() && is_worker_death(exc)) culprit = i;
        }
      }
    } catch (...) {
      terminate_pool(pool);
      throw;
    }
    terminate_pool(pool);
    return culprit;
  }

  void shut_down(bool stop_now) {
    for (Flight &f : flights_) {
      f.cancelled = true;
      f.future.attr("cancel")();
    }
    flights_.clear();
    if (own_pool_ && executor_) {
      py::object pool = std::move(executor_);
      executor_ = py::object();
      if (stop_now)
        terminate_pool(pool);
      else
        pool.attr("shutdown")("wait"_a = true, "cancel_futures"_a = true);
    }
    shared_data_ = py::object();
  }

  py::handle mod_;
  py::object self_;
  Results &results_;
  const Seeder &seeder_;
  py::tuple job_;
  py::object data_, shared_data_, client_, executor_, cf_, chunk_fn_;
  std::int64_t data_losses_ = 0;
  int generation_ = 0;
  std::int64_t max_attempts_;
  bool own_pool_ = false;
  std::int64_t workers_ = 1, first_wave_ = 0, data_sent_ = 0;
  double target_seconds_ = 0.5;
  std::int64_t next_ = 0, commit_pos_ = 0;
  std::int64_t timed_attempts_ = 0;
  double timed_seconds_ = 0;
  std::vector<Flight> flights_;
  std::map<std::int64_t, std::pair<std::int64_t, py::list>> waiting_;
};

bool is_dask_client(py::handle executor) {
  return py::hasattr(executor, "scatter") && py::hasattr(executor, "get_executor") &&
         py::hasattr(executor, "nthreads");
}

// Operators as they travel to workers: the callable itself where it pickles, else its name only.
py::list travelling_operators(py::handle self) {
  py::object dumps = py::module_::import("pickle").attr("dumps");
  py::list ops;
  py::object fuc = self.attr("fuc"), fc = self.attr("fc");
  const std::size_t n = py::len(fuc);
  for (std::size_t k = 0; k < n; ++k) {
    py::object entry = fuc[py::int_(k)];
    py::object fn = k < py::len(fc) ? py::object(fc[py::int_(k)]) : py::object(py::none());
    try {
      dumps(fn);
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_Exception)) throw;
      fn = py::none();
    }
    ops.append(py::make_tuple(entry[py::int_(0)], entry[py::int_(1)], fn));
  }
  return ops;
}

// Any non-negative integer, however wide: a drawn seed has 128 bits and must replay exactly.
py::object seed_of(py::handle seed) {
  if (seed.is_none())
    return py::module_::import("numpy").attr("random").attr("SeedSequence")().attr("entropy");
  PyObject *i = PyBool_Check(seed.ptr()) ? nullptr : PyNumber_Index(seed.ptr());
  if (!i) {
    PyErr_Clear();
    raise(PyExc_ValueError, format("seed must be None or a whole number >= 0, got {!r}", seed));
  }
  auto value = py::reinterpret_steal<py::object>(i);
  if (value < py::int_(0))
    raise(PyExc_ValueError, format("seed must be None or a whole number >= 0, got {!r}", seed));
  return value;
}

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

py::object mine_chunk(py::handle mod, py::handle job, py::handle data, std::int64_t start,
                      std::int64_t stop) {
  const double t0 = now();
  py::object token = job[py::int_(0)];
  py::dict cache = worker_cache(mod);
  py::object entry;
  if (cache.contains(token))
    entry = cache[token];
  else if (data.is_none())
    return py::none();
  else
    entry = cache_market(mod, token, data);
  const Market &market = *entry[py::int_(0)].cast<py::capsule>().get_pointer<Market>();
  if (entry[py::int_(1)].is_none()) entry[py::int_(1)] = rebuild_miner(mod, job[py::int_(1)]);
  py::object miner = entry[py::int_(1)];
  const bool hedged = job[py::int_(2)].cast<bool>();
  const std::int64_t legs = job[py::int_(3)].cast<std::int64_t>();
  Seeder seeder(job[py::int_(4)]);

  std::optional<QuietWarnings> quiet;
  if (!mine_ran_here) quiet.emplace();
  py::list rows;
  for (std::int64_t i = start; i < stop; ++i) {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    py::object row = silent_attempt(mod, miner, market, legs, hedged, seeder.randint(i));
    if (!row.is_none())
      rows.append(py::make_tuple(i, row[py::int_(0)], row[py::int_(1)], row[py::int_(2)],
                                 row[py::int_(3)]));
  }
  return py::make_tuple(rows, now() - t0);
}

py::object mine(py::handle mod, py::object self, py::handle data1, py::handle price1,
                py::handle zz500, py::handle ct, py::handle l, py::handle long_only,
                py::handle seed, py::handle n_jobs, py::handle executor, py::handle max_attempts,
                py::handle progress) {
  // Every argument is checked before any work.
  const std::int64_t wanted = whole_number(ct, "ct", 0);
  const std::int64_t legs = whole_number(l, "l", 1);
  const std::int64_t jobs = whole_number(n_jobs, "n_jobs", 1);
  const std::int64_t limit = whole_number(max_attempts, "max_attempts", 0);
  if (jobs > 1 && !executor.is_none())
    raise(PyExc_ValueError, "give either n_jobs > 1 (a pool of this call's own) or executor=, not both");
  if (!executor.is_none() && !py::hasattr(executor, "submit"))
    raise(PyExc_TypeError, "executor must be a concurrent.futures.Executor or a dask.distributed "
                           "Client, got " + type_name(executor));
  if (!progress.is_none() && !PyBool_Check(progress.ptr()))
    raise(PyExc_ValueError, format("progress must be True, False or None, got {!r}", progress));
  // Each process of a pool is a real one, started at once; beyond this a count is a slip.
  if (jobs > kMaxJobs)
    raise(PyExc_ValueError,
          format("n_jobs must be at most {} processes, got {!r}", kMaxJobs, n_jobs));
  const bool hedged = !switch_value(long_only, "long_only");
  py::object seed_value = seed_of(seed);

  if (wanted == 0) {
    py::module_::import("random").attr("randint")(0, 999);  // the run number, as the drivers do
    return empty_frame(seed_value);
  }
  Market market = prepare_checked_market(data1, price1, zz500);
  Seeder seeder(seed_value);
  Progress bar(progress, wanted, limit);
  Results results(wanted, bar);
  mine_ran_here = true;
  QuietWarnings quiet;

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
    py::object token = py::module_::import("uuid").attr("uuid4")().attr("hex");
    py::tuple job = py::make_tuple(token, travelling_operators(self), hedged, legs, seed_value);
    py::tuple data = py::make_tuple(data1, price1, py::list(py::reinterpret_borrow<py::object>(zz500)));
    ExecutorRun run(mod, self, results, seeder, job, data, limit);
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
