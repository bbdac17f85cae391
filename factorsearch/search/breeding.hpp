// What evolve and pool share on the calling side: the run key, the breeding of a generation, the
// evaluator that sends a generation's formulas out on the chunk runner, the generation bar and the
// hold-out row of a found formula.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "factorsearch/market/holdout.hpp"
#include "factorsearch/runtime/chunk_runner.hpp"
#include "factorsearch/runtime/progress.hpp"
#include "factorsearch/search/evolve_settings.hpp"
#include "factorsearch/search/evolve_worker.hpp"

namespace factorsearch {

// The run's key for the per-(generation, individual) generators, from the call's seed.
std::array<std::uint64_t, 4> run_key(py::handle seed);

// The population of generation g: random trees first, then each bred from the one before, scored
// by `score_of(text)` (kWorstFitness for a failure; parsimony is applied here); no formula twice
// in one generation unless kBreedTries draws in a row all repeat one.
void next_population(std::vector<Program> &programs, std::int64_t g,
                     const std::array<std::uint64_t, 4> &key, const EvolveSettings &s,
                     const OperatorTable &table,
                     const std::function<double(const std::string &)> &score_of);

// The generation's formulas not scored before, in order of first appearance, entered in `run`
// (its seen, texts and records) with `make(program, position)` as their records.
template <typename Run, typename Make>
std::vector<std::string> enter_fresh(Run &run, const std::vector<Program> &programs,
                                     const OperatorTable &table, Make &&make) {
  std::vector<std::string> fresh;
  for (const Program &p : programs) {
    std::string text = text_of(p, table);
    if (run.seen.count(text)) continue;
    run.seen.emplace(text, run.records.size());
    run.records.push_back(make(p, static_cast<std::int64_t>(run.records.size())));
    run.texts.push_back(text);
    fresh.push_back(std::move(text));
  }
  return fresh;
}

// A generation's new formulas go out on the chunk runner as mine's attempts do: chunks of
// consecutive formulas sized to take about half a second (a second on Dask), at most two per
// worker in flight, the data once per worker and call. A chunk calls
// `chunk_fn(job, data, *prefix, texts)` and answers (results, seconds, subtree hits, walk seconds).
class RemoteEvaluator final : public Evaluator, private ChunkWork {
 public:
  RemoteEvaluator(py::handle mod, const char *chunk_fn, const char *init_fn, py::tuple job,
                  py::object data, std::int64_t n_jobs, py::handle executor);
  // What every chunk of the next runs carries before its texts.
  void set_prefix(py::tuple prefix) { prefix_ = std::move(prefix); }
  void run(const std::vector<std::string> &texts, const Deliver &deliver) override;
  void close(bool stop_now) override;

 private:
  py::tuple items(const Chunk &c) override;
  void accept(const Chunk &c, py::handle answer) override;
  bool wants_more() override { return done_ < py::len(texts_); }
  void worker_died(const Chunk &failed, const std::vector<Chunk> &, std::int64_t culprit,
                   py::object exc) override;
  [[noreturn]] void chunk_failed(const Chunk &c, py::object exc) override;

  ChunkRunner runner_;
  py::tuple prefix_;
  py::list texts_;
  const Deliver *deliver_ = nullptr;
  std::size_t done_ = 0;
};

// One step per generation, on a tqdm bar or a stderr line (progress.hpp).
class GenerationProgress {
 public:
  GenerationProgress(py::handle flag, std::int64_t generations, const char *desc);
  void step(std::int64_t generation, double best, std::int64_t evaluated);
  void close() { show_.close(); }

 private:
  std::int64_t total_;
  std::string desc_;
  ProgressDisplay show_;
};

// The scored row (score_formula) of a found formula on the whole data, for its hold-out columns,
// or an empty tuple where that fails.
py::tuple holdout_row(py::handle mod, py::handle miner, const OperatorTable &t,
                      const std::string &text, const MiningData &data, const Scoring &s);

}  // namespace factorsearch
