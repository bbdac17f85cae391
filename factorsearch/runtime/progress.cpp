#include "factorsearch/runtime/progress.hpp"

#include <chrono>

namespace factorsearch {

double now() {
  using clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

bool interactive() {
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

ProgressDisplay::ProgressDisplay(py::handle flag, const py::dict &tqdm_options) {
  if (!(flag.is_none() ? interactive() : flag.cast<bool>())) return;
  try {
    bar_ = py::module_::import("tqdm.auto").attr("tqdm")(**tqdm_options);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_ImportError)) throw;
    text_ = true;
  }
}

ProgressDisplay::~ProgressDisplay() {
  try {
    close();
  } catch (...) {
  }
}

void ProgressDisplay::line(const std::string &text) const {
  py::module_::import("sys").attr("stderr").attr("write")("\r" + text);
}

void ProgressDisplay::close() {
  if (bar_) {
    py::object bar = std::move(bar_);
    bar_ = py::object();
    bar.attr("close")();
  } else if (text_) {
    text_ = false;
    py::module_::import("sys").attr("stderr").attr("write")("\n");
  }
}

}  // namespace factorsearch
