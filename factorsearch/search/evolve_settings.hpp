// The numbers and choices FactorSearch.evolve runs by, each read from its argument and checked
// before any work.
#pragma once

#include <cstdint>
#include <limits>
#include <utility>

#include "factorsearch/search/evolve.hpp"
#include "factorsearch/search/evolve_worker.hpp"
#include "factorsearch/search/gp_tree.hpp"

namespace factorsearch {

// The numbers evolve runs by, each checked before any work.
struct EvolveSettings {
  std::int64_t legs = 1, generations = 1, population = 1, keep = 1, jobs = 1;
  gp::Config cfg;
  double parsimony = std::numeric_limits<double>::quiet_NaN();
  std::size_t warmup = kFirstDay;
  double max_correlation = 0.9;  // NaN: no bound (None)
};

// init_depth: two whole numbers (low, high) with 1 <= low <= high <= max_depth.
std::pair<std::int64_t, std::int64_t> depth_range(py::handle value, std::int64_t max_depth);
// The fitness and the legs it is scored with.
Scoring scoring_from(py::handle fitness, bool long_only, std::int64_t legs);
// Tournament size, variation probabilities and tree depths.
gp::Config tree_config(const Args &a, std::int64_t max_depth,
                       std::pair<std::int64_t, std::int64_t> init);
double parsimony_of(py::handle value);
EvolveSettings read_settings(const Args &a);
// The operators trees are built from: one per distinct (name, arity), as the parser reads them.
void add_operators(py::handle self, gp::Config &cfg);

}  // namespace factorsearch
