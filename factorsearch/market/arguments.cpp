#include "factorsearch/market/arguments.hpp"

#include <cmath>
#include <optional>

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

double correlation_bound(py::handle value, const char *name) {
  if (value.is_none()) return std::numeric_limits<double>::quiet_NaN();
  double v = std::numeric_limits<double>::quiet_NaN();
  if (!PyBool_Check(value.ptr()) && PyNumber_Check(value.ptr())) {
    v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      v = std::numeric_limits<double>::quiet_NaN();
    }
  }
  if (!(v > 0.0 && v <= 1.0))
    raise(PyExc_ValueError,
          format("{} must be None or a number in (0, 1], got {!r}", name, value));
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

double probability(py::handle value, const char *name) {
  double p = std::numeric_limits<double>::quiet_NaN();
  if (!PyBool_Check(value.ptr())) {
    try {
      p = to_double(value);
    } catch (py::error_already_set &) {
      p = std::numeric_limits<double>::quiet_NaN();
    }
  }
  if (!(p >= 0.0 && p <= 1.0))
    raise(PyExc_ValueError, format("{} must be a probability in [0, 1], got {!r}", name, value));
  return p;
}

namespace {

py::object checked(const Param &p, py::handle value) {
  switch (p.rule) {
    case Rule::Any:
      return py::reinterpret_borrow<py::object>(value);
    case Rule::Whole: {
      const std::int64_t n = whole_number(value, p.name, p.minimum);
      if (n > p.maximum)
        raise(PyExc_ValueError, format("{} must be at most {}, got {!r}", p.name, p.maximum, value));
      return py::int_(n);
    }
    case Rule::Switch:
      return py::bool_(switch_value(value, p.name));
    case Rule::Seed:
      return seed_of(value);
    case Rule::Probability:
      return py::float_(probability(value, p.name));
    case Rule::Correlation:
      return py::float_(correlation_bound(value, p.name));
    case Rule::Progress:
      if (!value.is_none() && !PyBool_Check(value.ptr()))
        raise(PyExc_ValueError, format("{} must be True, False or None, got {!r}", p.name, value));
      return py::reinterpret_borrow<py::object>(value);
  }
  return py::reinterpret_borrow<py::object>(value);
}

}  // namespace

Args::Args(std::span<const Param> params, py::handle bound) : params_(params) {
  for (const Param &p : params_) {
    raw_.push_back(bound[py::str(p.name)]);
    checked_.push_back(checked(p, raw_.back()));
  }
}

std::size_t Args::index(const char *name) const {
  for (std::size_t k = 0; k < params_.size(); ++k)
    if (std::string_view(params_[k].name) == name) return k;
  throw std::logic_error(std::string("no parameter ") + name + " in the argument table");
}

std::string signature_text(const char *name, std::span<const Param> params, bool method) {
  std::string text = std::string(name) + "(";
  bool first = true, keyword_only = false;
  auto sep = [&] {
    if (!first) text += ", ";
    first = false;
  };
  if (method) {
    sep();
    text += "self";
  }
  for (const Param &p : params) {
    if (p.keyword_only && !keyword_only) {
      sep();
      text += "*";
      keyword_only = true;
    }
    sep();
    text += p.name;
    if (p.default_text) text += std::string("=") + p.default_text;
  }
  return text + ")";
}

py::object signature_of(std::span<const Param> params, bool method) {
  py::module_ inspect = py::module_::import("inspect");
  py::object literal = py::module_::import("ast").attr("literal_eval");
  py::object parameter = inspect.attr("Parameter");
  py::list out;
  if (method) out.append(parameter("self", parameter.attr("POSITIONAL_OR_KEYWORD")));
  for (const Param &p : params) {
    py::object kind = parameter.attr(p.keyword_only ? "KEYWORD_ONLY" : "POSITIONAL_OR_KEYWORD");
    if (p.default_text)
      out.append(parameter(p.name, kind, "default"_a = literal(p.default_text)));
    else
      out.append(parameter(p.name, kind));
  }
  return inspect.attr("Signature")(out);
}

}  // namespace factorsearch
