// Feature columns and labels checked before any work: distinct names, numbers only, finite
// values, no infinite label. Each refusal names the split and the first offending column.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <pybind11/numpy.h>

#include "common/libs.hpp"
#include "common/pyglue.hpp"

namespace alphaloom {

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

}  // namespace alphaloom
