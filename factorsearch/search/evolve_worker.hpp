// The worker side of FactorSearch.evolve: formula texts parsed, walked by the panel engine (with
// identical subtrees shared through a memory-bounded cache) and scored on in-sample dates, in a
// worker process or in the calling one (LocalEvaluator).
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "factorsearch/backtest/in_sample.hpp"
#include "common/signals.hpp"
#include "factorsearch/expr/formula_names.hpp"
#include "factorsearch/search/subtree_memo.hpp"

namespace factorsearch {

inline constexpr double kWorstFitness = -std::numeric_limits<double>::infinity();

struct Scoring {
  std::int64_t legs = 1;
  bool hedged = true;
  std::string kind;   // "rank_ic", "ic", "sharpe" or "callable"
  py::object fn;      // the callable
  std::size_t warmup = kFirstDay;  // dates before the first back-test day
  bool breadth = true;  // the breadth rule (in_sample.hpp); benchmarks switch it off to compare
};

// The module attribute that switches the breadth rule off (benchmarks only).
inline constexpr const char *kBreadthRuleName = "_evolve_breadth";

// What scoring changes: the subtree cache, bound to the formula being walked, and the walk time
// not yet reported. One per thread: the threads of one worker process (a thread pool, a Dask
// worker with several threads) walk at once while the kernels run without the interpreter lock,
// and a shared cache let one thread's walk read values keyed for another thread's formula.
struct Scratch {
  explicit Scratch(std::size_t memo_capacity) : memo(memo_capacity) {}
  SubtreeMemo memo;
  PanelPool pool;             // the walk's node values, reused once nothing holds them
  std::vector<double> panel;  // the row-major factor of the formula being scored, reused: a fresh
                              // panel each time costs its page faults
  double walk_seconds = 0;  // CPU time spent evaluating formula trees, not yet reported
  double take_walk_seconds() { return std::exchange(walk_seconds, 0.0); }
};

// The data a worker scores on (read only once built) and each thread's scratch.
struct WorkerState {
  WorkerState(Market m, std::int64_t memo_bytes)
      : market(std::move(m)),
        memo_capacity(static_cast<std::size_t>(std::max<std::int64_t>(memo_bytes, 0)) /
                      std::max<std::size_t>(market.n_dates * market.n_stocks() * sizeof(double), 1)),
        forward(forward_order(market.prices, market.n_dates, market.n_stocks())) {}
  Market market;
  std::size_t memo_capacity;  // subtree values per thread
  ForwardOrder forward;

  // The calling thread's scratch. Called with the interpreter lock held, which guards the map.
  Scratch &scratch() {
    std::unique_ptr<Scratch> &s = scratch_[std::this_thread::get_id()];
    if (!s) s = std::make_unique<Scratch>(memo_capacity);
    return *s;
  }

 private:
  std::unordered_map<std::thread::id, std::unique_ptr<Scratch>> scratch_;
};



// A formula text parsed as `factor` parses it and walked by the panel engine (sharing subtrees
// through the memo) into `panel` (dates x stocks, row-major); false for any failure of the formula.
bool walk_text(py::handle mod, py::handle miner, WorkerState &ws, const OperatorTable &t,
               const std::string &text, std::vector<double> &panel);

// One formula text: parsed as `factor` parses it, walked by the panel engine (sharing subtrees
// through the memo), scored on the data this state holds. None for any failure of the formula,
// else (fitness, net value, sharp, maxdown, daily Sharpe, skewness, kurtosis, days, coverage,
// tradeable share).
py::object score_text(py::handle mod, py::handle miner, WorkerState &ws, const OperatorTable &t,
                      const std::string &text, const Scoring &s);

// The Scoring a worker's job carries: (token, operators, hedged, legs, kind, callable or None).
Scoring scoring_of(py::handle job);

// The subtree cache's bound per worker and call (tests set the module attribute to 0: none).
std::int64_t memo_bytes(py::handle mod);

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
      alphaloom::check_signals();
      py::object r = score_text(mod_, miner_, state_, table_, texts[i], scoring_);
      Scratch &scratch = state_.scratch();
      subtree_hits += scratch.memo.take_hits();
      walk_seconds += scratch.take_walk_seconds();
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

}  // namespace factorsearch
