#include "factorsearch/market/dates.hpp"

namespace factorsearch {
using namespace alphaloom;

py::object read_timestamp(py::handle value) {
  py::module_ pd = py::module_::import("pandas");
  py::object ts;
  try {
    ts = pd.attr("Timestamp")(value);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
    return py::object();
  }
  if (ts.is_none() || pd.attr("isna")(ts).cast<bool>()) return py::object();
  return ts;
}

py::object date_key(py::handle index, py::handle value, const char *what) {
  py::module_ pd = py::module_::import("pandas");
  if (!py::isinstance(index, pd.attr("DatetimeIndex"))) return py::reinterpret_borrow<py::object>(value);
  py::object when = read_timestamp(value);
  if (!when) raise(PyExc_ValueError, format("{} {!r} is not a date", py::str(what), value));
  if (!py::getattr(index, "tz", py::none()).is_none() && when.attr("tzinfo").is_none())
    when = when.attr("tz_localize")(index.attr("tz"));
  return when;
}

py::object timestamp(py::handle value, const char *name) {
  py::object ts = read_timestamp(value);
  if (!ts) raise(PyExc_ValueError, format("{} must be a date, got {!r}", py::str(name), value));
  return ts;
}

}  // namespace factorsearch
