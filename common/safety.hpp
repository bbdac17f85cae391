// Guards that keep a forecaster's files and state sound when something goes wrong: weight files
// replaced atomically, the save location probed before training, feature columns checked before
// any work, training that produced nothing usable undone, and Ctrl-C noticed inside long loops.
// Each is one call at its call site.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>

#include "common/interrupt.hpp"
#include "common/libs.hpp"
#include "common/pyglue.hpp"

namespace alphaloom {

// ---------------------------------------------------------------------------------------------
// Signals

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

// ---------------------------------------------------------------------------------------------
// Weight files

namespace detail {

inline py::module_ os_module() { return py::module_::import("os"); }

// Where `filename` really lives: a symbolic link keeps pointing at the file it names.
inline py::object resolved_path(const char *filename) {
  py::object path = os_module().attr("path");
  return path.attr("abspath")(path.attr("realpath")(filename));
}

// A new, exclusively created file next to `target` (same directory, so the final rename never
// crosses file systems). Created like any other file, so the umask applies as it would to a
// direct write.
inline std::pair<py::object, py::object> open_beside(py::handle target) {
  py::module_ os = os_module();
  py::object path = os.attr("path");
  py::object dir = path.attr("dirname")(target);
  std::string base = py::str(path.attr("basename")(target));
  for (int attempt = 0;; ++attempt) {
    std::string tag = py::str(os.attr("urandom")(6).attr("hex")());
    std::string name = "." + base + "." + tag + ".tmp";
    py::object tmp = path.attr("join")(dir, name);
    try {
      return {tmp, libs().builtins.attr("open")(tmp, "xb")};
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_FileExistsError) || attempt >= 16) throw;
    }
  }
}

// Cleanup on a path that is already failing: nothing here may replace the original error.
inline void discard(py::handle file, py::handle tmp) {
  try {
    file.attr("close")();
  } catch (py::error_already_set &) {
  }
  try {
    os_module().attr("unlink")(tmp);
  } catch (py::error_already_set &) {
  }
}

}  // namespace detail

// fit calls this before its first epoch: a directory that cannot take the weight file is reported
// at once, not after every epoch has trained. The probe file is removed again.
inline void require_writable_target(const char *filename) {
  py::object where = py::str(filename);
  try {
    py::object target = detail::resolved_path(filename);  // fails if the directory is gone
    where = target;
    if (detail::os_module().attr("path").attr("isdir")(target).cast<bool>())
      raise(PyExc_IsADirectoryError, "a directory of that name is in the way");
    auto [tmp, file] = detail::open_beside(target);
    detail::discard(file, tmp);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_OSError)) throw;
    std::string msg = "cannot write the weight file " + py::repr(where).cast<std::string>() +
                      " (" + py::str(e.value()).cast<std::string>() +
                      "); fit checks this before training so that no epoch is wasted";
    py::raise_from(e, e.type().ptr(), msg.c_str());
    throw py::error_already_set();
  }
}

// torch.save into a temporary file beside the target, flushed to disk, then renamed over it:
// readers see the old file or the new one, never a partial one, and a save that fails (disk
// full, Ctrl-C, an error in torch.save) leaves the old file as it was and no temporary file.
// torch.save is looked up per call so that a caller's replacement of it is honoured.
inline void save_atomically(py::handle obj, const char *filename) {
  py::module_ os = detail::os_module();
  py::object target = detail::resolved_path(filename);
  auto [tmp, file] = detail::open_beside(target);
  try {
    // An existing file keeps its permission bits, as it would when overwritten in place.
    try {
      py::object st_mode = os.attr("stat")(target).attr("st_mode");
      py::object mode = py::module_::import("stat").attr("S_IMODE")(st_mode);
      os.attr("chmod")(tmp, mode);
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_OSError)) throw;
    }
    libs().torch.attr("save")(obj, file);
    file.attr("flush")();
    os.attr("fsync")(file.attr("fileno")());
    file.attr("close")();
    os.attr("replace")(tmp, target);
  } catch (...) {
    detail::discard(file, tmp);
    throw;
  }
  // Make the rename itself durable where directories can be synced; elsewhere it is enough.
  try {
    py::object fd = os.attr("open")(os.attr("path").attr("dirname")(target), os.attr("O_RDONLY"));
    try {
      os.attr("fsync")(fd);
    } catch (py::error_already_set &) {
    }
    os.attr("close")(fd);
  } catch (py::error_already_set &) {
  }
}

// ---------------------------------------------------------------------------------------------
// Feature columns

// Numbers only: a datetime column would be read as nanoseconds (~1.6e18) and text or other
// objects either fail late or are coerced. Booleans count as numbers (0/1 flags).
inline void require_numeric_columns(py::handle frame, py::handle columns, const char *what) {
  py::object types = libs().pd.attr("api").attr("types");
  py::object is_numeric = types.attr("is_numeric_dtype");
  py::object is_complex = types.attr("is_complex_dtype");
  py::list dtypes(frame.attr("__getitem__")(columns).attr("dtypes"));
  py::list cols(py::reinterpret_borrow<py::object>(columns));
  for (std::size_t k = 0; k < py::len(cols); ++k) {
    py::object dt = dtypes[k];
    if (!is_numeric(dt).cast<bool>() || is_complex(dt).cast<bool>())
      raise(PyExc_TypeError, "feature column " + py::repr(cols[k]).cast<std::string>() + " of " +
                                 what + " has dtype " + py::str(dt).cast<std::string>() +
                                 "; feature columns must be numeric (convert or drop it)");
  }
}

// Feature names must be distinct: selecting a repeated name gives every column of that name, so
// the matrix would be wider than the names counted and the network would fail (or, in predict,
// read the wrong columns) only after training has started.
inline void require_unique_columns(py::handle columns, const char *what) {
  py::set seen;
  py::list repeated;
  for (py::handle c : columns) {
    if (seen.contains(c)) {
      if (!repeated.contains(c)) repeated.append(c);
    } else {
      seen.add(c);
    }
  }
  if (py::len(repeated) > 0)
    raise(PyExc_ValueError, std::string(what) + " has duplicate feature column name(s) " +
                                py::repr(repeated).cast<std::string>() +
                                "; give every feature column its own name");
}

// Every value the network will see must be finite: one NaN or infinity turns the weights into
// NaN within a step. `x` is the (n, F) float32 matrix training uses (a value too large for
// float32 shows up as infinity here); `rows`, when given, marks the rows that take part.
inline void require_finite_features(py::handle x, py::handle columns, const char *what,
                                    py::handle rows = py::none()) {
  py::array_t<float, py::array::c_style> a = py::reinterpret_borrow<py::object>(x);
  if (a.ndim() != 2) return;
  const std::int64_t n = a.shape(0), width = a.shape(1);
  py::array_t<bool, py::array::c_style> use;
  if (!rows.is_none()) use = py::reinterpret_borrow<py::object>(rows);
  std::vector<std::int64_t> bad(static_cast<std::size_t>(width), 0);
  std::int64_t total = 0;
  {
    const float *p = a.data();
    const bool *u = rows.is_none() ? nullptr : use.data();
    py::gil_scoped_release nogil;
    for (std::int64_t i = 0; i < n; ++i) {
      if (u && !u[i]) continue;
      const float *row = p + i * width;
      for (std::int64_t k = 0; k < width; ++k)
        if (!std::isfinite(row[k])) ++bad[static_cast<std::size_t>(k)];
    }
    for (std::int64_t c : bad) total += c;
  }
  if (total == 0) return;
  std::size_t first = 0;
  while (bad[first] == 0) ++first;
  py::list cols(py::reinterpret_borrow<py::object>(columns));
  raise(PyExc_ValueError,
        std::string(what) + " has " + std::to_string(total) +
            " non-finite feature value(s) (NaN or infinity as float32); the first column with "
            "any is " + py::repr(cols[first]).cast<std::string>() + ", with " +
            std::to_string(bad[first]) + "; fill or drop them before fit");
}

// NaN labels are skipped by the loss, but an infinite one enters it: the loss, then every weight,
// becomes NaN within a step. In the validation split it would turn the scores that read it into
// NaN after every epoch had trained. One rule for every trainer and both splits: none is
// accepted (counted as float32, as training sees the labels).
inline void require_no_infinite_labels(py::handle labels, const char *what) {
  Libs &L = libs();
  py::object a = L.np.attr("asarray")(labels, "dtype"_a = L.np_float32);
  const long long n = L.np.attr("isinf")(a).attr("sum")().cast<long long>();
  if (n > 0)
    raise(PyExc_ValueError, std::string(what) + " has " + std::to_string(n) +
                                " infinite label(s) (as float32); NaN labels are skipped, "
                                "infinite ones are refused in both splits (they would turn the "
                                "weights or the validation scores into NaN)");
}

// ---------------------------------------------------------------------------------------------
// Training state

// The number of feature columns the last fit trained on, kept on the trainer; predict refuses
// any other width (a different T would be scored silently otherwise).
inline constexpr const char *kFitWidthAttr = "_fit_width";

inline void set_fit_width(py::handle self, long long width) {
  py::setattr(self, kFitWidthAttr, py::int_(width));
}

// The network's weights, the optimiser's state and the fitted width as they were when fit
// began, put back when training ends without a usable result (no finite validation score), so a
// bad run cannot leave NaN weights or NaN optimiser moments behind.
class TrainingSnapshot {
 public:
  // `self` is the trainer: its network `model_attr` and its `train_optimizer`.
  TrainingSnapshot(py::handle self, const char *model_attr)
      : self_(py::reinterpret_borrow<py::object>(self)),
        model_(self.attr(model_attr)),
        optimizer_(self.attr("train_optimizer")),
        width_(py::getattr(self, kFitWidthAttr, py::none())) {
    py::object deepcopy = libs().copy.attr("deepcopy");
    weights_ = deepcopy(model_.attr("state_dict")());
    optimizer_state_ = deepcopy(optimizer_.attr("state_dict")());
  }
  void restore() const {
    model_.attr("load_state_dict")(weights_);
    optimizer_.attr("load_state_dict")(optimizer_state_);
    py::setattr(self_, kFitWidthAttr, width_);
  }

 private:
  py::object self_, model_, optimizer_, width_, weights_, optimizer_state_;
};

inline void require_fitted_width(py::handle self, long long width, const char *what) {
  if (!py::hasattr(self, kFitWidthAttr)) return;
  py::object fitted = self.attr(kFitWidthAttr);
  if (fitted.is_none()) return;
  const long long expected = fitted.cast<long long>();
  if (width != expected)
    raise(PyExc_ValueError, std::string(what) + " has " + std::to_string(width) +
                                " feature columns, but the model was fitted on " +
                                std::to_string(expected));
}

// Rows of the days that have at least one known label (the days ADD trains and scores on).
inline py::object labelled_day_rows(py::handle df) {
  return df[py::str("label")].attr("notna")().attr("groupby")("level"_a = 0, "sort"_a = false)
      .attr("transform")("any").attr("to_numpy")("dtype"_a = "bool");
}

// ---------------------------------------------------------------------------------------------
// Day index of the ADD frames

// The trading day must be the first index level. A level named "datetime" elsewhere means the
// frame is indexed the other way round (instrument first), which would silently turn every
// instrument into a "day". With `name_required`, the first level must also carry that name
// (the regime labels group by it).
inline void require_day_level(py::handle obj, const char *what, bool name_required) {
  py::list names(obj.attr("index").attr("names"));
  py::str day("datetime");
  const std::size_t n = py::len(names);
  for (std::size_t k = 1; k < n; ++k)
    if (py::object(names[k]).equal(day))
      raise(PyExc_ValueError,
            std::string(what) + " holds its trading days in index level " + std::to_string(k) +
                " (named \"datetime\"), but they must be the first level; reorder it, e.g. "
                "with .swaplevel(0, " + std::to_string(k) + ").sort_index()");
  if (name_required && !(n > 0 && py::object(names[0]).equal(day)))
    raise(PyExc_ValueError,
          std::string(what) + " needs the trading day as the first index level, named "
                              "\"datetime\" (then the instrument); its index levels are named " +
              py::repr(names).cast<std::string>());
}

}  // namespace alphaloom
