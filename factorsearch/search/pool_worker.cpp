#include "factorsearch/search/pool_worker.hpp"

#include <cmath>
#include <unordered_map>

#include "common/signals.hpp"
#include "factorsearch/expr/registry.hpp"
#include "factorsearch/runtime/executor_parts.hpp"
#include "factorsearch/runtime/progress.hpp"
#include "factorsearch/runtime/quiet_warnings.hpp"
#include "factorsearch/search/miner.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

constexpr const char *kCacheName = "_pool_cache";

void free_state(void *p) { delete static_cast<PoolState *>(p); }

py::object cache_state(py::handle mod, py::handle token, py::handle data) {
  return cache_call(mod, kCacheName, token, [&] {
    auto *state = new PoolState(
        prepare_market(data[py::int_(0)], data[py::int_(1)], data[py::int_(2)]), memo_bytes(mod));
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
  std::vector<std::size_t> eligible;
  // The normalisation reads the back-test's sorted days: no sort of its own.
  const InSample ins = score_in_sample(panel, mk.prices, n, m, s.legs, s.hedged, measure,
                                       &state.ws.forward, [&](const Day &day) {
                                         normalise_day(day.ranked, day.t, m, *z);
                                         eligible.push_back(day.ranked.size());
                                       });
  if (!ins.ok || !std::isfinite(ins.ic) || !std::isfinite(ins.row.sharpe) ||
      !trades_enough(eligible, s.legs, s.hedged))
    return c;
  c.ok = true;
  c.alone = ins.ic;
  c.net = ins.row.net;
  c.sharpe = ins.row.sharpe;
  c.maxdown = ins.row.max_drawdown;
  c.sr = ins.sr;
  c.skew = ins.skew;
  c.kurt = ins.kurt;
  c.days = static_cast<std::int64_t>(ins.days);
  c.coverage = coverage_of(std::move(eligible));
  c.correlation = 0.0;
  for (std::size_t k = 0; k < state.pool.size(); ++k) {
    const double r = std::fabs(mean_rank_correlation(state.data, *z, state.pool.member(k)));
    if (r > c.correlation || (std::isnan(r) && c.closest < 0)) {
      c.correlation = std::isnan(r) ? c.correlation : r;
      c.closest = static_cast<std::int64_t>(k);
    }
  }
  c.combined = state.pool.with(z, state.data).score(state.data, measure);
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
                 const std::vector<std::string> &texts, const Scoring &s) {
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
  state.pool = std::move(pool);
  state.texts = texts;
  state.score = state.pool.score(state.data, pool_measure(s));
}

void pool_worker_init(py::handle mod, py::handle job, py::handle data, int threads,
                      std::int64_t parent_pid) {
  init_pool_worker(threads, parent_pid);
  cache_state(mod, job[py::int_(0)], data);
}

py::object pool_chunk(py::handle mod, py::handle job, py::handle data, py::handle members,
                      py::handle texts) {
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
  PoolState &state = *entry[py::int_(0)].cast<py::capsule>().get_pointer<PoolState>();
  if (entry[py::int_(1)].is_none()) entry[py::int_(1)] = rebuild_miner(mod, job[py::int_(1)]);
  py::object miner = entry[py::int_(1)];
  const Scoring scoring = scoring_of(job);
  const OperatorTable table = operator_table(miner);

  QuietWarnings quiet;  // for this call only; the caller's filters come back after it
  register_operators(mod, miner);
  std::vector<std::string> names;
  for (py::handle t : members) names.push_back(t.cast<std::string>());
  set_members(mod, miner, state, table, names, scoring);
  py::list results;
  for (py::handle text : texts) {
    check_signals();
    results.append(
        candidate_row(evaluate_candidate(mod, miner, state, table, text.cast<std::string>(),
                                         scoring)));
  }
  return py::make_tuple(results, now() - t0, state.ws.memo.take_hits(),
                        state.ws.take_walk_seconds());
}

}  // namespace factorsearch
