#include "factorsearch/search/evolve_settings.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace factorsearch {
using namespace alphaloom;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace


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

Scoring scoring_from(py::handle fitness, bool long_only, std::int64_t legs) {
  Scoring scoring;
  scoring.legs = legs;
  scoring.hedged = !long_only;
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



// Tournament size, variation probabilities and tree depths.
gp::Config tree_config(const Args &a, std::int64_t max_depth,
                       std::pair<std::int64_t, std::int64_t> init) {
  gp::Config cfg;
  cfg.tournament = a.whole("tournament");
  cfg.p_crossover = a.number("p_crossover");
  cfg.p_subtree = a.number("p_subtree");
  cfg.p_hoist = a.number("p_hoist");
  cfg.p_point = a.number("p_point");
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

EvolveSettings read_settings(const Args &a) {
  EvolveSettings s;
  s.legs = a.whole("l");
  s.generations = a.whole("generations");
  s.population = a.whole("population");
  const std::int64_t max_depth = a.whole("max_depth");
  const auto init = depth_range(a["init_depth"], max_depth);
  s.jobs = a.whole("n_jobs");
  s.cfg = tree_config(a, max_depth, init);
  // A tournament draws that many entrants per parent: more than the population only repeats
  // draws (10**12 of them ran for minutes).
  if (s.cfg.tournament > s.population)
    raise(PyExc_ValueError, format("tournament must be at most population ({}), got {}",
                                   s.population, s.cfg.tournament));
  s.parsimony = parsimony_of(a["parsimony"]);
  s.warmup = static_cast<std::size_t>(a.whole("warmup"));
  s.max_correlation = a.number("max_correlation");
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

}  // namespace factorsearch
