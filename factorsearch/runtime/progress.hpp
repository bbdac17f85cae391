// Progress of long calls (mine, evolve): a tqdm bar when tqdm is installed, a text line on
// stderr when it is not, nothing when the caller says so.
#pragma once

#include <string>

#include "common/pyglue.hpp"

namespace factorsearch {
namespace py = pybind11;

// Seconds on a steady clock.
double now();

// Whether progress shows when the caller leaves it open (progress=None): in a notebook kernel, or
// when stderr is a terminal.
bool interactive();

// A tqdm bar (notebook-aware through tqdm.auto) made with `tqdm_options`, or, without tqdm, a
// text line on stderr rewritten in place; neither when `flag` (True, False, or None for
// interactive()) is off.
class ProgressDisplay {
 public:
  ProgressDisplay(py::handle flag, const py::dict &tqdm_options);
  ProgressDisplay(const ProgressDisplay &) = delete;
  ProgressDisplay &operator=(const ProgressDisplay &) = delete;
  ~ProgressDisplay();

  // The tqdm bar; null without one.
  const py::object &bar() const { return bar_; }
  bool text() const { return text_; }
  // Rewrites the text line.
  void line(const std::string &text) const;
  // Closes the bar, or ends the text line.
  void close();

 private:
  py::object bar_;
  bool text_ = false;
};

}  // namespace factorsearch
