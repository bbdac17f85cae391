// Progress inside an epoch: a tqdm bar over its optimiser steps, where someone watches (stderr is
// a terminal, or a notebook kernel runs the code, the rule the factor miner follows too) and the
// trainer is verbose. An epoch can take minutes; without a bar nothing moves until it ends.
#pragma once

#include <chrono>

#include "common/pyglue.hpp"

namespace alphaloom {

inline bool watched_session() {
  py::module_ sys = py::module_::import("sys");
  py::dict modules = sys.attr("modules");
  if (modules.contains("ipykernel") && modules.contains("IPython")) {
    py::object shell = modules["IPython"].attr("get_ipython")();
    if (!shell.is_none() && py::hasattr(shell, "kernel")) return true;
  }
  py::object err = sys.attr("stderr");
  if (err.is_none() || !py::hasattr(err, "isatty")) return false;
  try {
    return err.attr("isatty")().cast<bool>();
  } catch (py::error_already_set &) {
    return false;
  }
}

inline double seconds_now() {
  using clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

// One epoch's bar. While it lives, the optimiser loop (however it is reached: ADD calls its
// train_epoch method) finds it through current(); a train_epoch called outside fit finds none.
class EpochBar {
 public:
  EpochBar(py::handle self, long long epoch) : epoch_(epoch), outer_(current()) {
    wanted_ = is_verbose(self) && watched_session();
    current() = this;
  }
  ~EpochBar() {
    current() = outer_;
    if (!bar_) return;
    try {
      bar_.attr("close")();
    } catch (py::error_already_set &e) {
      e.discard_as_unraisable("closing an epoch's progress bar");
    }
  }
  EpochBar(const EpochBar &) = delete;
  EpochBar &operator=(const EpochBar &) = delete;

  // The loop announces its number of steps, then ticks once per step.
  static void start(long long steps) {
    EpochBar *b = current();
    if (!b || !b->wanted_ || b->bar_) return;
    try {
      b->bar_ = py::module_::import("tqdm.auto").attr("tqdm")(
          "total"_a = steps, "desc"_a = percent("Epoch%d", py::make_tuple(b->epoch_)),
          "unit"_a = "batch", "leave"_a = false);
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_ImportError)) throw;
      b->wanted_ = false;
    }
  }
  static void tick() {
    EpochBar *b = current();
    if (b && b->bar_) b->bar_.attr("update")(1);
  }

 private:
  static EpochBar *&current() {
    static EpochBar *bar = nullptr;
    return bar;
  }
  long long epoch_;
  EpochBar *outer_;
  bool wanted_ = false;
  py::object bar_;
};

}  // namespace alphaloom
