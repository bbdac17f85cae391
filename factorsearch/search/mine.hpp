// FactorSearch.mine: attempts numbered 0, 1, 2, ... each drawing from its own generator seeded
// from (seed, attempt), run in this process, on a process pool the call owns, on any
// concurrent.futures executor or on a Dask cluster. The result is the first `wanted` (ct) successes in
// attempt order, so it never depends on where or in which order the attempts ran.
#pragma once

#include "factorsearch/search/drivers.hpp"

namespace factorsearch {

// The arguments of FactorSearch.mine: frames = data1, prices = price1, universe = zz500,
// wanted = ct, legs = l.
py::object mine(py::handle mod, py::object self, py::handle frames, py::handle prices,
                py::handle universe, py::handle wanted, py::handle legs, py::handle long_only,
                py::handle seed, py::handle n_jobs, py::handle executor, py::handle max_attempts,
                py::handle progress, py::handle holdout, py::handle directory, py::handle warmup,
                py::handle max_correlation);

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
