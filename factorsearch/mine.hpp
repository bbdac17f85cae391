// FactorSearch.mine: attempts numbered 0, 1, 2, ... each drawing from its own generator seeded
// from (seed, attempt), run in this process, on a process pool the call owns, on any
// concurrent.futures executor or on a Dask cluster. The result is the first `ct` successes in
// attempt order, so it never depends on where or in which order the attempts ran.
#pragma once

#include "factorsearch/drivers.hpp"

namespace factorsearch {

py::object mine(py::handle mod, py::object self, py::handle data1, py::handle price1,
                py::handle zz500, py::handle ct, py::handle l, py::handle long_only,
                py::handle seed, py::handle n_jobs, py::handle executor, py::handle max_attempts,
                py::handle progress);

// Worker side. `job` is (token, operators, hedged, legs, seed), operators a list of
// (name, arity, callable or None). `data` is None or (data1, price1, codes); a worker keeps
// the data of the last calls by token, so it travels once per worker and call. Returns
// (rows, seconds) with rows (attempt, text, net value, sharp, maxdown) for each success in
// [start, stop), or None when the worker has no data for the token and none was sent.
py::object mine_chunk(py::handle mod, py::handle job, py::handle data, std::int64_t start,
                      std::int64_t stop);

// Process-pool initializer: takes the call's data once per worker process, leaves Ctrl-C to the
// calling process, which shuts the pool down, and caps the native kernels' threads at
// `kernel_threads` (the workers share the cores).
void mine_worker_init(py::handle mod, py::handle token, py::handle data, int kernel_threads);

// Parts of mine's executor layer that FactorSearch.evolve runs its evaluations on.
namespace pool {
py::object rebuild_miner(py::handle mod, py::handle operators);
py::list travelling_operators(py::handle self);
py::object seed_of(py::handle seed);
bool is_dask_client(py::handle executor);
std::int64_t worker_count(py::handle executor);
void terminate_pool(py::handle pool);
bool is_worker_death(py::handle exc);
int kernel_threads(std::int64_t workers);
}  // namespace pool

}  // namespace factorsearch
