#include "factorsearch/market/arguments.hpp"

namespace factorsearch {
using namespace alphaloom;

// Anything but a whole number would make every attempt fail or the loop never meet its target.
std::int64_t whole_number(py::handle value, const char *name, std::int64_t minimum) {
  std::optional<std::int64_t> n;
  if (!PyBool_Check(value.ptr())) {
    if (PyObject *i = PyNumber_Index(value.ptr())) {
      auto owned = py::reinterpret_steal<py::object>(i);
      int overflow = 0;
      long long v = PyLong_AsLongLongAndOverflow(owned.ptr(), &overflow);
      // Beyond 64 bits a count means "no limit" (or is negative, and refused below).
      n = overflow > 0 ? std::numeric_limits<std::int64_t>::max()
                       : overflow < 0 ? std::numeric_limits<std::int64_t>::min() : v;
    } else {
      PyErr_Clear();
      if (PyFloat_Check(value.ptr())) {
        double d = PyFloat_AsDouble(value.ptr());
        if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9.0e15)
          n = static_cast<std::int64_t>(d);
      }
    }
  }
  if (!n || *n < minimum)
    raise(PyExc_ValueError,
          format("{} must be a whole number >= {}, got {!r}", name, minimum, value));
  return *n;
}

bool switch_value(py::handle value, const char *name) {
  if (PyBool_Check(value.ptr())) return value.ptr() == Py_True;
  if (py::isinstance(value, py::module_::import("numpy").attr("bool_")))
    return PyObject_IsTrue(value.ptr()) == 1;
  if (PyLong_Check(value.ptr())) {
    auto v = py::reinterpret_borrow<py::int_>(value);
    if (v.equal(py::int_(1))) return true;
    if (v.equal(py::int_(0))) return false;
  }
  raise(PyExc_TypeError, format("{} must be True or False, got {!r}", name, value));
}

double correlation_bound(py::handle value, const char *name, bool none_allowed) {
  if (none_allowed && value.is_none()) return std::numeric_limits<double>::quiet_NaN();
  double v = std::numeric_limits<double>::quiet_NaN();
  if (!PyBool_Check(value.ptr()) && PyNumber_Check(value.ptr())) {
    v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      v = std::numeric_limits<double>::quiet_NaN();
    }
  }
  if (!(v > 0.0 && v <= 1.0))
    raise(PyExc_ValueError, format("{} must be a number in (0, 1]{}, got {!r}", name,
                                   none_allowed ? " or None" : "", value));
  return v;
}

// Any non-negative integer, however wide: a drawn seed has 128 bits and must replay exactly.
py::object seed_of(py::handle seed) {
  if (seed.is_none())
    return py::module_::import("numpy").attr("random").attr("SeedSequence")().attr("entropy");
  PyObject *i = PyBool_Check(seed.ptr()) ? nullptr : PyNumber_Index(seed.ptr());
  if (!i) {
    PyErr_Clear();
    raise(PyExc_ValueError, format("seed must be None or a whole number >= 0, got {!r}", seed));
  }
  auto value = py::reinterpret_steal<py::object>(i);
  if (value < py::int_(0))
    raise(PyExc_ValueError, format("seed must be None or a whole number >= 0, got {!r}", seed));
  return value;
}

}  // namespace factorsearch
