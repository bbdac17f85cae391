#include "factorsearch/search/evolve.hpp"
#include "factorsearch/search/evolve_settings.hpp"
#include "factorsearch/search/evolve_worker.hpp"
#include "factorsearch/search/breeding.hpp"

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
#include "factorsearch/backtest/selection_checks.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Record {
  bool ok = false;
  double fitness = kNaN, net = kNaN, sharpe = kNaN, maxdown = kNaN, sr = kNaN, skew = kNaN,
         kurt = kNaN, coverage = kNaN, tradeable = kNaN;
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
  rec.coverage = t[8].cast<double>();
  rec.tradeable = t[9].cast<double>();
  return rec;
}

class Run {
 public:
  std::unordered_map<std::string, std::size_t> seen;  // text -> position in texts/records
  std::vector<std::string> texts;
  std::vector<Record> records;

  std::vector<std::size_t> ranked(std::int64_t at_most = std::numeric_limits<std::int64_t>::max()) const {
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
  py::object file_rows(std::int64_t at_most) const { return file_rows(ranked(at_most)); }
  py::object file_rows(const std::vector<std::size_t> &hall) const {
    py::list rows;
    for (std::size_t k : hall) {
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

// The hall of fame: the best formulas by fitness (shorter first among equals) that are distinct.
// With a bound, a formula enters only when its mean daily rank correlation with every row
// already in is below it (a repeat, correlation 1, never enters); without one the best rows
// enter as they are and `duplicate_of` names the first better row ranking the stocks equally
// on every in-sample back-test day (mine's rule). Each candidate's in-sample panel is evaluated
// again here, in order, until the hall is full.
struct Hall {
  std::vector<std::size_t> rows;                  // positions in the run
  std::vector<std::optional<std::size_t>> duplicate_of;  // position in the hall
  std::int64_t turned_away = 0;
};

Hall distinct_hall(py::handle mod, py::handle miner, const OperatorTable &t, const Run &run,
                   const MiningData &data, std::int64_t keep, double bound) {
  Hall hall;
  const bool bounded = !std::isnan(bound);
  const Market &mk = data.sample;
  const std::size_t m = mk.n_stocks();
  const TradedDays days = traded_days(mk.n_dates, DayRange{data.warmup});
  std::vector<RankDigest> digests;
  std::vector<DailyRanks> ranks;
  register_operators(mod, miner);
  const std::vector<std::size_t> order = bounded ? run.ranked() : run.ranked(keep);
  for (std::size_t k : order) {
    if (static_cast<std::int64_t>(hall.rows.size()) >= keep) break;
    check_signals();
    Drawn drawn;
    drawn.program = parse_formula(run.texts[k], t.specs, t.fields);
    drawn.list = program_as_list(drawn.program, miner.attr("fuc"));
    std::vector<double> panel;
    bool evaluated = false;
    try {
      evaluated = evaluate_panel(mod, miner, drawn, mk, panel);
    } catch (py::error_already_set &e) {
      if (!is_miss(e)) throw;
    } catch (const std::exception &) {
    }
    std::optional<std::size_t> same;
    bool fresh = true;
    {
      py::gil_scoped_release nogil;
      const RankDigest digest =
          evaluated ? rank_digest(panel, m, days.first, days.end) : RankDigest{};
      for (std::size_t q = 0; q < digests.size() && !same; ++q)
        if (evaluated && digests[q] == digest) same = q;
      DailyRanks r;
      if (bounded && evaluated) {
        r = daily_ranks(panel, m, days.first, days.end);
        for (const DailyRanks &kept : ranks)
          if (!(mean_rank_correlation(r, kept) < bound)) {
            fresh = false;
            break;
          }
      }
      fresh = fresh && (!bounded || (evaluated && !same));
      if (fresh) {
        digests.push_back(digest);
        ranks.push_back(std::move(r));
      }
    }
    if (!fresh) {
      ++hall.turned_away;
      continue;
    }
    hall.rows.push_back(k);
    hall.duplicate_of.push_back(same);
  }
  return hall;
}

py::object frame_of(const Run &run, const std::vector<py::tuple> *holdout, const Hall &hall) {
  const std::vector<std::size_t> &best = hall.rows;
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
  py::list coverage, tradeable, dup;
  for (std::size_t q = 0; q < best.size(); ++q) {
    coverage.append(run.records[best[q]].coverage);
    tradeable.append(run.records[best[q]].tradeable);
    dup.append(hall.duplicate_of[q] ? py::object(py::int_(*hall.duplicate_of[q])) : py::none());
  }
  columns["coverage"] = np.attr("array")(coverage, "dtype"_a = f64);
  columns["tradeable_days"] = np.attr("array")(tradeable, "dtype"_a = f64);
  columns["duplicate_of"] = pd.attr("array")(dup, "dtype"_a = "Int64");
  return pd.attr("DataFrame")(columns);
}

}  // namespace

namespace {

// Scoring in this process, or on a pool of workers: evolve's own, a dask client's or the caller's.
std::unique_ptr<Evaluator> make_evaluator(py::handle mod, py::handle self, const Market &market,
                                          const Scoring &scoring, const Args &a,
                                          const EvolveSettings &s, const SampleCut &in) {
  if (s.jobs == 1 && a["executor"].is_none())
    return std::make_unique<LocalEvaluator>(mod, self, market, scoring);
  py::object token = py::module_::import("uuid").attr("uuid4")().attr("hex");
  py::tuple job = py::make_tuple(token, travelling_operators(self), scoring.hedged, s.legs,
                                 scoring.kind, scoring.fn, scoring.warmup, scoring.breadth);
  py::tuple data = py::make_tuple(in.frames, in.prices,
                                  py::list(a["zz500"]));
  return std::make_unique<RemoteEvaluator>(mod, "_evolve_chunk", "_evolve_worker_init", job,
                                           data, s.jobs, a["executor"]);
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
    next_population(programs, g, key, s, table, [&](const std::string &text) {
      const Record &r = e.run.records[e.run.seen.at(text)];
      return r.ok ? r.fitness : kWorstFitness;
    });
    const std::vector<std::string> fresh =
        enter_fresh(e.run, programs, table, [g](const Program &p, std::int64_t order) {
          Record rec;
          rec.generation = g;
          rec.length = static_cast<std::int64_t>(p.size());
          rec.depth = gp::depth(p);
          rec.order = order;
          return rec;
        });
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

py::object evolve(py::handle mod, py::object self, const Args &a) {
  EvolveSettings s = read_settings(a);
  s.keep = a.whole("hall_of_fame");
  Scoring scoring = scoring_from(a["fitness"], a.flag("long_only"), s.legs);
  scoring.warmup = s.warmup;
  scoring.breadth = py::getattr(mod, kBreadthRuleName, py::bool_(true)).cast<bool>();
  check_runner_args(s.jobs, a["executor"]);
  add_operators(self, s.cfg);
  py::object seed = a.seed("seed");

  const py::object holdout_at = holdout_position(a["holdout"], a["data1"], s.warmup);
  const SampleCut in = cut_in_sample(a["data1"], a["price1"], holdout_at);
  MiningData data;  // the in-sample market is prepared once, for the search and the hold-out rows
  data.sample = prepare_checked_market(in.frames, in.prices, a["zz500"], s.warmup);
  data.warmup = s.warmup;
  const Market &market = data.sample;
  const OperatorTable table = operator_table(self);
  const std::array<std::uint64_t, 4> key = run_key(seed);

  QuietWarnings quiet;  // for this call only; the caller's filters come back after it
  Evolution e{ResultFile(), GenerationProgress(a["progress"], s.generations, "evolve"), Run(),
              py::list()};
  std::unique_ptr<Evaluator> evaluator = make_evaluator(mod, self, market, scoring, a, s, in);
  run_closing(e, *evaluator, s, key, table);

  const Hall hall = distinct_hall(mod, self, table, e.run, data, s.keep, s.max_correlation);
  const std::vector<std::size_t> &best = hall.rows;
  e.file.save_all(e.run.file_rows(best));
  std::vector<py::tuple> held;
  if (!in.first_held.is_none()) {
    data.holdout_at = holdout_at.cast<std::size_t>();
    data.whole.emplace(prepare_market(a["data1"], a["price1"], a["zz500"]));
    register_operators(mod, self);
    for (std::size_t k : best)
      held.push_back(holdout_row(mod, self, table, e.run.texts[k], data, scoring));
  }
  py::object frame = frame_of(e.run, in.first_held.is_none() ? nullptr : &held, hall);
  py::object attrs = frame.attr("attrs");
  attrs["seed"] = seed;
  attrs["path"] = e.file.path();
  attrs["history"] = e.history;
  attrs["evaluations"] = e.run.records.size();
  attrs["holdout"] = in.first_held;
  attrs["data_sent"] = evaluator->data_sent;
  attrs["subtree_hits"] = evaluator->subtree_hits;
  attrs["walk_seconds"] = evaluator->walk_seconds;
  attrs["turned_away"] = hall.turned_away;
  return frame;
}

}  // namespace factorsearch
