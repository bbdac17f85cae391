#include "factorsearch/search/pool_worker.hpp"

#include <cmath>
#include <limits>
#include <unordered_map>

#include "common/signals.hpp"
#include "factorsearch/expr/registry.hpp"
#include "factorsearch/runtime/executor_parts.hpp"
#include "factorsearch/runtime/progress.hpp"
#include "factorsearch/runtime/quiet_warnings.hpp"
#include "factorsearch/search/evolve_settings.hpp"
#include "factorsearch/search/miner.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

constexpr const char *kCacheName = "_pool_cache";

void free_state(void *p) { delete static_cast<PoolState *>(p); }

py::object cache_state(py::handle mod, py::handle job, py::handle data) {
  return cache_call(mod, kCacheName, job[py::int_(0)], [&] {
    auto *state = new PoolState(
        prepare_market(data[py::int_(0)], data[py::int_(1)], data[py::int_(2)]), memo_bytes(mod),
        pool_measure(scoring_of(job)));
    return py::capsule(static_cast<void *>(state), &free_state);
  });
}

}  // namespace

Measure pool_measure(const Scoring &s) { return s.kind == "ic" ? Measure::IC : Measure::RankIC; }

Candidate evaluate_candidate(py::handle mod, py::handle miner, PoolState &state,
                             const OperatorTable &t, const std::string &text, const Scoring &s) {
  Candidate c;
  std::vector<double> panel;
  if (!walk_text(mod, miner, state.ws, t, text, panel)) return c;
  const Market &mk = state.ws.market;
  const std::size_t n = mk.n_dates, m = mk.n_stocks();
  const Measure measure = pool_measure(s);
  py::gil_scoped_release nogil;
  auto z = std::make_shared<NormalisedFactor>();
  z->z.assign(n * m, 0.0);
  z->eligible.assign(n * m, 0);
  // The normalisation reads the back-test's sorted days: no sort of its own. The breadth rule
  // (a member must trade) is the in-sample scorer's.
  const InSample ins = score_in_sample(
      panel, mk.prices, n, m, s.legs, s.hedged, measure, &state.ws.forward, s.warmup,
      /*breadth=*/true, [&](const Day &day) { normalise_day(day.ranked, day.t, m, *z); });
  if (!ins.ok || !std::isfinite(ins.ic) || !std::isfinite(ins.row.sharpe)) return c;
  c.ok = true;
  c.alone = ins.ic;
  c.net = ins.row.net;
  c.sharpe = ins.row.sharpe;
  c.maxdown = ins.row.max_drawdown;
  c.sr = ins.sr;
  c.skew = ins.skew;
  c.kurt = ins.kurt;
  c.days = static_cast<std::int64_t>(ins.days);
  c.coverage = ins.breadth.coverage;
  const FactorStats st = factor_stats(state.data, state.packed, *z);
  const std::vector<double> corr = state.pool.correlations(state.data, st);
  c.correlation = 0.0;
  for (std::size_t k = 0; k < corr.size(); ++k) {
    const double r = std::fabs(corr[k]);
    if (r > c.correlation) {
      c.correlation = r;
      c.closest = static_cast<std::int64_t>(k);
    }
  }
  c.combined = state.pool.with(z, st).score(state.data);
  c.gain = c.combined - state.score;
  c.z = std::move(z);
  return c;
}

py::object candidate_row(const Candidate &c) {
  if (!c.ok) return py::none();
  return py::make_tuple(c.gain, c.combined, c.alone, c.net, c.sharpe, c.maxdown, c.sr, c.skew,
                        c.kurt, c.days, c.correlation, c.coverage, c.closest);
}

void set_members(py::handle mod, py::handle miner, PoolState &state, const OperatorTable &t,
                 const std::vector<std::string> &texts) {
  if (texts == state.texts) return;
  std::unordered_map<std::string, std::shared_ptr<const NormalisedFactor>> held;
  for (std::size_t k = 0; k < state.texts.size(); ++k)
    held.emplace(state.texts[k], state.pool.shared(k));
  const Market &mk = state.ws.market;
  Combination pool;
  std::vector<double> panel;
  for (const std::string &text : texts) {
    std::shared_ptr<const NormalisedFactor> z;
    if (auto it = held.find(text); it != held.end()) {
      z = it->second;
    } else {
      // A member scored once; the same walk here gives the same panel bit for bit.
      if (!walk_text(mod, miner, state.ws, t, text, panel))
        raise(PyExc_RuntimeError, format("pool member {} no longer evaluates", text));
      z = std::make_shared<NormalisedFactor>(normalise_panel(
          panel, mk.n_dates, mk.n_stocks(), state.data.days.first, state.data.days.end));
    }
    pool = pool.with(z, state.data);
  }
  state.set_pool(std::move(pool), texts);
}

void pool_worker_init(py::handle mod, py::handle job, py::handle data, int threads,
                      std::int64_t parent_pid) {
  init_pool_worker(threads, parent_pid);
  cache_state(mod, job, data);
}

py::object pool_chunk(py::handle mod, py::handle job, py::handle data, py::handle members,
                      py::handle texts) {
  const double t0 = now();
  const auto call = worker_call(mod, kCacheName, job[py::int_(0)], data, job[py::int_(1)],
                                [&] { return cache_state(mod, job, data); });
  if (!call) return py::none();
  PoolState &state = call->held<PoolState>();
  const py::object miner = call->miner;
  const Scoring scoring = scoring_of(job);
  const OperatorTable table = operator_table(miner);

  QuietWarnings quiet;  // for this call only; the caller's filters come back after it
  register_operators(mod, miner);
  std::vector<std::string> names;
  for (py::handle t : members) names.push_back(t.cast<std::string>());
  set_members(mod, miner, state, table, names);
  py::list results;
  for (py::handle text : texts) {
    check_signals();
    results.append(
        candidate_row(evaluate_candidate(mod, miner, state, table, text.cast<std::string>(),
                                         scoring)));
  }
  return py::make_tuple(results, now() - t0, state.ws.scratch().memo.take_hits(),
                        state.ws.scratch().take_walk_seconds());
}

namespace {

std::vector<std::string> texts_of(py::handle texts) {
  std::vector<std::string> out;
  for (py::handle t : texts) out.push_back(t.cast<std::string>());
  return out;
}

}  // namespace

py::list pool_scores(py::handle mod, py::object self, py::handle members, py::handle texts,
                     py::handle data1, py::handle price1, py::handle zz500, py::handle l,
                     py::handle fitness, py::handle long_only) {
  const Scoring scoring =
      scoring_from(fitness, switch_value(long_only, "long_only"), whole_number(l, "l", 1));
  PoolState state(prepare_checked_market(data1, price1, zz500), memo_bytes(mod),
                  pool_measure(scoring));
  const OperatorTable table = operator_table(self);
  QuietWarnings quiet;
  register_operators(mod, self);
  set_members(mod, self, state, table, texts_of(members));
  py::list out;
  for (const std::string &text : texts_of(texts)) {
    check_signals();
    const Candidate c = evaluate_candidate(mod, self, state, table, text, scoring);
    out.append(c.ok ? c.gain : std::numeric_limits<double>::quiet_NaN());
  }
  return out;
}

py::list pool_weights(py::handle mod, py::object self, py::handle members, py::handle data1,
                      py::handle price1, py::handle zz500) {
  PoolState state(prepare_checked_market(data1, price1, zz500), memo_bytes(mod), Measure::RankIC);
  QuietWarnings quiet;
  register_operators(mod, self);
  set_members(mod, self, state, operator_table(self), texts_of(members));
  return py::cast(state.pool.weights());
}

}  // namespace factorsearch
