#include "factorsearch/executor_parts.hpp"

namespace factorsearch {
using namespace alphaloom;

// A FactorSearch with the caller's operators: the callables themselves where they travelled,
// else resolved again from their names in this process.
py::object rebuild_miner(py::handle mod, py::handle operators) {
  py::object cls = mod.attr("FactorSearch");
  py::object miner = cls.attr("__new__")(cls);
  py::list fuc1, function, fc;
  for (py::handle op : operators) {
    py::object name = op[py::int_(0)], arity = op[py::int_(1)], fn = op[py::int_(2)];
    py::list entry;
    entry.append(name);
    entry.append(arity);
    if (fn.is_none()) {
      try {
        fn = resolve_name(mod, name, py::dict("fuc"_a = operators, "i"_a = op, "self"_a = miner));
      } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::raise_from(e, PyExc_RuntimeError,
                       std::string(format("operator {!r} does not resolve in worker process {}; "
                                          "use a function importable there",
                                          name, py::module_::import("os").attr("getpid")()))
                           .c_str());
        throw py::error_already_set();
      }
    }
    fuc1.append(entry);
    function.append(name);
    fc.append(fn);
  }
  miner.attr("fuc1") = fuc1;
  miner.attr("fuc") = fuc1;
  miner.attr("function") = function;
  miner.attr("fc") = fc;
  return miner;
}

// Operators as they travel to workers: the callable itself where it pickles, else its name only.
py::list travelling_operators(py::handle self) {
  py::object dumps = py::module_::import("pickle").attr("dumps");
  py::list ops;
  py::object fuc = self.attr("fuc"), fc = self.attr("fc");
  const std::size_t n = py::len(fuc);
  for (std::size_t k = 0; k < n; ++k) {
    py::object entry = fuc[py::int_(k)];
    py::object fn = k < py::len(fc) ? py::object(fc[py::int_(k)]) : py::object(py::none());
    try {
      dumps(fn);
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_Exception)) throw;
      fn = py::none();
    }
    ops.append(py::make_tuple(entry[py::int_(0)], entry[py::int_(1)], fn));
  }
  return ops;
}

// Any non-negative integer, however wide: a drawn seed has 128 bits and must replay exactly.
py::object seed_of(py::handle seed) {
  if (seed.is_none())
    return py::module_::import("numpy").attr("random").attr("SeedSequence")().attr("entropy");
  PyObject *i = PyBool_Check(seed.ptr()) ? nullptr : PyNumber_Index(seed.ptr());
  if (!i) {
    PyErr_Clear();
    raise(PyExc_ValueError, format("seed must be None or a whole number >= 0, got {!r}", seed));
  }
  auto value = py::reinterpret_steal<py::object>(i);
  if (value < py::int_(0))
    raise(PyExc_ValueError, format("seed must be None or a whole number >= 0, got {!r}", seed));
  return value;
}

bool is_dask_client(py::handle executor) {
  return py::hasattr(executor, "scatter") && py::hasattr(executor, "get_executor") &&
         py::hasattr(executor, "nthreads");
}

std::int64_t worker_count(py::handle executor) {
  py::object n = py::getattr(executor, "_max_workers", py::none());
  if (!n.is_none()) return std::max<std::int64_t>(1, n.cast<std::int64_t>());
  return 2;
}

// Stops the pool's processes now; pending chunks are not wanted any more.
void terminate_pool(py::handle pool) {
  if (py::hasattr(pool, "terminate_workers")) {
    pool.attr("terminate_workers")();
  } else {
    py::object procs = py::getattr(pool, "_processes", py::none());
    if (!procs.is_none())
      for (py::handle p : py::list(procs.attr("values")())) {
        try {
          p.attr("terminate")();
        } catch (py::error_already_set &e) {
          if (!e.matches(PyExc_Exception)) throw;
        }
      }
  }
  pool.attr("shutdown")("wait"_a = true, "cancel_futures"_a = true);
}

bool is_worker_death(py::handle exc) {
  py::object broken = py::module_::import("concurrent.futures").attr("BrokenExecutor");
  if (py::isinstance(exc, broken)) return true;
  std::string name = py::str(py::type::of(exc).attr("__name__"));
  return name == "KilledWorker";
}

// Each of `workers` processes on this machine gets an equal share of the usable cores.
int kernel_threads(std::int64_t workers) {
  py::module_ os = py::module_::import("os");
  py::object cores = py::hasattr(os, "sched_getaffinity")
                         ? py::object(py::int_(py::len(os.attr("sched_getaffinity")(0))))
                         : os.attr("cpu_count")();
  const std::int64_t n = cores.is_none() ? 1 : cores.cast<std::int64_t>();
  return static_cast<int>(std::max<std::int64_t>(1, n / std::max<std::int64_t>(workers, 1)));
}

}  // namespace factorsearch
