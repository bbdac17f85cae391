// FactorSearch.mine: attempts numbered 0, 1, 2, ... each drawing from its own generator seeded
// from (seed, attempt), run in this process, on a process pool the call owns, on any
// concurrent.futures executor or on a Dask cluster. The result is the first `wanted` (ct) successes in
// attempt order, so it never depends on where or in which order the attempts ran.
#pragma once

#include "factorsearch/search/drivers.hpp"
#include "factorsearch/market/arguments.hpp"

namespace factorsearch {

// Its arguments as the table of factorsearch/arguments.hpp binds and checks them.
py::object mine(py::handle mod, py::object self, const Args &args);

// Worker side. `job` is (token, operators, hedged, legs, seed), operators a list of
// (name, arity, callable or None). `data` is None or (data1, price1, universe, position of the
// first hold-out date or None); a worker keeps the data of the last calls by token, so it travels
// once per worker and call. Returns (rows, seconds) with rows (attempt, scored row of
// mine_scoring.hpp) for each success in [start, stop), or None when the worker has no data for
// the token and none was sent.
py::object mine_chunk(py::handle mod, py::handle job, py::handle data, std::int64_t start,
                      std::int64_t stop);


// Process-pool initializer: takes the call's data once per worker process, leaves Ctrl-C to the
// calling process, which shuts the pool down, caps the native kernels' threads at
// `threads` (the workers share the cores) and, given the pid of the process that owns the
// pool, ends the worker when that process dies (it would otherwise outlive a killed caller).
void mine_worker_init(py::handle mod, py::handle token, py::handle data, int threads,
                      std::int64_t parent_pid = 0);

}  // namespace factorsearch
