#include "factorsearch/search/evolve.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <ctime>
#include <cmath>
#include <functional>
#include <limits>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "factorsearch/backtest/sharpe_inference.hpp"
#include "factorsearch/backtest/in_sample.hpp"
#include "factorsearch/search/gp_tree.hpp"
#include "factorsearch/expr/formula_parser.hpp"
#include "factorsearch/market/market.hpp"
#include "factorsearch/market/holdout.hpp"
#include "factorsearch/search/miner.hpp"
#include "factorsearch/search/scoring.hpp"
#include "factorsearch/expr/walk.hpp"
#include "factorsearch/runtime/quiet_warnings.hpp"
#include "common/parallel.hpp"
#include "factorsearch/runtime/chunk_runner.hpp"
#include "factorsearch/runtime/progress.hpp"
#include "factorsearch/backtest/report.hpp"
#include "factorsearch/expr/walk.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

constexpr const char *kCacheName = "_evolve_cache";
constexpr const char *kMemoBytesName = "_evolve_memo_bytes";  // tests set 0: no subtree cache
constexpr std::int64_t kMemoBytes = 256LL << 20;                // per worker and call
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kWorst = -std::numeric_limits<double>::infinity();

// ---------------------------------------------------------------------------------------------
// Identical subtrees: one value per subtree text, least recently used dropped first. A value
// costs about one dates x stocks panel, so the memory bound is a count of entries.

class SubtreeMemo final : public NodeMemo {
 public:
  explicit SubtreeMemo(std::size_t capacity) : capacity_(capacity) {}

  // The formula about to be walked: keys[i] names the subtree at position i ("" when it is not
  // kept: fields, and the whole formula, which the caller's fitness cache already shares).
  void bind(std::vector<std::string> keys, std::vector<std::size_t> ends) {
    keys_ = std::move(keys);
    ends_ = std::move(ends);
  }
  bool enabled() const { return capacity_ > 0; }

  const Value *find(std::size_t i, std::size_t &end) override {
    if (!enabled() || i >= keys_.size() || keys_[i].empty()) return nullptr;
    auto it = index_.find(keys_[i]);
    if (it == index_.end()) return nullptr;
    lru_.splice(lru_.begin(), lru_, it->second);
    ++hits_;
    end = ends_[i];
    return &it->second->second;
  }

  void keep(std::size_t i, const Value &v) override {
    if (!enabled() || i >= keys_.size() || keys_[i].empty() || index_.count(keys_[i])) return;
    lru_.emplace_front(keys_[i], v);
    index_[keys_[i]] = lru_.begin();
    while (lru_.size() > capacity_) {
      index_.erase(lru_.back().first);
      lru_.pop_back();
    }
  }

  std::int64_t take_hits() { return std::exchange(hits_, 0); }

 private:
  std::size_t capacity_;
  std::list<std::pair<std::string, Value>> lru_;
  std::unordered_map<std::string, std::list<std::pair<std::string, Value>>::iterator> index_;
  std::vector<std::string> keys_;
  std::vector<std::size_t> ends_;
  std::int64_t hits_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Scoring formula texts: what a worker (or this process) does with each.

struct Scoring {
  std::int64_t legs = 1;
  bool hedged = true;
  std::string kind;   // "rank_ic", "ic", "sharpe" or "callable"
  py::object fn;      // the callable
};

struct WorkerState {
  WorkerState(Market m, std::int64_t memo_bytes)
      : market(std::move(m)),
        memo(static_cast<std::size_t>(std::max<std::int64_t>(memo_bytes, 0)) /
             std::max<std::size_t>(market.n_dates * market.n_stocks() * sizeof(double), 1)),
        forward(forward_order(market.prices, market.n_dates, market.n_stocks())) {}
  Market market;
  SubtreeMemo memo;
  ForwardOrder forward;
  double walk_seconds = 0;  // CPU time spent evaluating formula trees, not yet reported
  double take_walk_seconds() { return std::exchange(walk_seconds, 0.0); }
};

struct OperatorTable {
  std::vector<OperatorSpec> specs;
  std::vector<std::string> fields;
};

OperatorTable operator_table(py::handle miner) {
  OperatorTable t;
  for (py::handle entry : miner.attr("fuc")) {
    OperatorSpec spec;
    py::object name = entry[py::int_(0)];
    if (py::isinstance<py::str>(name)) spec.name = name.cast<std::string>();
    spec.arity = py::int_(entry[py::int_(1)]).cast<std::int64_t>();
    t.specs.push_back(std::move(spec));
  }
  for (py::handle f : miner.attr("fields")) t.fields.push_back(py::str(f).cast<std::string>());
  return t;
}

std::vector<RenderItem> render_items(const Program &p, const OperatorTable &t) {
  std::vector<RenderItem> items;
  items.reserve(p.size());
  for (const Element &e : p) {
    RenderItem item;
    if (e.is_op()) {
      item.is_op = true;
      item.name = &t.specs[static_cast<std::size_t>(e.op)].name;
      item.arity = e.arity;
    } else {
      item.field = e.field;
    }
    items.push_back(item);
  }
  return items;
}

std::string text_of(const Program &p, const OperatorTable &t) {
  const auto items = render_items(p, t);
  return render(items, t.fields);
}

const char *const kSummaryKeys[] = {"net_value",    "sharpe",    "maxdown",     "ic_mean",
                                    "ic_std",       "icir",      "rank_ic_mean", "rank_icir",
                                    "ic_positive",  "turnover",  "net_value_after_cost",
                                    "sharpe_after_cost", "days"};

// The in-sample report summary a fitness callable receives, keyed as Report.summary.
py::object summary_series(const std::vector<double> &panel, const Market &mk, const Scoring &s) {
  ReportSettings settings;
  settings.legs = s.legs;
  settings.hedged = s.hedged;
  Report rep;
  {
    py::gil_scoped_release nogil;
    rep = build_report(PanelView{panel, mk.prices, mk.n_dates, mk.n_stocks()}, settings);
  }
  const ReportStats &st = rep.stats;
  const double values[] = {st.backtest.net,   st.backtest.sharpe,  st.backtest.max_drawdown,
                           st.ic_mean,        st.ic_std,           st.icir,
                           st.rank_ic_mean,   st.rank_icir,        st.ic_positive,
                           st.turnover,       st.after_cost.net,   st.after_cost.sharpe,
                           static_cast<double>(st.days)};
  py::list keys, vals;
  for (std::size_t k = 0; k < std::size(kSummaryKeys); ++k) {
    keys.append(kSummaryKeys[k]);
    vals.append(values[k]);
  }
  return py::module_::import("pandas").attr("Series")(vals, "index"_a = keys, "dtype"_a = "float64",
                                                      "name"_a = "summary");
}

// One formula text: parsed as `factor` parses it, walked by the panel engine (sharing subtrees
// through the memo), scored on the data this state holds. None for any failure of the formula.
py::object score_text(py::handle mod, py::handle miner, WorkerState &ws, const OperatorTable &t,
                      const std::string &text, const Scoring &s) {
  Drawn drawn;
  try {
    drawn.program = parse_formula(text, t.specs, t.fields);
  } catch (const std::exception &) {
    return py::none();
  }
  drawn.list = program_as_list(drawn.program, miner.attr("fuc"));
  if (ws.memo.enabled()) {
    const auto items = render_items(drawn.program, t);
    std::vector<std::string> keys(drawn.program.size());
    std::vector<std::size_t> ends(drawn.program.size(), 0);
    for (std::size_t i = 1; i < drawn.program.size(); ++i) {
      if (!drawn.program[i].is_op()) continue;
      ends[i] = gp::subtree_end(drawn.program, i);
      keys[i] = render(std::span(items).subspan(i, ends[i] - i), t.fields);
    }
    ws.memo.bind(std::move(keys), std::move(ends));
  }
  const Market &mk = ws.market;
  const std::size_t n = mk.n_dates, m = mk.n_stocks();
  std::vector<double> panel(n * m);
  try {
    const std::clock_t t0 = std::clock();  // CPU time: the machine may be shared
    Walk walk(mod, miner, drawn, mk);
    walk.use_memo(&ws.memo);
    auto values = as_panel(walk.run(), walk, mk);
    ws.walk_seconds += static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC;
    auto u = values.unchecked<2>();
    for (std::size_t j = 0; j < m; ++j)
      for (std::size_t r = 0; r < n; ++r)
        panel[r * m + j] = u(static_cast<py::ssize_t>(r), static_cast<py::ssize_t>(j));
  } catch (py::error_already_set &e) {
    if (!is_miss(e)) throw;
    return py::none();
  } catch (const std::exception &) {
    return py::none();
  }
  const Measure measure =
      s.kind == "rank_ic" ? Measure::RankIC : s.kind == "ic" ? Measure::IC : Measure::None;
  InSample ins;
  {
    py::gil_scoped_release nogil;
    ins = score_in_sample(panel, mk.prices, n, m, s.legs, s.hedged, measure, &ws.forward);
  }
  if (!ins.ok) return py::none();
  double fit = kNaN;
  if (measure != Measure::None) {
    fit = ins.ic;
  } else if (s.kind == "sharpe") {
    fit = ins.row.sharpe;
  } else {
    py::object value = s.fn(summary_series(panel, mk, s));
    fit = py::float_(value).cast<double>();
  }
  if (!std::isfinite(fit)) return py::none();
  return py::make_tuple(fit, ins.row.net, ins.row.sharpe, ins.row.max_drawdown, ins.sr, ins.skew,
                        ins.kurt, ins.days);
}

// ---------------------------------------------------------------------------------------------
// Worker side

void free_state(void *p) { delete static_cast<WorkerState *>(p); }

std::int64_t memo_bytes(py::handle mod) {
  py::object v = py::getattr(mod, kMemoBytesName, py::none());
  return v.is_none() ? kMemoBytes : v.cast<std::int64_t>();
}

py::object cache_state(py::handle mod, py::handle token, py::handle data) {
  return cache_call(mod, kCacheName, token, [&] {
    auto *state = new WorkerState(
        prepare_market(data[py::int_(0)], data[py::int_(1)], data[py::int_(2)]), memo_bytes(mod));
    return py::capsule(static_cast<void *>(state), &free_state);
  });
}

Scoring scoring_of(py::handle job) {
  Scoring s;
  s.hedged = job[py::int_(2)].cast<bool>();
  s.legs = job[py::int_(3)].cast<std::int64_t>();
  s.kind = job[py::int_(4)].cast<std::string>();
  s.fn = job[py::int_(5)];
  return s;
}

// ---------------------------------------------------------------------------------------------
// Caller side: where a generation's new formulas are scored.

using Deliver = std::function<void(std::size_t, py::handle)>;

class Evaluator {
 public:
  virtual ~Evaluator() = default;
  // Scores texts[i] for every i, handing each result to `deliver` as it becomes known.
  virtual void run(const std::vector<std::string> &texts, const Deliver &deliver) = 0;
  virtual void close(bool now) = 0;
  std::int64_t subtree_hits = 0, data_sent = 0;
  double walk_seconds = 0;
};

class LocalEvaluator final : public Evaluator {
 public:
  LocalEvaluator(py::handle mod, py::handle miner, const Market &market, Scoring scoring)
      : mod_(mod), miner_(miner), state_(market, memo_bytes(mod)), table_(operator_table(miner)),
        scoring_(std::move(scoring)) {}
  void run(const std::vector<std::string> &texts, const Deliver &deliver) override {
    register_operators(mod_, miner_);
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      py::object r = score_text(mod_, miner_, state_, table_, texts[i], scoring_);
      subtree_hits += state_.memo.take_hits();
      walk_seconds += state_.take_walk_seconds();
      deliver(i, r);
    }
  }
  void close(bool) override {}

 private:
  py::handle mod_, miner_;
  WorkerState state_;
  OperatorTable table_;
  Scoring scoring_;
};

// A generation's new formulas go out on the chunk runner as mine's attempts do: chunks of
// consecutive formulas sized to take about half a second (a second on Dask), at most two per
// worker in flight, the data once per worker and call.
class PoolEvaluator final : public Evaluator, private ChunkWork {
 public:
  PoolEvaluator(py::handle mod, py::tuple job, py::object data, std::int64_t n_jobs,
                py::handle executor)
      : runner_(mod, "_evolve_chunk", "_evolve_worker_init", job, job, std::move(data)) {
    runner_.start(n_jobs, executor);
  }

  void run(const std::vector<std::string> &texts, const Deliver &deliver) override {
    texts_ = py::list();
    for (const std::string &t : texts) texts_.append(py::str(t));
    deliver_ = &deliver;
    done_ = 0;
    runner_.run(static_cast<std::int64_t>(texts.size()), *this);
  }

  void close(bool stop_now) override {
    runner_.close(stop_now);
    data_sent = runner_.data_sent();
  }

 private:
  py::tuple items(const Chunk &c) override {
    return py::make_tuple(texts_[py::slice(c.start, c.stop, 1)]);
  }
  void accept(const Chunk &c, py::handle answer) override {
    py::list results = answer[py::int_(0)];
    subtree_hits += answer[py::int_(2)].cast<std::int64_t>();
    walk_seconds += answer[py::int_(3)].cast<double>();
    for (std::int64_t k = 0; k < c.size(); ++k)
      (*deliver_)(static_cast<std::size_t>(c.start + k), results[py::int_(k)]);
    done_ += static_cast<std::size_t>(c.size());
  }
  bool wants_more() override { return done_ < py::len(texts_); }

  // A formula's death repeats (scores are reproducible): the replay names it. One that does not
  // repeat in a chunk of one is still that formula.
  void worker_died(const Chunk &failed, const std::vector<Chunk> &, std::int64_t culprit,
                   py::object exc) override {
    if (culprit < 0 && failed.size() == 1) culprit = failed.start;
    if (culprit >= 0)
      raise_caused(format("a worker process died while evaluating {}", texts_[py::int_(culprit)]),
                   exc);
    raise_caused(format("a worker process died while evaluating one of {} formulas (the first {})",
                        failed.size(), texts_[py::int_(failed.start)]),
                 exc);
  }
  [[noreturn]] void chunk_failed(const Chunk &c, py::object exc) override {
    raise_caused(format("evaluating {} formulas (the first {}) failed in a worker: {!r}", c.size(),
                        texts_[py::int_(c.start)], exc),
                 exc);
  }

  ChunkRunner runner_;
  py::list texts_;
  const Deliver *deliver_ = nullptr;
  std::size_t done_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Arguments

double probability(py::handle value, const char *name) {
  double p = kNaN;
  if (!PyBool_Check(value.ptr())) {
    try {
      p = to_double(value);
    } catch (py::error_already_set &) {
      p = kNaN;
    }
  }
  if (!(p >= 0.0 && p <= 1.0))
    raise(PyExc_ValueError, format("{} must be a probability in [0, 1], got {!r}", name, value));
  return p;
}

std::pair<std::int64_t, std::int64_t> depth_range(py::handle value, std::int64_t max_depth) {
  std::vector<std::int64_t> ends;
  bool ok = py::isinstance<py::sequence>(value) && !py::isinstance<py::str>(value) &&
            py::len(value) == 2;
  if (ok) {
    for (py::handle v : value) {
      try {
        ends.push_back(whole_number(v, "init_depth", 1));
      } catch (py::error_already_set &) {
        ok = false;
        break;
      }
    }
  }
  if (!ok || ends[0] > ends[1] || ends[1] > max_depth)
    raise(PyExc_ValueError,
          format("init_depth must be two whole numbers (low, high) with 1 <= low <= high <= "
                 "max_depth ({}), got {!r}",
                 max_depth, value));
  return {ends[0], ends[1]};
}

Scoring scoring_from(py::handle fitness, py::handle long_only, std::int64_t legs) {
  Scoring scoring;
  scoring.legs = legs;
  scoring.hedged = !py::reinterpret_borrow<py::object>(long_only).cast<bool>();
  scoring.fn = py::none();
  const char *what = "fitness must be 'rank_ic', 'ic', 'sharpe' or a callable taking a report "
                     "summary, got {!r}";
  if (py::isinstance<py::str>(fitness)) {
    scoring.kind = fitness.cast<std::string>();
    if (scoring.kind != "rank_ic" && scoring.kind != "ic" && scoring.kind != "sharpe")
      raise(PyExc_ValueError, format(what, fitness));
  } else if (PyCallable_Check(fitness.ptr())) {
    scoring.kind = "callable";
    scoring.fn = py::reinterpret_borrow<py::object>(fitness);
  } else {
    raise(PyExc_ValueError, format(what, fitness));
  }
  return scoring;
}

// One step per generation, on a tqdm bar or a stderr line (progress.hpp).
class GenerationProgress {
 public:
  GenerationProgress(py::handle flag, std::int64_t generations)
      : total_(generations),
        show_(flag, py::dict("total"_a = generations, "desc"_a = "evolve",
                             "unit"_a = " generations", "dynamic_ncols"_a = true)) {}
  void step(std::int64_t generation, double best, std::int64_t evaluated) {
    py::str info = format("best {:.4f}, {} formulas evaluated", best, evaluated);
    if (const py::object &bar = show_.bar()) {
      bar.attr("set_postfix_str")(info, "refresh"_a = false);
      bar.attr("update")(1);
    } else if (show_.text()) {
      show_.line(format("evolve: generation {}/{}, {}", generation + 1, total_, info));
    }
  }
  void close() { show_.close(); }

 private:
  std::int64_t total_;
  ProgressDisplay show_;
};

// ---------------------------------------------------------------------------------------------
// Hold-out columns, as mine gives them (mine_scoring.hpp)

// The scored row of a hall-of-fame formula on the whole data (for its hold-out columns), or an
// empty tuple where that fails.
py::tuple holdout_row(py::handle mod, py::handle miner, const OperatorTable &t,
                      const std::string &text, const MiningData &data, const Scoring &s) {
  Drawn drawn;
  drawn.program = parse_formula(text, t.specs, t.fields);
  drawn.list = program_as_list(drawn.program, miner.attr("fuc"));
  try {
    return score_formula(mod, miner, drawn, py::str(text), data, s.legs, s.hedged);
  } catch (py::error_already_set &e) {
    if (!is_miss(e)) throw;
    return py::tuple();
  }
}

struct Record {
  bool ok = false;
  double fitness = kNaN, net = kNaN, sharpe = kNaN, maxdown = kNaN, sr = kNaN, skew = kNaN,
         kurt = kNaN;
  std::int64_t days = 0, generation = 0, length = 0, depth = 0, order = 0;
};

Record record_of(py::handle r) {
  Record rec;
  if (r.is_none()) return rec;
  py::tuple t = py::reinterpret_borrow<py::tuple>(r);
  rec.ok = true;
  rec.fitness = t[0].cast<double>();
  rec.net = t[1].cast<double>();
  rec.sharpe = t[2].cast<double>();
  rec.maxdown = t[3].cast<double>();
  rec.sr = t[4].cast<double>();
  rec.skew = t[5].cast<double>();
  rec.kurt = t[6].cast<double>();
  rec.days = t[7].cast<std::int64_t>();
  return rec;
}

class Run {
 public:
  std::unordered_map<std::string, std::size_t> seen;  // text -> position in texts/records
  std::vector<std::string> texts;
  std::vector<Record> records;

  std::vector<std::size_t> ranked(std::int64_t at_most) const {
    std::vector<std::size_t> order;
    for (std::size_t k = 0; k < records.size(); ++k)
      if (records[k].ok) order.push_back(k);
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      const Record &x = records[a], &y = records[b];
      if (x.fitness != y.fitness) return x.fitness > y.fitness;
      if (x.length != y.length) return x.length < y.length;
      return x.order < y.order;
    });
    if (static_cast<std::int64_t>(order.size()) > at_most) order.resize(static_cast<std::size_t>(at_most));
    return order;
  }

  // The hall of fame as the result files hold rows: [formula, net value, sharp, maxdown].
  py::object file_rows(std::int64_t at_most) const {
    py::list rows;
    for (std::size_t k : ranked(at_most)) {
      py::list row;
      row.append(py::str(texts[k]));
      row.append(records[k].net);
      row.append(records[k].sharpe);
      row.append(records[k].maxdown);
      rows.append(row);
    }
    if (py::len(rows) == 0)
      return py::module_::import("numpy").attr("empty")(py::make_tuple(0, 4), "dtype"_a = "U1");
    return rows;
  }
};

py::object frame_of(const Run &run, const std::vector<py::tuple> *holdout,
                    const std::vector<std::size_t> &best) {
  py::module_ np = py::module_::import("numpy");
  py::module_ pd = py::module_::import("pandas");
  std::vector<double> trials;  // every scored formula's per-day Sharpe
  for (const Record &r : run.records)
    if (r.ok) trials.push_back(r.sr);
  py::list formula, fitness, depth, length, generation, net, sharpe, maxdown, dsr;
  for (std::size_t k : best) {
    const Record &r = run.records[k];
    formula.append(py::str(run.texts[k]));
    fitness.append(r.fitness);
    depth.append(r.depth);
    length.append(r.length);
    generation.append(r.generation);
    net.append(r.net);
    sharpe.append(r.sharpe);
    maxdown.append(r.maxdown);
    alphaloom::SharpeMoments mo;
    mo.sr = r.sr;
    mo.skew = r.skew;
    mo.kurt = r.kurt;
    mo.t = static_cast<std::size_t>(r.days);
    dsr.append(alphaloom::deflated_sharpe(mo, trials));
  }
  py::object f64 = np.attr("float64"), i64 = np.attr("int64");
  py::dict columns;
  columns["formula"] = pd.attr("Series")(formula, "dtype"_a = "object");
  columns["fitness"] = np.attr("array")(fitness, "dtype"_a = f64);
  columns["depth"] = np.attr("array")(depth, "dtype"_a = i64);
  columns["length"] = np.attr("array")(length, "dtype"_a = i64);
  columns["generation"] = np.attr("array")(generation, "dtype"_a = i64);
  columns["net_value"] = np.attr("array")(net, "dtype"_a = f64);
  columns["sharpe"] = np.attr("array")(sharpe, "dtype"_a = f64);
  columns["maxdown"] = np.attr("array")(maxdown, "dtype"_a = f64);
  columns["deflated_sharpe"] = np.attr("array")(dsr, "dtype"_a = f64);
  if (holdout)
    add_holdout_columns(columns, holdout->size(), [&](std::size_t k) { return (*holdout)[k]; });
  return pd.attr("DataFrame")(columns);
}

py::list program_list(const Program &p) {
  py::list out;
  for (const Element &e : p) out.append(py::make_tuple(e.op, e.field, e.arity));
  return out;
}

}  // namespace

py::list gp_samples(std::vector<std::int64_t> arities, std::pair<std::int64_t, std::int64_t> init_depth,
                    std::int64_t max_depth, const std::string &variation, std::int64_t count,
                    std::uint64_t seed) {
  gp::Config cfg;
  for (std::size_t k = 0; k < arities.size(); ++k)
    cfg.ops.push_back({static_cast<std::int64_t>(k), arities[k]});
  cfg.init_min = init_depth.first;
  cfg.init_max = init_depth.second;
  cfg.max_depth = max_depth;
  const std::array<std::uint64_t, 4> key{seed, 0, 0, 0};
  py::list out;
  for (std::int64_t i = 0; i < count; ++i) {
    gp::Rng rng(key, 1, static_cast<std::uint64_t>(i));
    const Program parent = gp::ramped(rng, cfg), donor = gp::ramped(rng, cfg);
    Program child;
    if (variation == "crossover")
      child = gp::crossover(rng, parent, donor, cfg);
    else if (variation == "subtree")
      child = gp::subtree_mutation(rng, parent, cfg);
    else if (variation == "hoist")
      child = gp::hoist_mutation(rng, parent, cfg);
    else if (variation == "point")
      child = gp::point_mutation(rng, parent, cfg);
    else if (variation == "ramped")
      child = parent;
    else
      raise(PyExc_ValueError, "unknown variation " + variation);
    out.append(py::make_tuple(program_list(parent), program_list(donor), program_list(child)));
  }
  return out;
}

void evolve_worker_init(py::handle mod, py::handle job, py::handle data, int threads,
                        std::int64_t parent_pid) {
  init_pool_worker(threads, parent_pid);
  cache_state(mod, job[py::int_(0)], data);
}

py::object evolve_chunk(py::handle mod, py::handle job, py::handle data, py::handle texts) {
  const double t0 = now();
  py::object token = job[py::int_(0)];
  py::dict cache = worker_cache(mod, kCacheName);
  py::object entry;
  if (cache.contains(token))
    entry = cache[token];
  else if (data.is_none())
    return py::none();
  else
    entry = cache_state(mod, token, data);
  WorkerState &state = *entry[py::int_(0)].cast<py::capsule>().get_pointer<WorkerState>();
  if (entry[py::int_(1)].is_none()) entry[py::int_(1)] = rebuild_miner(mod, job[py::int_(1)]);
  py::object miner = entry[py::int_(1)];
  const Scoring scoring = scoring_of(job);
  const OperatorTable table = operator_table(miner);

  QuietWarnings quiet;  // for this call only; the caller's filters come back after it
  register_operators(mod, miner);
  py::list results;
  for (py::handle text : texts) {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    results.append(score_text(mod, miner, state, table, text.cast<std::string>(), scoring));
  }
  return py::make_tuple(results, now() - t0, state.memo.take_hits(), state.take_walk_seconds());
}

py::list evolve_scores(py::handle mod, py::object self, py::handle texts, py::handle data1,
                       py::handle price1, py::handle zz500, py::handle l, py::handle fitness,
                       py::handle long_only) {
  const Scoring scoring = scoring_from(fitness, long_only, whole_number(l, "l", 1));
  Market market = prepare_checked_market(data1, price1, zz500);
  std::vector<std::string> list;
  for (py::handle t : texts) list.push_back(t.cast<std::string>());
  QuietWarnings quiet;  // for this call only; the caller's filters come back after it
  LocalEvaluator local(mod, self, market, scoring);
  py::list out;
  local.run(list, [&](std::size_t, py::handle r) {
    out.append(r.is_none() ? py::object(py::float_(kNaN)) : py::object(r[py::int_(0)]));
  });
  return out;
}

namespace {

// The numbers evolve runs by, each checked before any work.
struct EvolveSettings {
  std::int64_t legs = 1, generations = 1, population = 1, keep = 1, jobs = 1;
  gp::Config cfg;
  double parsimony = kNaN;
};

// Tournament size, variation probabilities and tree depths.
gp::Config tree_config(const EvolveArgs &a, std::int64_t max_depth,
                       std::pair<std::int64_t, std::int64_t> init) {
  gp::Config cfg;
  cfg.tournament = whole_number(a.tournament, "tournament", 1);
  cfg.p_crossover = probability(a.p_crossover, "p_crossover");
  cfg.p_subtree = probability(a.p_subtree, "p_subtree");
  cfg.p_hoist = probability(a.p_hoist, "p_hoist");
  cfg.p_point = probability(a.p_point, "p_point");
  if (cfg.p_crossover + cfg.p_subtree + cfg.p_hoist + cfg.p_point > 1.0 + 1e-12)
    raise(PyExc_ValueError,
          format("p_crossover + p_subtree + p_hoist + p_point must be at most 1, got {}",
                 cfg.p_crossover + cfg.p_subtree + cfg.p_hoist + cfg.p_point));
  cfg.init_min = init.first;
  cfg.init_max = init.second;
  cfg.max_depth = max_depth;
  return cfg;
}

double parsimony_of(py::handle value) {
  double parsimony = kNaN;
  if (!PyBool_Check(value.ptr())) {
    try {
      parsimony = to_double(value);
    } catch (py::error_already_set &) {
      parsimony = kNaN;
    }
  }
  if (!(parsimony >= 0.0 && std::isfinite(parsimony)))
    raise(PyExc_ValueError, format("parsimony must be a finite number >= 0, got {!r}", value));
  return parsimony;
}

EvolveSettings read_settings(const EvolveArgs &a) {
  EvolveSettings s;
  s.legs = whole_number(a.l, "l", 1);
  s.generations = whole_number(a.generations, "generations", 1);
  s.population = whole_number(a.population, "population", 1);
  const std::int64_t max_depth = whole_number(a.max_depth, "max_depth", 1);
  const auto init = depth_range(a.init_depth, max_depth);
  s.keep = whole_number(a.hall_of_fame, "hall_of_fame", 1);
  s.jobs = whole_number(a.n_jobs, "n_jobs", 1);
  s.cfg = tree_config(a, max_depth, init);
  s.parsimony = parsimony_of(a.parsimony);
  return s;
}

// The operators trees are built from: one per distinct (name, arity), as the parser reads them.
void add_operators(py::handle self, gp::Config &cfg) {
  py::list fuc = self.attr("fuc");
  if (py::len(fuc) == 0) raise(PyExc_ValueError, "evolve needs at least one operator");
  for (std::size_t k = 0; k < py::len(fuc); ++k) {
    py::object entry = fuc[py::int_(k)];
    py::object name = entry[py::int_(0)];
    if (!py::isinstance<py::str>(name))
      raise(PyExc_ValueError, format("operator {!r} has no text name; evolve prints and reads "
                                     "formulas by name", name));
    const std::int64_t arity = whole_number(entry[py::int_(1)], "an operator's arity", 1);
    bool dup = false;
    for (const gp::OpChoice &c : cfg.ops)
      dup = dup || (c.arity == arity &&
                    py::str(fuc[py::int_(c.op)][py::int_(0)]).equal(name));
    if (!dup) cfg.ops.push_back({static_cast<std::int64_t>(k), arity});
  }
  cfg.n_fields = static_cast<std::int64_t>(py::len(self.attr("fields")));
}

std::array<std::uint64_t, 4> run_key(py::handle seed) {
  py::object state = py::module_::import("numpy").attr("random").attr("SeedSequence")(seed).attr(
      "generate_state")(4, "dtype"_a = py::module_::import("numpy").attr("uint64"));
  std::array<std::uint64_t, 4> key{};
  for (std::size_t k = 0; k < 4; ++k) key[k] = state[py::int_(k)].cast<std::uint64_t>();
  return key;
}

// Scoring in this process, or on a pool of workers: evolve's own, a dask client's or the caller's.
std::unique_ptr<Evaluator> make_evaluator(py::handle mod, py::handle self, const Market &market,
                                          const Scoring &scoring, const EvolveArgs &a,
                                          const EvolveSettings &s, const SampleCut &in) {
  if (s.jobs == 1 && a.executor.is_none())
    return std::make_unique<LocalEvaluator>(mod, self, market, scoring);
  py::object token = py::module_::import("uuid").attr("uuid4")().attr("hex");
  py::tuple job = py::make_tuple(token, travelling_operators(self), scoring.hedged, s.legs,
                                 scoring.kind, scoring.fn);
  py::tuple data = py::make_tuple(in.frames, in.prices,
                                  py::list(py::reinterpret_borrow<py::object>(a.zz500)));
  return std::make_unique<PoolEvaluator>(mod, job, data, s.jobs, a.executor);
}

// A child whose formula is already in the generation being bred gets a subtree mutation (in
// generation 0: is drawn again), up to this many draws in all; its own generator goes on, so the
// result does not depend on where it is bred. Without it, crossovers of near-identical
// tournament winners fill a converging population with copies of a few formulas, and each
// generation scores few new ones.
constexpr int kBreedTries = 8;

// The population of generation g: random trees first, then each bred from the one before; no
// formula twice in one generation unless kBreedTries draws in a row all repeat one.
void next_population(std::vector<Program> &programs, std::int64_t g,
                     const std::array<std::uint64_t, 4> &key, const EvolveSettings &s,
                     const Run &run, const OperatorTable &table) {
  const std::size_t n_pop = programs.size();
  std::vector<double> score;
  if (g > 0) {
    score.resize(n_pop);
    for (std::size_t i = 0; i < n_pop; ++i) {
      const Record &r = run.records[run.seen.at(text_of(programs[i], table))];
      score[i] = r.ok ? r.fitness - s.parsimony * static_cast<double>(programs[i].size()) : kWorst;
    }
  }
  std::unordered_set<std::string> taken;
  std::vector<Program> next(n_pop);
  for (std::size_t i = 0; i < n_pop; ++i) {
    gp::Rng rng(key, static_cast<std::uint64_t>(g), i);
    next[i] = g == 0 ? gp::ramped(rng, s.cfg) : gp::breed(rng, programs, score, s.cfg).program;
    for (int tries = 1; !taken.insert(text_of(next[i], table)).second && tries < kBreedTries;
         ++tries)
      next[i] = g == 0 ? gp::ramped(rng, s.cfg) : gp::subtree_mutation(rng, next[i], s.cfg);
  }
  programs = std::move(next);
}

// The generation's formulas not scored before, in order of first appearance, entered in the run.
std::vector<std::string> enter_fresh(Run &run, const std::vector<Program> &programs,
                                     const OperatorTable &table, std::int64_t g) {
  std::vector<std::string> fresh;
  for (const Program &p : programs) {
    std::string text = text_of(p, table);
    if (run.seen.count(text)) continue;
    Record rec;
    rec.generation = g;
    rec.length = static_cast<std::int64_t>(p.size());
    rec.depth = gp::depth(p);
    rec.order = static_cast<std::int64_t>(run.records.size());
    run.seen.emplace(text, run.records.size());
    run.texts.push_back(text);
    run.records.push_back(rec);
    fresh.push_back(std::move(text));
  }
  return fresh;
}

void score_fresh(Evaluator &evaluator, Run &run, const std::vector<std::string> &fresh) {
  const std::size_t base = run.records.size() - fresh.size();
  evaluator.run(fresh, [&](std::size_t i, py::handle r) {
    Record &rec = run.records[base + i];
    Record got = record_of(r);
    got.generation = rec.generation;
    got.length = rec.length;
    got.depth = rec.depth;
    got.order = rec.order;
    rec = got;
  });
}

// The history row of generation g.
py::dict generation_row(const Run &run, const std::vector<Program> &programs,
                        const OperatorTable &table, std::int64_t g, std::size_t n_fresh) {
  const std::size_t n_pop = programs.size();
  std::vector<double> ok;
  std::unordered_map<std::string, int> distinct;
  for (const Program &p : programs) {
    std::string text = text_of(p, table);
    const Record &r = run.records[run.seen.at(text)];
    if (r.ok) ok.push_back(r.fitness);
    distinct.emplace(std::move(text), 0);
  }
  double best = kNaN, median = kNaN;
  if (!ok.empty()) {
    std::sort(ok.begin(), ok.end());
    best = ok.back();
    const std::size_t h = ok.size() / 2;
    median = ok.size() % 2 ? ok[h] : 0.5 * (ok[h - 1] + ok[h]);
  }
  py::dict row;
  row["generation"] = g;
  row["best"] = best;
  row["median"] = median;
  row["distinct"] = distinct.size();
  row["cache_hits"] = n_pop - n_fresh;
  row["evaluated"] = n_fresh;
  row["failed"] = n_pop - ok.size();
  return row;
}

// Everything one call keeps track of while its generations run.
struct Evolution {
  ResultFile file;
  GenerationProgress bar;
  Run run;
  py::list history;
};

void run_generations(Evolution &e, Evaluator &evaluator, const EvolveSettings &s,
                     const std::array<std::uint64_t, 4> &key, const OperatorTable &table) {
  std::vector<Program> programs(static_cast<std::size_t>(s.population));
  for (std::int64_t g = 0; g < s.generations; ++g) {
    next_population(programs, g, key, s, e.run, table);
    const std::vector<std::string> fresh = enter_fresh(e.run, programs, table, g);
    score_fresh(evaluator, e.run, fresh);
    py::dict row = generation_row(e.run, programs, table, g, fresh.size());
    const double best = row["best"].cast<double>();
    e.history.append(row);
    e.file.save_all(e.run.file_rows(s.keep));
    e.bar.step(g, best, static_cast<std::int64_t>(e.run.records.size()));
  }
}

// The generations, with the workers shut down (and the result file saved on Ctrl-C) however they end.
void run_closing(Evolution &e, Evaluator &evaluator, const EvolveSettings &s,
                 const std::array<std::uint64_t, 4> &key, const OperatorTable &table) {
  try {
    run_generations(e, evaluator, s, key, table);
  } catch (py::error_already_set &err) {
    if (err.matches(PyExc_KeyboardInterrupt)) {
      // Formulas not scored when the run stopped stay out (a record is ok once scored).
      py::error_scope keep_error;
      try {
        evaluator.close(true);
        e.file.save_all(e.run.file_rows(s.keep));
      } catch (...) {
      }
    } else {
      evaluator.close(true);
    }
    throw;
  } catch (...) {
    evaluator.close(true);
    throw;
  }
  evaluator.close(false);
  e.bar.close();
}

}  // namespace

py::object evolve(py::handle mod, py::object self, const EvolveArgs &a) {
  EvolveSettings s = read_settings(a);
  const Scoring scoring = scoring_from(a.fitness, a.long_only, s.legs);
  check_runner_args(s.jobs, a.executor, a.progress);
  add_operators(self, s.cfg);
  py::object seed = seed_of(a.seed);

  const py::object holdout_at = holdout_position(a.holdout, a.data1);
  const SampleCut in = cut_in_sample(a.data1, a.price1, holdout_at);
  MiningData data;  // the in-sample market is prepared once, for the search and the hold-out rows
  data.sample = prepare_checked_market(in.frames, in.prices, a.zz500);
  const Market &market = data.sample;
  const OperatorTable table = operator_table(self);
  const std::array<std::uint64_t, 4> key = run_key(seed);

  QuietWarnings quiet;  // for this call only; the caller's filters come back after it
  Evolution e{ResultFile(), GenerationProgress(a.progress, s.generations), Run(), py::list()};
  std::unique_ptr<Evaluator> evaluator = make_evaluator(mod, self, market, scoring, a, s, in);
  run_closing(e, *evaluator, s, key, table);

  const std::vector<std::size_t> best = e.run.ranked(s.keep);
  std::vector<py::tuple> held;
  if (!in.first_held.is_none()) {
    data.holdout_at = holdout_at.cast<std::size_t>();
    data.whole.emplace(prepare_market(a.data1, a.price1, a.zz500));
    register_operators(mod, self);
    for (std::size_t k : best)
      held.push_back(holdout_row(mod, self, table, e.run.texts[k], data, scoring));
  }
  py::object frame = frame_of(e.run, in.first_held.is_none() ? nullptr : &held, best);
  py::object attrs = frame.attr("attrs");
  attrs["seed"] = seed;
  attrs["path"] = e.file.path();
  attrs["history"] = e.history;
  attrs["evaluations"] = e.run.records.size();
  attrs["holdout"] = in.first_held;
  attrs["data_sent"] = evaluator->data_sent;
  attrs["subtree_hits"] = evaluator->subtree_hits;
  attrs["walk_seconds"] = evaluator->walk_seconds;
  return frame;
}

}  // namespace factorsearch
