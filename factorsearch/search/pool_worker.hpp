// The worker side of FactorSearch.pool, beside evolve's: a candidate formula walked as evolve walks
// it, normalised per day from the back-test's own sorted days, and scored by what it adds to the
// pool's combined in-sample (rank) IC, in a worker process or in the calling one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "factorsearch/backtest/combination.hpp"
#include "factorsearch/search/evolve_worker.hpp"

namespace factorsearch {

// What one process holds for a pool call: the in-sample market, its forward returns, the
// combination data and the pool as it stood when this process last saw it.
struct PoolState {
  PoolState(Market m, std::int64_t memo_bytes, Measure measure)
      : ws(std::move(m), memo_bytes), measure(measure),
        data(combination_data(ws.forward, ws.market.n_dates, measure)), packed(pack(data, pool)) {}
  PoolState(const PoolState &) = delete;
  PoolState &operator=(const PoolState &) = delete;
  WorkerState ws;
  Measure measure;
  CombinationData data;
  std::vector<std::string> texts;  // the members, in pool order
  Combination pool;
  PackedPool packed;   // pool, laid out for candidates
  double score = 0.0;  // the pool's combined score (0 when empty)

  void set_pool(Combination c, std::vector<std::string> members) {
    pool = std::move(c);
    texts = std::move(members);
    packed = pack(data, pool);
    score = pool.score(data);
  }
};

// A candidate scored against the pool. `ok` is false for a formula that fails, is refused as
// evolve refuses it, or does not trade (the breadth rule of backtest.hpp).
struct Candidate {
  bool ok = false;
  double gain = 0, combined = 0, alone = 0, net = 0, sharpe = 0, maxdown = 0, sr = 0, skew = 0,
         kurt = 0, correlation = 0, coverage = 0;
  std::int64_t days = 0, closest = -1;  // the member it correlates most with (-1: none)
  std::shared_ptr<const NormalisedFactor> z;
};

Measure pool_measure(const Scoring &s);

Candidate evaluate_candidate(py::handle mod, py::handle miner, PoolState &state,
                             const OperatorTable &t, const std::string &text, const Scoring &s);
// None, or (gain, combined, alone, net, sharp, maxdown, daily Sharpe, skewness, kurtosis, days,
// correlation, coverage, closest).
py::object candidate_row(const Candidate &c);

// Brings the state's pool to these members (pool order), walking the ones it does not hold.
void set_members(py::handle mod, py::handle miner, PoolState &state, const OperatorTable &t,
                 const std::vector<std::string> &texts);

// Worker side: `job` as evolve's; `members` the pool's texts; answers as evolve_chunk does.
py::object pool_chunk(py::handle mod, py::handle job, py::handle data, py::handle members,
                      py::handle texts);
void pool_worker_init(py::handle mod, py::handle job, py::handle data, int threads,
                      std::int64_t parent_pid);

// For tests and the bench, scored in this process: the gain each text brings to a pool of
// `members` (NaN for a formula refused or failing), and the weights the pool's fit gives members.
py::list pool_scores(py::handle mod, py::object self, py::handle members, py::handle texts,
                     py::handle data1, py::handle price1, py::handle zz500, py::handle l,
                     py::handle fitness, py::handle long_only);
py::list pool_weights(py::handle mod, py::object self, py::handle members, py::handle data1,
                      py::handle price1, py::handle zz500);

}  // namespace factorsearch
