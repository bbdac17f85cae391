#include "factorsearch/search/mine.hpp"
#include "common/signals.hpp"
#include "common/parallel.hpp"
#include "factorsearch/runtime/chunk_runner.hpp"
#include "factorsearch/runtime/progress.hpp"
#include "factorsearch/backtest/backtest.hpp"
#include "factorsearch/search/scoring.hpp"
#include "factorsearch/runtime/quiet_warnings.hpp"
#include "factorsearch/search/result_files.hpp"
#include "factorsearch/market/holdout.hpp"
#include "factorsearch/backtest/sharpe_inference.hpp"
#include "factorsearch/expr/walk.hpp"
#include "factorsearch/search/miner.hpp"
#include "factorsearch/backtest/selection_checks.hpp"

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

// Set once mine() has run in this process. Chunks running here (a thread-pool executor) leave the
// warning filters to that call: one still running after it returned must not swap the
// process-wide filters under the caller's feet. Worker processes silence their chunks themselves.
bool mine_ran_here = false;

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

// An attempt as f/f1 runs it on the in-sample data, without printing, drawing from `randint`:
// the scored row (mine_scoring.hpp), or an empty tuple for a miss.
py::tuple silent_attempt(py::handle mod, py::handle miner, const MiningData &data,
                         std::int64_t legs, bool hedged, py::handle randint) {
  register_operators(mod, miner);
  Drawn drawn = draw(miner, randint);
  py::str text = miner.attr("fuctions")(drawn.list);
  try {
    return score_formula(mod, miner, drawn, text, data, legs, hedged);
  } catch (py::error_already_set &e) {
    if (!is_miss(e)) throw;
  } catch (const std::exception &) {
  }
  return py::tuple();
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

// The call's data as it travels: the tuple (data1, price1, universe as a list, position of the
// first hold-out date or None, warm-up).
py::tuple pack_market(py::handle frames, py::handle prices, py::handle universe,
                      py::handle holdout_at, std::size_t warmup) {
  return py::make_tuple(frames, prices, py::list(py::reinterpret_borrow<py::object>(universe)),
                        holdout_at, warmup);
}
MiningData unpack_market(py::handle data) {
  return prepare_mining_data(data[py::int_(0)], data[py::int_(1)], data[py::int_(2)],
                             data[py::int_(3)], data[py::int_(4)].cast<std::size_t>());
}

// ---------------------------------------------------------------------------------------------
// Worker side

void free_market(void *p) { delete static_cast<MiningData *>(p); }

py::object cache_market(py::handle mod, py::handle token, py::handle data) {
  return cache_call(mod, kCacheName, token, [&] {
    return py::capsule(static_cast<void *>(new MiningData(unpack_market(data))), &free_market);
  });
}

// ---------------------------------------------------------------------------------------------
// Caller side

// Progress: attempts and successes on a tqdm bar or a stderr line (progress.hpp); found rows
// are printed as the drivers print them, around the bar.
class Progress {
 public:
  Progress(py::handle flag, std::int64_t wanted, std::int64_t max_attempts)
      : wanted_(wanted),
        show_(flag, py::dict("total"_a = max_attempts < kMaxAttempts
                                             ? py::object(py::int_(max_attempts))
                                             : py::object(py::none()),
                             "desc"_a = "mine", "unit"_a = " attempts", "dynamic_ncols"_a = true,
                             "smoothing"_a = 0.1)),
        start_(now()), last_(start_) {
    if (show_.bar())
      show_.bar().attr("set_postfix_str")(format("found {}/{}", 0, wanted_), "refresh"_a = false);
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
    if (const py::object &bar = show_.bar()) {
      if (found != found_)
        bar.attr("set_postfix_str")(format("found {}/{}", found, wanted_), "refresh"_a = false);
      bar.attr("update")(attempts);
    } else if (show_.text() && now() - last_ >= 0.5) {
      last_ = now();
      write_text(found);
    }
    found_ = found;
  }

  void print_row(py::handle row) {
    const py::object &bar = show_.bar();
    if (bar) bar.attr("clear")();
    py::module_::import("builtins").attr("print")(row, "flush"_a = true);
    if (bar) bar.attr("refresh")();
  }

  void close() {
    if (show_.text()) write_text(found_);
    show_.close();
  }

 private:
  void write_text(std::int64_t found) {
    double secs = std::max(now() - start_, 1e-9);
    show_.line(format("mine: {} attempts, found {}/{}, {:.1f} attempts/s", done_, found, wanted_,
                      static_cast<double>(done_) / secs));
  }

  std::int64_t wanted_, done_ = 0, found_ = 0;
  ProgressDisplay show_;
  double start_ = 0, last_ = 0;
};

py::object as_row(py::handle text, py::handle net, py::handle sharpe, py::handle max_drawdown) {
  py::list row;
  row.append(text);
  row.append(net);
  row.append(sharpe);
  row.append(max_drawdown);
  return row;
}

// The rows committed so far, in attempt order, their .npy file and the table of every column
// beside it. The table is rewritten at most every kTableSeconds while rows arrive (it takes
// every row's deflated Sharpe anew) and once more when the call ends, however it ends.
struct Results {
  static constexpr double kTableSeconds = 2.0;
  Results(std::int64_t wanted, Progress &progress, const std::string &directory,
          bool holdout)
      : wanted(wanted), progress(progress), file(directory), table(file.path()),
        holdout(holdout) {}

  bool full() const { return found() >= wanted; }
  std::int64_t found() const { return static_cast<std::int64_t>(attempts.size()); }

  void commit(std::int64_t attempt, py::handle scored) {
    add(attempt, scored);
    publish();
  }

  // Rows that arrive together (one chunk's) are added, then saved in one rewrite and printed:
  // a rewrite costs an fsync, several milliseconds, which would bound a pool's throughput.
  // A row `admit` refuses (too close to a row already found) is turned away: a miss.
  void add(std::int64_t attempt, py::handle scored) {
    if (admit && !admit(attempt, scored)) {
      ++turned_away;
      return;
    }
    py::object row = as_row(scored[py::int_(kText)], scored[py::int_(kNet)],
                            scored[py::int_(kSharpe)], scored[py::int_(kMaxDrawdown)]);
    rows.append(row);
    this->scored.append(scored);
    attempts.push_back(attempt);
    unpublished.append(row);
  }

  void publish() {
    if (py::len(unpublished) == 0) return;
    file.save(rows);
    py::list out = std::move(unpublished);
    unpublished = py::list();
    for (py::handle row : out) progress.print_row(row);
    if (now() - table_saved_at >= kTableSeconds) save_table();
  }

  void save_table();

  const std::int64_t wanted;
  Progress &progress;
  ResultFile file;
  ResultTable table;
  const bool holdout;
  py::list rows, scored, unpublished;
  std::vector<std::int64_t> attempts;
  double table_saved_at = -1e300;
  std::size_t table_rows = static_cast<std::size_t>(-1);
  py::object seed;
  std::int64_t attempts_used = 0, data_sent = 0, turned_away = 0;
  std::function<bool(std::int64_t, py::handle)> admit;  // empty: every row enters
};

// max_correlation: a found formula enters only when the mean daily rank correlation of its
// in-sample factor with every row already found is below the bound. Rows are compared on the
// in-sample back-test days; the caller evaluates each candidate again (a worker sends back only
// its row), which a search with the bound pays once per found row.
class DistinctRows {
 public:
  DistinctRows(py::handle mod, py::handle miner, const MiningData &data, const Seeder &seeder,
               double bound)
      : mod_(mod), miner_(miner), data_(data), seeder_(seeder), bound_(bound) {}

  bool admit(std::int64_t attempt) {
    Drawn drawn = draw(miner_, seeder_.randint(attempt));
    std::vector<double> panel;
    register_operators(mod_, miner_);
    try {
      if (!evaluate_panel(mod_, miner_, drawn, data_.sample, panel)) return false;
    } catch (py::error_already_set &e) {
      if (!is_miss(e)) throw;
      return false;
    } catch (const std::exception &) {
      return false;
    }
    const std::size_t m = data_.sample.n_stocks();
    const TradedDays days = traded_days(data_.sample.n_dates, DayRange{data_.warmup});
    bool fresh = true;
    {
      py::gil_scoped_release nogil;
      DailyRanks ranks = daily_ranks(panel, m, days.first, days.end);
      for (const DailyRanks &kept : kept_)
        if (!(mean_rank_correlation(ranks, kept) < bound_)) {
          fresh = false;
          break;
        }
      if (fresh) kept_.push_back(std::move(ranks));
    }
    return fresh;
  }

 private:
  py::handle mod_, miner_;
  const MiningData &data_;
  const Seeder &seeder_;
  double bound_;
  std::vector<DailyRanks> kept_;
};

// A success as a worker reports it: its attempt and its scored row (mine_scoring.hpp).
struct Found {
  std::int64_t attempt;
  py::object row;
};

// What one chunk gave back: its successes in attempt order and the seconds it took. A worker
// answers (rows, seconds) with rows (attempt, scored row of mine_scoring.hpp); this is the one
// place that layout is read.
struct ChunkOutcome {
  std::vector<Found> found;
  double seconds = 0;

  static ChunkOutcome decode(py::handle answer) {
    ChunkOutcome out;
    for (py::handle r : answer[py::int_(0)])
      out.found.push_back({r[py::int_(0)].cast<std::int64_t>(), r[py::int_(1)]});
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
    if (results_.admit) return -1;  // a known success may still be turned away
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

// One mining call's attempts on the chunk runner: successes held per chunk and committed strictly
// in attempt order, nothing sent after the wanted-th known success.
class MineWork final : public ChunkWork {
 public:
  MineWork(py::object self, Results &results, const Seeder &seeder)
      : self_(std::move(self)), results_(results), seeder_(seeder), commit_(results) {}

  std::int64_t attempts_used() const { return commit_.attempts_used(); }

  py::tuple items(const Chunk &c) override { return py::make_tuple(c.start, c.stop); }
  void accept(const Chunk &c, py::handle answer) override {
    commit_.hold(c, ChunkOutcome::decode(answer).found);
    results_.progress.advance(c.size(), results_.found());
  }
  void batch_done() override { commit_.commit_ready(); }
  bool wants_more() override { return !results_.full(); }
  std::int64_t cutoff() override { return commit_.known_cutoff(); }

  // The file and the message hold every success before the attempt that kills a worker; when the
  // wanted successes all come before it, the call ends normally, as it would have in one process.
  void worker_died(const Chunk &, const std::vector<Chunk> &out, std::int64_t culprit,
                   py::object exc) override {
    commit_.commit_ready();
    if (results_.full()) return;
    if (culprit < 0) {
      auto [first, last] = std::minmax_element(out.begin(), out.end());
      raise_failure(format("a worker process died during one of attempts {} to {}", first->start,
                           last->stop - 1),
                    exc);
    }
    Drawn drawn = draw(self_, seeder_.randint(culprit));
    py::str text = self_.attr("fuctions")(drawn.list);
    raise_failure(format("a worker process died during attempt {} ({})", culprit, text), exc);
  }
  [[noreturn]] void chunk_failed(const Chunk &c, py::object exc) override {
    raise_failure(format("attempts {} to {} failed in a worker: {!r}", c.start, c.stop - 1, exc),
                  exc);
  }

 private:
  [[noreturn]] void raise_failure(const std::string &where, py::object cause) {
    raise_caused(format("{}; {} holds the {} factors found before it", where,
                        results_.file.path(), results_.found()),
                 cause);
  }

  py::object self_;
  Results &results_;
  const Seeder &seeder_;
  OrderedCommit commit_;
};

// The result frame of scored rows (mine_scoring.hpp) in attempt order. The deflated Sharpe of
// each row takes every row as a trial; duplicate_of names the first earlier row ranking the
// stocks equally on every in-sample day.
py::object frame_of(py::handle scored, const std::vector<std::int64_t> &attempts, bool holdout) {
  py::module_ np = py::module_::import("numpy");
  py::module_ pd = py::module_::import("pandas");
  const std::size_t n = attempts.size();
  py::list text, dup;
  std::vector<double> net(n), sharpe(n), max_drawdown(n), sr(n), dsr(n);
  std::vector<SharpeMoments> moments(n);
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::int64_t> first_with;
  auto num = [](py::handle v) { return v.cast<double>(); };
  for (std::size_t k = 0; k < n; ++k) {
    py::tuple r = scored[py::int_(k)];
    text.append(r[kText]);
    net[k] = num(r[kNet]);
    sharpe[k] = num(r[kSharpe]);
    max_drawdown[k] = num(r[kMaxDrawdown]);
    moments[k] = {num(r[kSr]), num(r[kSkew]), num(r[kKurt]), r[kDays].cast<std::size_t>()};
    sr[k] = moments[k].sr;
    auto key = std::make_pair(r[kDigestA].cast<std::uint64_t>(), r[kDigestB].cast<std::uint64_t>());
    auto [it, fresh] = first_with.emplace(key, attempts[k]);
    dup.append(fresh ? py::object(py::none()) : py::object(py::int_(it->second)));
  }
  const double sr0 = alphaloom::expected_max_sharpe(sr);
  for (std::size_t k = 0; k < n; ++k) dsr[k] = alphaloom::probabilistic_sharpe(moments[k], sr0);

  auto floats = [&](const std::vector<double> &v) {
    py::array_t<double> a(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), a.mutable_data());
    return a;
  };
  py::dict columns;
  columns["formula"] = pd.attr("Series")(text, "dtype"_a = "object");
  columns["net_value"] = floats(net);
  columns["sharpe"] = floats(sharpe);
  columns["maxdown"] = floats(max_drawdown);
  columns["attempt"] = py::array_t<std::int64_t>(static_cast<py::ssize_t>(n), attempts.data());
  columns["deflated_sharpe"] = floats(dsr);
  columns["duplicate_of"] = pd.attr("array")(dup, "dtype"_a = "Int64");
  if (holdout)
    add_holdout_columns(columns, n, [&](std::size_t k) { return py::tuple(scored[py::int_(k)]); });
  add_breadth_columns(columns, n, [&](std::size_t k) { return py::tuple(scored[py::int_(k)]); });
  py::object frame = pd.attr("DataFrame")(columns);
  py::object trials = floats(sr);
  frame.attr("attrs")["trial_sharpes"] = trials;
  return frame;
}

void Results::save_table() {
  table_saved_at = now();
  if (table_rows == attempts.size()) return;
  table_rows = attempts.size();
  table.save(frame_of(scored, attempts, holdout));
}

py::object result_frame(Results &results, py::object seed, std::int64_t attempts,
                        std::int64_t data_sent, py::object holdout_date) {
  py::object frame = frame_of(results.scored, results.attempts, results.holdout);
  frame.attr("attrs")["seed"] = seed;
  frame.attr("attrs")["path"] = results.file.path();
  frame.attr("attrs")["table"] = results.table.path();
  frame.attr("attrs")["attempts"] = attempts;
  frame.attr("attrs")["data_sent"] = data_sent;
  frame.attr("attrs")["holdout"] = holdout_date;
  frame.attr("attrs")["turned_away"] = results.turned_away;
  return frame;
}

py::object empty_frame(py::object seed, bool holdout, py::object holdout_date) {
  py::object frame = frame_of(py::list(), {}, holdout);
  frame.attr("attrs")["seed"] = seed;
  frame.attr("attrs")["path"] = py::none();
  frame.attr("attrs")["table"] = py::none();
  frame.attr("attrs")["attempts"] = 0;
  frame.attr("attrs")["data_sent"] = 0;
  frame.attr("attrs")["holdout"] = holdout_date;
  frame.attr("attrs")["turned_away"] = 0;
  return frame;
}

}  // namespace

void mine_worker_init(py::handle mod, py::handle token, py::handle data, int threads,
                      std::int64_t parent_pid) {
  init_pool_worker(threads, parent_pid);
  cache_market(mod, token, data);
}

py::object mine_chunk(py::handle mod, py::handle packed_job, py::handle data, std::int64_t start,
                      std::int64_t stop) {
  const double t0 = now();
  const Job job = Job::unpack(packed_job);
  const auto call = worker_call(mod, kCacheName, job.token, data, job.operators,
                                [&] { return cache_market(mod, job.token, data); });
  if (!call) return py::none();
  const MiningData &market = call->held<MiningData>();
  const py::object miner = call->miner;
  Seeder seeder(job.seed);

  std::optional<QuietWarnings> quiet;
  if (!mine_ran_here) quiet.emplace();
  py::list rows;
  for (std::int64_t i = start; i < stop; ++i) {
    check_signals();
    py::tuple row = silent_attempt(mod, miner, market, job.legs, job.hedged, seeder.randint(i));
    if (row.size() > 0) rows.append(py::make_tuple(i, row));
  }
  return py::make_tuple(rows, now() - t0);
}

namespace {

// The call's data: with a hold-out (`at` not None) its in-sample and whole-data markets, else the
// checked market alone.
MiningData mining_data(py::handle frames, py::handle prices, py::handle universe,
                       py::handle at, std::size_t warmup) {
  MiningData market;
  if (!at.is_none()) {
    market = prepare_mining_data(frames, prices, universe, at, warmup);
    if (market.sample.n_stocks() < 2)
      raise(PyExc_ValueError,
            format("the universe needs at least two stocks, got {}", market.sample.n_stocks()));
  } else {
    market.sample = prepare_checked_market(frames, prices, universe, warmup);
    market.warmup = warmup;
  }
  return market;
}

}  // namespace

py::object mine(py::handle mod, py::object self, const Args &a) {
  const py::object frames = a["data1"], prices = a["price1"], universe = a["zz500"];
  const std::int64_t wanted = a.whole("ct"), legs = a.whole("l"), jobs = a.whole("n_jobs"),
                     limit = a.whole("max_attempts");
  const auto warmup = static_cast<std::size_t>(a.whole("warmup"));
  const double bound = a.number("max_correlation");
  const py::object executor = a["executor"], progress = a["progress"], holdout = a["holdout"];
  check_runner_args(jobs, executor);
  const std::string folder = result_directory(a["directory"]);
  const bool hedged = !a.flag("long_only");
  check_market_types(frames, prices, universe);
  const py::object seed_value = a.seed("seed");
  const bool with_holdout = !holdout.is_none();
  py::object at = py::none(), holdout_date = py::none();
  if (with_holdout) {
    check_dates_and_codes(frames, prices, universe);
    at = holdout_position(holdout, frames, warmup);
    holdout_date = frames.attr("index")[at];
  }

  if (wanted == 0) {
    py::module_::import("random").attr("randint")(0, 999);  // the run number, as the drivers do
    return empty_frame(seed_value, with_holdout, holdout_date);
  }
  const MiningData market = mining_data(frames, prices, universe, at, warmup);
  Seeder seeder(seed_value);
  Progress bar(progress, wanted, limit);
  Results results(wanted, bar, folder, with_holdout);
  std::optional<DistinctRows> distinct;
  if (!std::isnan(bound)) {
    distinct.emplace(mod, self, market, seeder, bound);
    results.admit = [&](std::int64_t attempt, py::handle) { return distinct->admit(attempt); };
  }
  mine_ran_here = true;
  QuietWarnings quiet;

  std::int64_t used = 0, data_sent = 0;
  try {
    if (jobs == 1 && executor.is_none()) {
      std::int64_t i = 0;
      for (; i < limit && !results.full(); ++i) {
        check_signals();
        py::tuple row = silent_attempt(mod, self, market, legs, hedged, seeder.randint(i));
        if (row.size() > 0) results.commit(i, row);
        bar.advance(1, results.found());
      }
      used = i;
    } else {
      Job job{py::module_::import("uuid").attr("uuid4")().attr("hex"), travelling_operators(self),
              hedged, legs, seed_value};
      ChunkRunner runner(mod, "_mine_chunk", "_mine_worker_init", job.pack(), job.token,
                         pack_market(frames, prices, universe, at, warmup));
      MineWork work(self, results, seeder);
      runner.start(jobs, executor);
      runner.run(limit, work);
      runner.close(false);
      used = work.attempts_used();
      data_sent = runner.data_sent();
    }
  } catch (...) {
    // The table follows the .npy even when the call ends early (Ctrl-C, a dead worker).
    try {
      py::error_scope keep;
      results.save_table();
    } catch (...) {
    }
    throw;
  }
  bar.close();
  results.save_table();
  return result_frame(results, seed_value, used, data_sent, holdout_date);
}
}  // namespace factorsearch
