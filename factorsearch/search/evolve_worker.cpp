#include "factorsearch/search/evolve_worker.hpp"
#include "common/signals.hpp"

#include <cmath>
#include <ctime>
#include <span>

#include "factorsearch/backtest/report.hpp"
#include "factorsearch/kernels/panel_layout.hpp"
#include "factorsearch/expr/registry.hpp"
#include "factorsearch/runtime/executor_parts.hpp"
#include "factorsearch/runtime/progress.hpp"
#include "factorsearch/runtime/quiet_warnings.hpp"
#include "factorsearch/search/drivers.hpp"
#include "factorsearch/search/evolve.hpp"
#include "factorsearch/search/evolve_settings.hpp"
#include "factorsearch/search/gp_tree.hpp"
#include "factorsearch/search/miner.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

constexpr const char *kCacheName = "_evolve_cache";
constexpr const char *kMemoBytesName = "_evolve_memo_bytes";  // tests set 0: no subtree cache
constexpr std::int64_t kMemoBytes = 256LL << 20;                // per worker thread
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

// The in-sample report summary a fitness callable receives, keyed as Report.summary.
py::object summary_series(const std::vector<double> &panel, const Market &mk, const Scoring &s) {
  ReportSettings settings;
  settings.legs = s.legs;
  settings.hedged = s.hedged;
  settings.threads = offered_threads();
  settings.days = DayRange{s.warmup};
  Report rep;
  {
    py::gil_scoped_release nogil;
    rep = build_report(PanelView{panel, mk.prices, mk.n_dates, mk.n_stocks()}, settings);
  }
  const auto values = summary_values(rep.stats);
  py::list keys, vals;
  for (std::size_t k = 0; k < kFitnessSummaryKeys; ++k) {
    keys.append(kSummaryKeys[k]);
    vals.append(values[k]);
  }
  return py::module_::import("pandas").attr("Series")(vals, "index"_a = keys, "dtype"_a = "float64",
                                                      "name"_a = "summary");
}

bool walk_text(py::handle mod, py::handle miner, WorkerState &ws, const OperatorTable &t,
               const std::string &text, std::vector<double> &panel) {
  Drawn drawn;
  try {
    drawn.program = parse_formula(text, t.specs, t.fields);
  } catch (const std::exception &) {
    return false;
  }
  drawn.list = program_as_list(drawn.program, miner.attr("fuc"));
  Scratch &scratch = ws.scratch();
  if (scratch.memo.enabled()) {
    const auto items = render_items(drawn.program, t);
    std::vector<std::string> keys(drawn.program.size());
    std::vector<std::size_t> ends(drawn.program.size(), 0);
    for (std::size_t i = 1; i < drawn.program.size(); ++i) {
      if (!drawn.program[i].is_op()) continue;
      ends[i] = gp::subtree_end(drawn.program, i);
      keys[i] = render(std::span(items).subspan(i, ends[i] - i), t.fields);
    }
    scratch.memo.bind(std::move(keys), std::move(ends));
  }
  const Market &mk = ws.market;
  const std::size_t n = mk.n_dates, m = mk.n_stocks();
  panel.resize(n * m);  // every cell is written below
  try {
    const std::clock_t t0 = std::clock();  // CPU time: the machine may be shared
    Walk walk(mod, miner, drawn, mk);
    walk.use_memo(&scratch.memo);
    walk.use_pool(&scratch.pool);
    auto values = as_panel(walk.run(), walk, mk);
    scratch.walk_seconds += static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC;
    to_row_major(values.data(), n, m, panel.data());
  } catch (py::error_already_set &e) {
    if (!is_miss(e)) throw;
    return false;
  } catch (const std::exception &) {
    return false;
  }
  return true;
}

// One formula text: parsed as `factor` parses it, walked by the panel engine (sharing subtrees
// through the memo), scored on the data this state holds. None for any failure of the formula.
py::object score_text(py::handle mod, py::handle miner, WorkerState &ws, const OperatorTable &t,
                      const std::string &text, const Scoring &s) {
  const Market &mk = ws.market;
  const std::size_t n = mk.n_dates, m = mk.n_stocks();
  std::vector<double> &panel = ws.scratch().panel;  // this thread's, reused across formulas
  if (!walk_text(mod, miner, ws, t, text, panel)) return py::none();
  const Measure measure =
      s.kind == "rank_ic" ? Measure::RankIC : s.kind == "ic" ? Measure::IC : Measure::None;
  InSample ins;
  {
    py::gil_scoped_release nogil;
    ins = score_in_sample(panel, mk.prices, n, m, s.legs, s.hedged, measure, &ws.forward,
                          s.warmup, s.breadth, {}, offered_threads());
  }
  if (!ins.ok) return py::none();
  double fit = kNaN;
  if (measure != Measure::None) {
    fit = ins.ic;
  } else if (s.kind == "sharpe") {
    fit = ins.fitness_sharpe;
  } else {
    py::object value = s.fn(summary_series(panel, mk, s));
    fit = py::float_(value).cast<double>();
  }
  if (!std::isfinite(fit)) return py::none();
  return py::make_tuple(fit, ins.row.net, ins.row.sharpe, ins.row.max_drawdown, ins.sr, ins.skew,
                        ins.kurt, ins.days, ins.breadth.coverage, ins.breadth.tradeable_days);
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
  s.warmup = job[py::int_(6)].cast<std::size_t>();
  s.breadth = job[py::int_(7)].cast<bool>();
  return s;
}

void evolve_worker_init(py::handle mod, py::handle job, py::handle data, int threads,
                        std::int64_t parent_pid) {
  init_pool_worker(threads, parent_pid);
  cache_state(mod, job[py::int_(0)], data);
}

py::object evolve_chunk(py::handle mod, py::handle job, py::handle data, py::handle texts) {
  const double t0 = now();
  const auto call = worker_call(mod, kCacheName, job[py::int_(0)], data, job[py::int_(1)],
                                [&] { return cache_state(mod, job[py::int_(0)], data); });
  if (!call) return py::none();
  WorkerState &state = call->held<WorkerState>();
  const py::object miner = call->miner;
  const Scoring scoring = scoring_of(job);
  const OperatorTable table = operator_table(miner);

  QuietWarnings quiet;  // for this call only; the caller's filters come back after it
  register_operators(mod, miner);
  py::list results;
  for (py::handle text : texts) {
    check_signals();
    results.append(score_text(mod, miner, state, table, text.cast<std::string>(), scoring));
  }
  Scratch &scratch = state.scratch();
  return py::make_tuple(results, now() - t0, scratch.memo.take_hits(), scratch.take_walk_seconds());
}

py::list evolve_scores(py::handle mod, py::object self, py::handle texts, py::handle data1,
                       py::handle price1, py::handle zz500, py::handle l, py::handle fitness,
                       py::handle long_only, py::handle warmup) {
  Scoring scoring =
      scoring_from(fitness, switch_value(long_only, "long_only"), whole_number(l, "l", 1));
  scoring.warmup = static_cast<std::size_t>(whole_number(warmup, "warmup", 0));
  scoring.breadth = py::getattr(mod, kBreadthRuleName, py::bool_(true)).cast<bool>();
  Market market = prepare_checked_market(data1, price1, zz500, scoring.warmup);
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

}  // namespace factorsearch
