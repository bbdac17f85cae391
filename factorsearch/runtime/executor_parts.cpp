#include "factorsearch/runtime/executor_parts.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <system_error>
#include <thread>

#ifndef _WIN32
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "common/parallel.hpp"
#include "common/signals.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

constexpr std::size_t kCachedCalls = 2;

// A worker of a pool a call owns ends when the process that owns the pool does (killed by kill,
// timeout or a notebook kernel restart, it cannot shut the pool down, and the workers ignore
// Ctrl-C). On Linux, for a worker forked by that process, the kernel sends SIGKILL at its death;
// otherwise (another system, or a worker started by a fork server) a thread watches it.
void end_with_parent(std::int64_t parent) {
#ifndef _WIN32
  if (parent <= 0) return;
  const pid_t started_by = getppid();
  const auto owner = static_cast<pid_t>(parent);
#ifdef __linux__
  if (started_by == owner && prctl(PR_SET_PDEATHSIG, SIGKILL) == 0) {
    if (getppid() != started_by) _exit(1);  // it died before the request took effect
    return;
  }
#endif
  try {
    std::thread([owner, started_by] {
      for (;;) {
        if (getppid() != started_by || (kill(owner, 0) != 0 && errno == ESRCH)) _exit(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
      }
    }).detach();
  } catch (const std::system_error &) {  // no thread to spare: the worker runs unwatched
  }
#else
  (void)parent;
#endif
}

}  // namespace

std::int64_t own_pid() { return py::module_::import("os").attr("getpid")().cast<std::int64_t>(); }

void init_pool_worker(int threads, std::int64_t parent_pid) {
  end_with_parent(parent_pid);
  py::module_ signal = py::module_::import("signal");
  signal.attr("signal")(signal.attr("SIGINT"), signal.attr("SIG_IGN"));
  cap_process_threads(threads);
}

py::dict worker_cache(py::handle mod, const char *cache_name) {
  if (!py::hasattr(mod, cache_name)) py::setattr(mod, cache_name, py::dict());
  return mod.attr(cache_name);
}

py::object cache_call(py::handle mod, const char *cache_name, py::handle token,
                      const std::function<py::capsule()> &make) {
  py::dict cache = worker_cache(mod, cache_name);
  py::list entry;
  entry.append(make());
  entry.append(py::none());  // the miner, rebuilt at the first chunk
  cache[token] = entry;
  while (py::len(cache) > kCachedCalls) {
    py::object oldest = py::reinterpret_borrow<py::object>((*cache.begin()).first);
    PyDict_DelItem(cache.ptr(), oldest.ptr());
  }
  return entry;
}

void check_runner_args(std::int64_t jobs, py::handle executor) {
  if (jobs > 1 && !executor.is_none())
    raise(PyExc_ValueError, "give either n_jobs > 1 (a pool of this call's own) or executor=, not both");
  if (!executor.is_none() && !py::hasattr(executor, "submit"))
    raise(PyExc_TypeError, "executor must be a concurrent.futures.Executor or a dask.distributed "
                           "Client, got " + type_name(executor));
}

void raise_if_interrupted(py::handle exc) {
  if (py::isinstance(exc, py::module_::import("builtins").attr("KeyboardInterrupt"))) {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw py::error_already_set();
  }
  check_signals();
}

void raise_caused(const std::string &message, py::handle cause) {
  py::object error = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(message);
  error.attr("__cause__") = cause;
  PyErr_SetObject(PyExc_RuntimeError, error.ptr());
  throw py::error_already_set();
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


}  // namespace factorsearch
