#include "factorsearch/search/pool.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>
#include <unordered_map>

#include "common/parallel.hpp"
#include "common/signals.hpp"
#include "factorsearch/backtest/combination.hpp"
#include "factorsearch/backtest/report.hpp"
#include "factorsearch/backtest/sharpe_inference.hpp"
#include "factorsearch/expr/formula_parser.hpp"
#include "factorsearch/market/holdout.hpp"
#include "factorsearch/runtime/quiet_warnings.hpp"
#include "factorsearch/search/breeding.hpp"
#include "factorsearch/search/miner.hpp"
#include "factorsearch/search/pool_worker.hpp"
#include "factorsearch/search/scoring.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Candidates of a generation that may join, best gain first, are re-scored against the pool as it
// stands (it may have changed since the generation was scored) up to this many times: a
// generation's best few join, as long as each still adds.
constexpr int kAdmitTries = 4;

struct PoolRecord {
  bool ok = false, refused = false;
  double gain = kNaN, alone = kNaN, net = kNaN, sharpe = kNaN, maxdown = kNaN, sr = kNaN,
         correlation = kNaN, coverage = kNaN;
  std::int64_t days = 0, generation = 0, order = 0;
};

PoolRecord pool_record_of(py::handle r) {
  PoolRecord rec;
  if (r.is_none()) return rec;
  py::tuple t = py::reinterpret_borrow<py::tuple>(r);
  rec.ok = true;
  rec.gain = t[0].cast<double>();
  rec.alone = t[2].cast<double>();
  rec.net = t[3].cast<double>();
  rec.sharpe = t[4].cast<double>();
  rec.maxdown = t[5].cast<double>();
  rec.sr = t[6].cast<double>();
  rec.days = t[9].cast<std::int64_t>();
  rec.correlation = t[10].cast<double>();
  rec.coverage = t[11].cast<double>();
  return rec;
}

// The calling process's view: candidates scored here (n_jobs=1) or only re-scored for admission.
class LocalPoolEvaluator final : public Evaluator {
 public:
  LocalPoolEvaluator(py::handle mod, py::handle miner, PoolState &state, Scoring scoring)
      : mod_(mod), miner_(miner), state_(state), table_(operator_table(miner)),
        scoring_(std::move(scoring)) {}
  void run(const std::vector<std::string> &texts, const Deliver &deliver) override {
    register_operators(mod_, miner_);
    for (std::size_t i = 0; i < texts.size(); ++i) {
      check_signals();
      py::object r =
          candidate_row(evaluate_candidate(mod_, miner_, state_, table_, texts[i], scoring_));
      subtree_hits += state_.ws.scratch().memo.take_hits();
      walk_seconds += state_.ws.scratch().take_walk_seconds();
      deliver(i, r);
    }
  }
  void close(bool) override {}

 private:
  py::handle mod_, miner_;
  PoolState &state_;
  OperatorTable table_;
  Scoring scoring_;
};

struct PoolSettings {
  EvolveSettings evolve;
  std::int64_t size = 1;
  double max_correlation = 0.7;
  std::string directory = "factors";
};

// Everything one call keeps track of while its generations run.
struct PoolRun {
  std::unordered_map<std::string, std::size_t> seen;
  std::vector<std::string> texts;
  std::vector<PoolRecord> records;
  std::vector<std::int64_t> joined;  // per member (pool order), the generation it joined in
  py::list history;
  std::int64_t turned_away = 0;
};

struct Admission {
  std::int64_t joined = 0, dropped = 0;
};

// The generation's best candidates join the pool while they still add to it; beyond `size` the
// member whose leaving costs least goes.
Admission admit(py::handle mod, py::handle self, PoolState &state, PoolRun &run,
                const std::vector<std::size_t> &fresh, const PoolSettings &s,
                const Scoring &scoring, std::int64_t g) {
  std::vector<std::size_t> order;
  for (std::size_t k : fresh) {
    const PoolRecord &r = run.records[k];
    if (r.ok && r.gain > 0.0 && !r.refused) order.push_back(k);
  }
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return run.records[a].gain > run.records[b].gain;
  });
  if (order.size() > static_cast<std::size_t>(kAdmitTries)) order.resize(kAdmitTries);
  const OperatorTable table = operator_table(self);
  Admission out;
  register_operators(mod, self);
  for (std::size_t k : order) {
    const Candidate c = evaluate_candidate(mod, self, state, table, run.texts[k], scoring);
    if (!c.ok || !(c.gain > 0.0) || c.correlation >= s.max_correlation) continue;
    Combination pool = state.pool.with(c.z, state.data);
    std::vector<std::string> texts = state.texts;
    texts.push_back(run.texts[k]);
    run.joined.push_back(g);
    ++out.joined;
    // Beyond `size` the least contributing member goes; so does any member the refit left
    // costing more than it brings (the combination scores higher without it).
    while (pool.size() > 1) {
      const std::vector<double> contrib = pool.contributions(state.data);
      const std::size_t drop = least_contributing(contrib);
      if (static_cast<std::int64_t>(pool.size()) <= s.size && !(contrib[drop] < 0.0)) break;
      pool = pool.without(drop);
      texts.erase(texts.begin() + static_cast<std::ptrdiff_t>(drop));
      run.joined.erase(run.joined.begin() + static_cast<std::ptrdiff_t>(drop));
      ++out.dropped;
    }
    state.set_pool(std::move(pool), std::move(texts));
  }
  return out;
}

// The result frame of the pool as it stands; `held` the members' hold-out rows (nullptr: none).
py::object pool_frame(const PoolRun &run, const PoolState &state, const Scoring &scoring,
                      const std::vector<py::tuple> *held) {
  py::module_ np = py::module_::import("numpy");
  py::module_ pd = py::module_::import("pandas");
  const std::vector<double> w = state.pool.weights();
  const std::vector<double> contrib = state.pool.contributions(state.data);
  py::list formula, weight, alone, contribution, coverage, net, sharpe, maxdown, generation;
  for (std::size_t k = 0; k < state.texts.size(); ++k) {
    const PoolRecord &r = run.records[run.seen.at(state.texts[k])];
    formula.append(py::str(state.texts[k]));
    weight.append(w[k]);
    alone.append(r.alone);
    contribution.append(contrib[k]);
    coverage.append(r.coverage);
    net.append(r.net);
    sharpe.append(r.sharpe);
    maxdown.append(r.maxdown);
    generation.append(run.joined[k]);
  }
  py::object f64 = np.attr("float64");
  py::dict columns;
  columns["formula"] = pd.attr("Series")(formula, "dtype"_a = "object");
  columns["weight"] = np.attr("array")(weight, "dtype"_a = f64);
  columns[scoring.kind == "ic" ? "ic" : "rank_ic"] = np.attr("array")(alone, "dtype"_a = f64);
  columns["contribution"] = np.attr("array")(contribution, "dtype"_a = f64);
  columns["coverage"] = np.attr("array")(coverage, "dtype"_a = f64);
  columns["net_value"] = np.attr("array")(net, "dtype"_a = f64);
  columns["sharpe"] = np.attr("array")(sharpe, "dtype"_a = f64);
  columns["maxdown"] = np.attr("array")(maxdown, "dtype"_a = f64);
  columns["generation"] = np.attr("array")(generation, "dtype"_a = np.attr("int64"));
  if (held) add_holdout_columns(columns, held->size(), [&](std::size_t k) { return (*held)[k]; });
  return pd.attr("DataFrame")(columns);
}

// The members as the .npy result file holds rows: [formula, net value, sharp, maxdown].
py::object file_rows(const PoolRun &run, const PoolState &state) {
  py::list rows;
  for (const std::string &text : state.texts) {
    const PoolRecord &r = run.records[run.seen.at(text)];
    py::list row;
    row.append(py::str(text));
    row.append(r.net);
    row.append(r.sharpe);
    row.append(r.maxdown);
    rows.append(row);
  }
  if (py::len(rows) == 0)
    return py::module_::import("numpy").attr("empty")(py::make_tuple(0, 4), "dtype"_a = "U1");
  return rows;
}

struct Files {
  ResultFile npy;
  ResultTable csv;
  explicit Files(const std::string &dir) : npy(dir), csv(npy.path()) {}
  void save(const PoolRun &run, const PoolState &state, const Scoring &scoring,
            const std::vector<py::tuple> *held = nullptr) {
    npy.save_all(file_rows(run, state));
    csv.save(pool_frame(run, state, scoring, held));
  }
};

void run_generations(py::handle mod, py::handle self, Evaluator &evaluator,
                     RemoteEvaluator *remote, PoolState &state, PoolRun &run, Files &files,
                     GenerationProgress &bar, const PoolSettings &s, const Scoring &scoring,
                     const std::array<std::uint64_t, 4> &key, const OperatorTable &table) {
  const EvolveSettings &es = s.evolve;
  std::vector<Program> programs(static_cast<std::size_t>(es.population));
  for (std::int64_t g = 0; g < es.generations; ++g) {
    next_population(programs, g, key, es, table, [&](const std::string &text) {
      const PoolRecord &r = run.records[run.seen.at(text)];
      return r.ok ? r.gain : kWorstFitness;
    });
    const std::vector<std::string> fresh =
        enter_fresh(run, programs, table, [g](const Program &, std::int64_t order) {
          PoolRecord rec;
          rec.generation = g;
          rec.order = order;
          return rec;
        });
    const std::size_t base = run.records.size() - fresh.size();
    if (remote) {
      py::tuple members(state.texts.size());
      for (std::size_t k = 0; k < state.texts.size(); ++k) members[k] = py::str(state.texts[k]);
      remote->set_prefix(py::make_tuple(members));
    }
    std::int64_t turned = 0;
    evaluator.run(fresh, [&](std::size_t i, py::handle r) {
      PoolRecord &rec = run.records[base + i];
      PoolRecord got = pool_record_of(r);
      got.generation = rec.generation;
      got.order = rec.order;
      // A mirror image or a near-copy of a member adds nothing a linear combination lacks.
      got.refused = got.ok && got.correlation >= s.max_correlation;
      turned += got.refused;
      rec = got;
    });
    std::vector<std::size_t> scored(fresh.size());
    std::iota(scored.begin(), scored.end(), base);
    double best = kNaN;
    for (std::size_t k : scored)
      if (run.records[k].ok && !(run.records[k].gain <= best)) best = run.records[k].gain;
    const Admission adm = admit(mod, self, state, run, scored, s, scoring, g);
    run.turned_away += turned;
    py::dict row;
    row["generation"] = g;
    row["pool_size"] = state.pool.size();
    row["score"] = state.score;
    row["best_gain"] = best;
    row["scored"] = fresh.size();
    row["turned_away"] = turned;
    row["joined"] = adm.joined;
    row["dropped"] = adm.dropped;
    run.history.append(row);
    files.save(run, state, scoring);
    bar.step(g, state.score, static_cast<std::int64_t>(run.records.size()));
  }
}

// The combined factor's figures over `days` of `panel` (report's, with the deflated Sharpe over
// every candidate scored); None without a back-test day.
py::object combined_figures(const std::vector<double> &panel, const Market &mk, DayRange days,
                            const Scoring &scoring, const std::vector<double> &trials) {
  ReportSettings settings;
  settings.legs = scoring.legs;
  settings.hedged = scoring.hedged;
  settings.days = days;
  Report rep;
  {
    py::gil_scoped_release nogil;
    rep = build_report(PanelView{panel, mk.prices, mk.n_dates, mk.n_stocks()}, settings);
  }
  if (rep.stats.days == 0) return py::none();
  const SharpeMoments mo = sharpe_moments(rep.daily.ret);
  py::dict d;
  d["ic"] = rep.stats.ic_mean;
  d["rank_ic"] = rep.stats.rank_ic_mean;
  d["icir"] = rep.stats.icir;
  d["sharpe"] = rep.stats.backtest.sharpe;
  d["deflated_sharpe"] = deflated_sharpe(mo, trials);
  d["days"] = rep.stats.days;
  return d;
}

std::vector<Drawn> drawn_members(py::handle self, const std::vector<std::string> &texts) {
  const OperatorTable t = operator_table(self);
  std::vector<Drawn> out;
  for (const std::string &text : texts) {
    Drawn d;
    d.program = parse_formula(text, t.specs, t.fields);
    d.list = program_as_list(d.program, self.attr("fuc"));
    out.push_back(std::move(d));
  }
  return out;
}

// The combined figures on a market, or None where a member does not evaluate there.
py::object figures_on(py::handle mod, py::handle self, const std::vector<Drawn> &programs,
                      const std::vector<double> &w, const Market &mk, DayRange days,
                      const Scoring &scoring, const std::vector<double> &trials) {
  std::vector<double> panel;
  try {
    if (!combined_values(mod, self, programs, w, mk, panel)) return py::none();
  } catch (py::error_already_set &e) {
    if (!is_miss(e)) throw;
    return py::none();
  }
  return combined_figures(panel, mk, days, scoring, trials);
}

}  // namespace

bool combined_values(py::handle mod, py::handle self, const std::vector<Drawn> &programs,
                     const std::vector<double> &weights, const Market &market,
                     std::vector<double> &out) {
  const std::size_t n = market.n_dates, m = market.n_stocks();
  std::vector<NormalisedFactor> z(programs.size());
  std::vector<double> panel;
  for (std::size_t k = 0; k < programs.size(); ++k) {
    if (!evaluate_panel(mod, self, programs[k], market, panel)) return false;
    py::gil_scoped_release nogil;
    z[k] = normalise_panel(panel, n, m);
  }
  std::vector<const NormalisedFactor *> p;
  for (const NormalisedFactor &f : z) p.push_back(&f);
  py::gil_scoped_release nogil;
  out = combined_panel(p, weights, n * m);
  return true;
}

namespace {

// The pool's numbers and its scoring, each read from its argument before any work.
PoolSettings read_pool_settings(const Args &a, Scoring &scoring) {
  PoolSettings s;
  s.evolve = read_settings(a);
  s.size = a.whole("size");
  s.max_correlation = a.number("max_correlation");  // NaN (None): no bound
  const py::object fitness = a["fitness"];
  if (!py::isinstance<py::str>(fitness) ||
      (fitness.cast<std::string>() != "rank_ic" && fitness.cast<std::string>() != "ic"))
    raise(PyExc_ValueError,
          format("fitness must be 'rank_ic' or 'ic' for a pool (the combination is fit to ranks "
                 "and scored by its IC), got {!r}",
                 fitness));
  scoring = scoring_from(fitness, a.flag("long_only"), s.evolve.legs);
  scoring.warmup = s.evolve.warmup;
  check_runner_args(s.evolve.jobs, a["executor"]);
  s.directory = result_directory(a["directory"]);
  return s;
}

// Candidates scored here (n_jobs=1, no executor) or on the chunk runner; `remote` is set to the
// latter, which also re-scores admissions.
std::unique_ptr<Evaluator> pool_evaluator(py::handle mod, py::handle self, const Args &a,
                                          const PoolSettings &s, const Scoring &scoring,
                                          const SampleCut &in, PoolState &state,
                                          RemoteEvaluator *&remote) {
  std::unique_ptr<Evaluator> evaluator;
  remote = nullptr;
  if (s.evolve.jobs == 1 && a["executor"].is_none()) {
    evaluator = std::make_unique<LocalPoolEvaluator>(mod, self, state, scoring);
  } else {
    py::object token = py::module_::import("uuid").attr("uuid4")().attr("hex");
    py::tuple job = py::make_tuple(token, travelling_operators(self), scoring.hedged,
                                   s.evolve.legs, scoring.kind, scoring.fn, scoring.warmup,
                                   scoring.breadth);
    py::tuple sent = py::make_tuple(in.frames, in.prices, py::list(a["zz500"]));
    auto r = std::make_unique<RemoteEvaluator>(mod, "_pool_chunk", "_pool_worker_init", job, sent,
                                               s.evolve.jobs, a["executor"]);
    remote = r.get();
    evaluator = std::move(r);
  }

  return evaluator;
}

// After selection: the combined factor and every member, on the in-sample days and the hold-out,
// into the result frame and its files.
py::object pool_result(py::handle mod, py::handle self, const Args &a, const PoolRun &run,
                       PoolState &st, Files &files, const Scoring &scoring,
                       const OperatorTable &table, MiningData &data, const SampleCut &in,
                       const py::object &holdout_at, const py::object &seed,
                       const Evaluator &evaluator) {
  std::vector<double> trials;
  for (const PoolRecord &r : run.records)
    if (r.ok) trials.push_back(r.sr);
  const std::vector<double> w = st.pool.weights();
  const std::vector<Drawn> programs = drawn_members(self, st.texts);
  register_operators(mod, self);
  py::dict combined;
  combined["in_sample"] = st.texts.empty()
                              ? py::object(py::none())
                              : figures_on(mod, self, programs, w, data.sample, DayRange{data.warmup},
                                           scoring, trials);
  combined["holdout"] = py::none();
  std::vector<py::tuple> held;
  if (!in.first_held.is_none()) {
    data.holdout_at = holdout_at.cast<std::size_t>();
    data.whole.emplace(prepare_market(a["data1"], a["price1"], a["zz500"]));
    for (const std::string &text : st.texts)
      held.push_back(holdout_row(mod, self, table, text, data, scoring));
    if (!st.texts.empty())
      combined["holdout"] = figures_on(mod, self, programs, w, *data.whole,
                                       DayRange{data.holdout_at}, scoring, trials);
  }
  const std::vector<py::tuple> *held_rows = in.first_held.is_none() ? nullptr : &held;
  files.save(run, st, scoring, held_rows);
  py::object frame = pool_frame(run, st, scoring, held_rows);
  py::object attrs = frame.attr("attrs");
  attrs["combined"] = combined;
  attrs["score"] = st.score;
  attrs["history"] = run.history;
  attrs["evaluations"] = run.records.size();
  attrs["turned_away"] = run.turned_away;
  attrs["trial_sharpes"] = py::cast(trials);
  attrs["seed"] = seed;
  attrs["path"] = files.npy.path();
  attrs["table"] = files.csv.path();
  attrs["holdout"] = in.first_held;
  attrs["data_sent"] = evaluator.data_sent;
  attrs["subtree_hits"] = evaluator.subtree_hits;
  attrs["walk_seconds"] = evaluator.walk_seconds;
  return frame;
}

}  // namespace

py::object pool(py::handle mod, py::object self, const Args &a) {
  Scoring scoring;
  PoolSettings s = read_pool_settings(a, scoring);
  add_operators(self, s.evolve.cfg);
  py::object seed = a.seed("seed");

  const py::object holdout_at = holdout_position(a["holdout"], a["data1"], s.evolve.warmup);
  const SampleCut in = cut_in_sample(a["data1"], a["price1"], holdout_at);
  MiningData data;
  data.sample = prepare_checked_market(in.frames, in.prices, a["zz500"], s.evolve.warmup);
  data.warmup = s.evolve.warmup;
  const OperatorTable table = operator_table(self);
  const std::array<std::uint64_t, 4> key = run_key(seed);

  QuietWarnings quiet;  // for this call only; the caller's filters come back after it
  auto state = std::make_unique<PoolState>(data.sample, memo_bytes(mod), pool_measure(scoring));
  PoolRun run;
  Files files(s.directory);
  GenerationProgress bar(a["progress"], s.evolve.generations, "pool");
  RemoteEvaluator *remote = nullptr;
  std::unique_ptr<Evaluator> evaluator =
      pool_evaluator(mod, self, a, s, scoring, in, *state, remote);

  try {
    run_generations(mod, self, *evaluator, remote, *state, run, files, bar, s, scoring, key,
                    table);
  } catch (py::error_already_set &err) {
    py::error_scope keep_error;
    try {
      evaluator->close(true);
      // The pool as it stood after the last whole generation (files are written per generation).
      if (err.matches(PyExc_KeyboardInterrupt)) files.save(run, *state, scoring);
    } catch (...) {
    }
    throw;
  } catch (...) {
    evaluator->close(true);
    throw;
  }
  evaluator->close(false);
  bar.close();

  return pool_result(mod, self, a, run, *state, files, scoring, table, data, in, holdout_at, seed,
                     *evaluator);
}

}  // namespace factorsearch
