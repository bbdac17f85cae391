// Ctrl-C inside long work: loops that hold the GIL check for it between blocks; kernels that run
// without it poll through a StopToken (common/interrupt.hpp) and raise once they have returned.
#pragma once

#include "common/pyglue.hpp"

namespace alphaloom {

// Between blocks of a loop that holds the GIL: a pending Ctrl-C surfaces here as the handler's
// exception (KeyboardInterrupt) instead of after the loop.
inline void check_signals() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// StopToken poll for kernels running with the GIL released: takes the GIL just long enough to
// run pending signal handlers. A handler's exception stays set on this thread until
// rethrow_if_interrupted() raises it, after the kernel has returned.
inline bool poll_signals(void *) {
  PyGILState_STATE gil = PyGILState_Ensure();
  const int rc = PyErr_CheckSignals();
  PyGILState_Release(gil);
  return rc != 0;
}

inline void rethrow_if_interrupted() {
  if (PyErr_Occurred()) throw py::error_already_set();
}

}  // namespace alphaloom
