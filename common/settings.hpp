// Settings no run can work with, refused once, before a constructor prints or stores anything
// (and again by the loops that read them, since the attributes stay writable). Only numbers are
// judged: other values are stored as given and fail, if at all, where they are used.
#pragma once

#include <cmath>
#include <initializer_list>
#include <optional>
#include <string>

#include "common/pyglue.hpp"

namespace alphaloom {

enum class Rule {
  AtLeastOne,   // sizes and counts of rows, features, layers
  NonNegative,  // epoch counts (0 runs no epoch)
  Rate,         // learning rates: finite and >= 0 (0 keeps the weights)
  Probability,  // dropouts: within [0, 1]
};

struct Setting {
  const char *name;
  py::handle value;
  Rule rule;
};

// The value as a double when it is a number (ints, floats, NumPy scalars, one-element tensors);
// nothing for text, None and other objects.
inline std::optional<double> number_of(py::handle value) {
  if (value.is_none() || PyUnicode_Check(value.ptr()) || !PyNumber_Check(value.ptr()))
    return std::nullopt;
  double v = PyFloat_AsDouble(value.ptr());
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return v;
}

inline bool setting_ok(double v, Rule rule) {
  switch (rule) {
    case Rule::AtLeastOne: return v >= 1.0;  // also false for NaN
    case Rule::NonNegative: return v >= 0.0;
    case Rule::Rate: return std::isfinite(v) && v >= 0.0;
    case Rule::Probability: return v >= 0.0 && v <= 1.0;
  }
  return true;
}

inline const char *expected_text(Rule rule) {
  switch (rule) {
    case Rule::AtLeastOne: return "expected at least 1";
    case Rule::NonNegative: return "expected at least 0";
    case Rule::Rate: return "expected a finite number >= 0";
    case Rule::Probability: return "expected a probability between 0 and 1";
  }
  return "";
}

// ValueError "Invalid batch_size: 0 (expected at least 1)" for the first refused setting.
inline void check_settings(std::initializer_list<Setting> settings) {
  for (const Setting &s : settings) {
    std::optional<double> v = number_of(s.value);
    if (v && !setting_ok(*v, s.rule))
      raise(PyExc_ValueError, std::string("Invalid ") + s.name + ": " +
                                  py::str(s.value).cast<std::string>() + " (" +
                                  expected_text(s.rule) + ")");
  }
}

// The loop settings as the loops read them, checked at the point of use: a batch size below 1
// would never advance a batch loop.
inline long long batch_size_of(py::handle self) {
  py::object bs = self.attr("batch_size");
  check_settings({{"batch_size", bs, Rule::AtLeastOne}});
  return py::int_(bs).cast<long long>();
}

inline long long n_epochs_of(py::handle self) {
  py::object n = self.attr("n_epochs");
  check_settings({{"n_epochs", n, Rule::NonNegative}});
  return py::int_(n).cast<long long>();
}

// What fit reads from the object, checked before fit prints or changes anything.
inline void check_fit_settings(py::handle self) {
  batch_size_of(self);
  n_epochs_of(self);
}

}  // namespace alphaloom
