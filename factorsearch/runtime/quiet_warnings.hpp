// Warnings silenced for the span of one library call (warnings.catch_warnings with an "ignore"
// filter), the caller's filters restored when it ends: pandas and NumPy warn on every formula that
// divides by zero or takes the log of a negative number, which is most of them.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace factorsearch {
namespace py = pybind11;

// Only the outermost scope enters a context; scopes opened inside it, on this thread or another
// one (a thread-pool executor running chunks while the call waits), enter none. catch_warnings
// saves and restores one process-wide filter list, so two overlapping owners would restore each
// other's state and could leave "ignore" installed for good. Nested scopes cost a flag test, so
// one per attempt is as cheap as one per driver call. Needs the GIL.
class QuietWarnings {
 public:
  QuietWarnings() {
    if (owned()) return;
    py::module_ warnings = py::module_::import("warnings");
    py::object ctx = warnings.attr("catch_warnings")();
    ctx.attr("__enter__")();
    ctx_ = std::move(ctx);
    owned() = true;
    try {
      warnings.attr("simplefilter")("ignore");
    } catch (...) {
      leave();
      throw;
    }
  }
  QuietWarnings(const QuietWarnings &) = delete;
  QuietWarnings &operator=(const QuietWarnings &) = delete;
  ~QuietWarnings() { leave(); }

 private:
  static bool &owned() {
    static bool flag = false;
    return flag;
  }

  void leave() noexcept {
    if (!ctx_) return;
    owned() = false;
    try {
      py::error_scope keep;  // an error in flight must survive the exit call
      ctx_.attr("__exit__")(py::none(), py::none(), py::none());
    } catch (...) {
    }
    ctx_ = py::object();
  }

  py::object ctx_;
};

}  // namespace factorsearch
