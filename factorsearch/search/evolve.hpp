// FactorSearch.evolve: genetic search over formulas (evolve_tree.*), scored on in-sample dates
// (evolve_fitness.*), each distinct formula evaluated once per call, identical subtrees shared
// through a memory-bounded cache per worker, in this process or on the executors `mine` takes.
// Breeding happens in the calling process from per-(seed, generation, individual) generators, and
// a formula's score does not depend on where it ran, so results never depend on the workers.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "factorsearch/search/drivers.hpp"
#include "factorsearch/market/arguments.hpp"

namespace factorsearch {


// Its arguments as the table of factorsearch/arguments.hpp binds and checks them.
py::object evolve(py::handle mod, py::object self, const Args &args);

// Worker side. `job` is (token, operators, hedged, legs, fitness kind, fitness callable or None,
// warm-up, breadth rule);
// `data` None or (data1, price1, codes). Returns (results, seconds, subtree hits, seconds spent
// walking formula trees) with one entry per formula text: None for a failure, else (fitness, net value, sharp, maxdown,
// daily Sharpe, skewness, kurtosis, days, coverage, tradeable share); or None when this worker has no data for the token and
// none was sent.
py::object evolve_chunk(py::handle mod, py::handle job, py::handle data, py::handle texts);

// Process-pool initializer: the call's data once per worker, Ctrl-C left to the caller, the
// native kernels' threads capped.
void evolve_worker_init(py::handle mod, py::handle job, py::handle data, int threads,
                        std::int64_t parent_pid);

// The in-sample fitness evolve gives each formula text (NaN for a failure), scored in this process.
py::list evolve_scores(py::handle mod, py::object self, py::handle texts, py::handle data1,
                       py::handle price1, py::handle zz500, py::handle l, py::handle fitness,
                       py::handle long_only, py::handle warmup);


}  // namespace factorsearch
