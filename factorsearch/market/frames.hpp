// Small conversions between pandas frames and plain numbers, shared by the Python faces of the
// report and the long-table reader.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include <pybind11/numpy.h>

#include "common/pyglue.hpp"

namespace factorsearch {
namespace py = pybind11;

using Matrix = py::array_t<double, py::array::c_style | py::array::forcecast>;

inline py::module_ pandas() { return py::module_::import("pandas"); }
inline py::module_ numpy() { return py::module_::import("numpy"); }

inline py::array_t<double> to_array(const std::vector<double> &v) {
  py::array_t<double> out(static_cast<py::ssize_t>(v.size()));
  std::copy(v.begin(), v.end(), out.mutable_data());
  return out;
}

// A number dtype; booleans are not numbers here.
inline bool numeric_dtype(py::handle dtype) {
  py::object types = pandas().attr("api").attr("types");
  return types.attr("is_numeric_dtype")(dtype).cast<bool>() &&
         !types.attr("is_bool_dtype")(dtype).cast<bool>();
}

// The frame's columns whose dtype is not a number, as a list (empty when all are).
inline py::list non_numeric_columns(py::handle frame) {
  py::list bad;
  py::object dtypes = frame.attr("dtypes");
  bool all_numeric = true;  // one check per distinct dtype, not per column
  for (py::handle dtype : py::set(dtypes)) all_numeric = all_numeric && numeric_dtype(dtype);
  if (all_numeric) return bad;
  py::object items = dtypes.attr("items")();
  for (py::handle item : items) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
    if (!numeric_dtype(pair[1])) bad.append(pair[0]);
  }
  return bad;
}

// A frame or series as float64 values, missing values as NaN.
inline Matrix float_values(py::handle frame) {
  py::module_ np = numpy();
  return Matrix(frame.attr("to_numpy")(py::arg("dtype") = np.attr("float64"),
                                       py::arg("na_value") = np.attr("nan")));
}

// Refuses a frame with repeated dates or columns: aligning on them is ambiguous (pandas refuses
// it with a message about axes).
inline void refuse_repeated_labels(py::handle frame, const char *name) {
  for (const char *axis : {"index", "columns"}) {
    py::object labels = frame.attr(axis);
    if (!labels.attr("is_unique").cast<bool>())
      alphaloom::raise(PyExc_ValueError,
                       alphaloom::format("{} has duplicate {}: {!r}", py::str(name),
                                         py::str(std::string(axis) == "index" ? "dates" : "columns"),
                                         py::list(labels[labels.attr("duplicated")()])));
  }
}

// Refuses `codes` that `prices` has no column for, naming them all.
inline void require_price_columns(py::handle prices, py::handle codes) {
  py::object columns = prices.attr("columns");
  py::list missing;
  for (py::handle code : codes)
    if (!columns.contains(code)) missing.append(code);
  if (py::len(missing) > 0)
    alphaloom::raise(PyExc_KeyError,
                     alphaloom::format("price1 has no column for stock(s) {!r}", missing));
}

}  // namespace factorsearch
