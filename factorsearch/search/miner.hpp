// A FactorSearch's operators, built once for the caller (construction) and once per worker
// (from the operators as they travel), and how they travel.
#pragma once

#include <functional>
#include <optional>

#include "common/pyglue.hpp"

namespace factorsearch {
namespace py = pybind11;

// FactorSearch(fuc): the operator attributes, each name resolved in the module namespace.
void search_init(py::handle mod, py::object self, py::object fuc);

// A FactorSearch with the caller's operators: the callables themselves where they travelled,
// else resolved again from their names in this process.
py::object rebuild_miner(py::handle mod, py::handle operators);

// Operators as they travel to workers: the callable itself where it pickles, else its name only.
py::list travelling_operators(py::handle self);

// A worker's view of one call: the data it holds for the call (a capsule) and the caller's miner,
// rebuilt once per call from its travelling operators.
struct WorkerCall {
  py::object entry, miner;
  template <typename T>
  T &held() const {
    return *entry[py::int_(0)].cast<py::capsule>().get_pointer<T>();
  }
};
// The call's entry in the worker cache `cache_name` by its token; `make()` adds it when this
// chunk brought the data. Nothing when the worker has neither: the chunk is answered None and
// sent again with the data.
std::optional<WorkerCall> worker_call(py::handle mod, const char *cache_name, py::handle token,
                                      py::handle data, py::handle operators,
                                      const std::function<py::object()> &make);

}  // namespace factorsearch
