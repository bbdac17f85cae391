#include "factorsearch/search/breeding.hpp"

#include "common/signals.hpp"

#include <unordered_set>

#include "factorsearch/expr/formula_parser.hpp"
#include "factorsearch/search/drivers.hpp"
#include "factorsearch/search/gp_tree.hpp"
#include "factorsearch/search/scoring.hpp"

namespace factorsearch {
using namespace alphaloom;

std::array<std::uint64_t, 4> run_key(py::handle seed) {
  py::object state = py::module_::import("numpy").attr("random").attr("SeedSequence")(seed).attr(
      "generate_state")(4, "dtype"_a = py::module_::import("numpy").attr("uint64"));
  std::array<std::uint64_t, 4> key{};
  for (std::size_t k = 0; k < 4; ++k) key[k] = state[py::int_(k)].cast<std::uint64_t>();
  return key;
}

namespace {

// A child whose formula is already in the generation being bred gets a subtree mutation (in
// generation 0: is drawn again), up to this many draws in all; its own generator goes on, so the
// result does not depend on where it is bred. Without it, crossovers of near-identical
// tournament winners fill a converging population with copies of a few formulas, and each
// generation scores few new ones.
constexpr int kBreedTries = 8;

}  // namespace

void next_population(std::vector<Program> &programs, std::int64_t g,
                     const std::array<std::uint64_t, 4> &key, const EvolveSettings &s,
                     const OperatorTable &table,
                     const std::function<double(const std::string &)> &score_of) {
  const std::size_t n_pop = programs.size();
  std::vector<double> score;
  if (g > 0) {
    score.resize(n_pop);
    for (std::size_t i = 0; i < n_pop; ++i) {
      const double f = score_of(text_of(programs[i], table));
      score[i] = f == kWorstFitness ? kWorstFitness
                                    : f - s.parsimony * static_cast<double>(programs[i].size());
    }
  }
  std::unordered_set<std::string> taken;
  std::vector<Program> next(n_pop);
  for (std::size_t i = 0; i < n_pop; ++i) {
    alphaloom::check_signals();  // a large population and tournament breed for minutes
    gp::Rng rng(key, static_cast<std::uint64_t>(g), i);
    next[i] = g == 0 ? gp::ramped(rng, s.cfg) : gp::breed(rng, programs, score, s.cfg).program;
    for (int tries = 1; !taken.insert(text_of(next[i], table)).second && tries < kBreedTries;
         ++tries)
      next[i] = g == 0 ? gp::ramped(rng, s.cfg) : gp::subtree_mutation(rng, next[i], s.cfg);
  }
  programs = std::move(next);
}

RemoteEvaluator::RemoteEvaluator(py::handle mod, const char *chunk_fn, const char *init_fn,
                                 py::tuple job, py::object data, std::int64_t n_jobs,
                                 py::handle executor)
    : runner_(mod, chunk_fn, init_fn, job, job, std::move(data)) {
  runner_.start(n_jobs, executor);
}

void RemoteEvaluator::run(const std::vector<std::string> &texts, const Deliver &deliver) {
  texts_ = py::list();
  for (const std::string &t : texts) texts_.append(py::str(t));
  deliver_ = &deliver;
  done_ = 0;
  runner_.run(static_cast<std::int64_t>(texts.size()), *this);
}

void RemoteEvaluator::close(bool stop_now) {
  runner_.close(stop_now);
  data_sent = runner_.data_sent();
}

py::tuple RemoteEvaluator::items(const Chunk &c) {
  py::list out(prefix_);
  out.append(texts_[py::slice(c.start, c.stop, 1)]);
  return py::tuple(out);
}

void RemoteEvaluator::accept(const Chunk &c, py::handle answer) {
  py::list results = answer[py::int_(0)];
  subtree_hits += answer[py::int_(2)].cast<std::int64_t>();
  walk_seconds += answer[py::int_(3)].cast<double>();
  for (std::int64_t k = 0; k < c.size(); ++k)
    (*deliver_)(static_cast<std::size_t>(c.start + k), results[py::int_(k)]);
  done_ += static_cast<std::size_t>(c.size());
}

// A formula's death repeats (scores are reproducible): the replay names it. One that does not
// repeat in a chunk of one is still that formula.
void RemoteEvaluator::worker_died(const Chunk &failed, const std::vector<Chunk> &,
                                  std::int64_t culprit, py::object exc) {
  if (culprit < 0 && failed.size() == 1) culprit = failed.start;
  if (culprit >= 0)
    raise_caused(format("a worker process died while evaluating {}", texts_[py::int_(culprit)]),
                 exc);
  raise_caused(format("a worker process died while evaluating one of {} formulas (the first {})",
                      failed.size(), texts_[py::int_(failed.start)]),
               exc);
}

void RemoteEvaluator::chunk_failed(const Chunk &c, py::object exc) {
  raise_caused(format("evaluating {} formulas (the first {}) failed in a worker: {!r}", c.size(),
                      texts_[py::int_(c.start)], exc),
               exc);
}

GenerationProgress::GenerationProgress(py::handle flag, std::int64_t generations,
                                       const char *desc)
    : total_(generations), desc_(desc),
      show_(flag, py::dict("total"_a = generations, "desc"_a = desc, "unit"_a = " generations",
                           "dynamic_ncols"_a = true)) {}

void GenerationProgress::step(std::int64_t generation, double best, std::int64_t evaluated) {
  py::str info = format("best {:.4f}, {} formulas evaluated", best, evaluated);
  if (const py::object &bar = show_.bar()) {
    bar.attr("set_postfix_str")(info, "refresh"_a = false);
    bar.attr("update")(1);
  } else if (show_.text()) {
    show_.line(format("{}: generation {}/{}, {}", desc_, generation + 1, total_, info));
  }
}

py::tuple holdout_row(py::handle mod, py::handle miner, const OperatorTable &t,
                      const std::string &text, const MiningData &data, const Scoring &s) {
  Drawn drawn;
  drawn.program = parse_formula(text, t.specs, t.fields);
  drawn.list = program_as_list(drawn.program, miner.attr("fuc"));
  try {
    return score_formula(mod, miner, drawn, py::str(text), data, s.legs, s.hedged,
                         /*must_trade=*/false);
  } catch (py::error_already_set &e) {
    if (!is_miss(e)) throw;
    return py::tuple();
  }
}

}  // namespace factorsearch
