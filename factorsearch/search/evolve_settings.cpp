#include "factorsearch/search/evolve_settings.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace factorsearch {
using namespace alphaloom;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

double probability(py::handle value, const char *name) {
  double p = kNaN;
  if (!PyBool_Check(value.ptr())) {
    try {
      p = to_double(value);
    } catch (py::error_already_set &) {
      p = kNaN;
    }
  }
  if (!(p >= 0.0 && p <= 1.0))
    raise(PyExc_ValueError, format("{} must be a probability in [0, 1], got {!r}", name, value));
  return p;
}

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

Scoring scoring_from(py::handle fitness, py::handle long_only, std::int64_t legs) {
  Scoring scoring;
  scoring.legs = legs;
  scoring.hedged = !py::reinterpret_borrow<py::object>(long_only).cast<bool>();
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
gp::Config tree_config(const EvolveArgs &a, std::int64_t max_depth,
                       std::pair<std::int64_t, std::int64_t> init) {
  gp::Config cfg;
  cfg.tournament = whole_number(a.tournament, "tournament", 1);
  cfg.p_crossover = probability(a.p_crossover, "p_crossover");
  cfg.p_subtree = probability(a.p_subtree, "p_subtree");
  cfg.p_hoist = probability(a.p_hoist, "p_hoist");
  cfg.p_point = probability(a.p_point, "p_point");
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

EvolveSettings read_settings(const EvolveArgs &a) {
  EvolveSettings s;
  s.legs = whole_number(a.l, "l", 1);
  s.generations = whole_number(a.generations, "generations", 1);
  s.population = whole_number(a.population, "population", 1);
  const std::int64_t max_depth = whole_number(a.max_depth, "max_depth", 1);
  const auto init = depth_range(a.init_depth, max_depth);
  s.keep = whole_number(a.hall_of_fame, "hall_of_fame", 1);
  s.jobs = whole_number(a.n_jobs, "n_jobs", 1);
  s.cfg = tree_config(a, max_depth, init);
  s.parsimony = parsimony_of(a.parsimony);
  s.warmup = static_cast<std::size_t>(whole_number(a.warmup, "warmup", 0));
  s.max_correlation = correlation_bound(a.max_correlation, "max_correlation", true);
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
