// Settings no run can work with, refused once, before a constructor prints or stores anything
// (and again by the loops that read them, since the attributes stay writable). Only numbers are
// judged: other values are stored as given and fail, if at all, where they are used.
//
// A trainer's constructor arguments are one table (Param rows) from which its signature text,
// its binding, its checks and its stored attributes are all produced.
#pragma once

#include <cmath>
#include <cstddef>
#include <initializer_list>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/pyglue.hpp"

namespace alphaloom {

enum class Rule {
  Any,          // no value is refused
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
    case Rule::Any: return true;
    case Rule::AtLeastOne: return v >= 1.0;  // also false for NaN
    case Rule::NonNegative: return v >= 0.0;
    case Rule::Rate: return std::isfinite(v) && v >= 0.0;
    case Rule::Probability: return v >= 0.0 && v <= 1.0;
  }
  return true;
}

inline const char *expected_text(Rule rule) {
  switch (rule) {
    case Rule::Any: return "";
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

// A setting read as a whole number (int() of it, as before), with a message naming it instead of
// the converter's: "Unable to cast Python instance of type <class 'int'> ..." for one beyond 64
// bits, "int() argument must be ..." for None. A value int() refuses keeps its exception type.
inline long long whole_setting(py::handle value, const char *name) {
  const std::string head = std::string("Invalid ") + name + ": ";
  PyObject *as_int = PyNumber_Long(value.ptr());
  if (!as_int) {
    py::error_already_set e;
    PyObject *type = e.matches(PyExc_TypeError) ? PyExc_TypeError : PyExc_ValueError;
    py::raise_from(e, type, (head + py::repr(value).cast<std::string>() +
                             " (expected a whole number)").c_str());
    throw py::error_already_set();
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(as_int, &overflow);
  Py_DECREF(as_int);
  if (overflow)
    raise(PyExc_ValueError, head + py::str(value).cast<std::string>() + " (expected at most " +
                                std::to_string(std::numeric_limits<long long>::max()) + ")");
  return v;
}

// The loop settings as the loops read them, checked at the point of use: a batch size below 1
// would never advance a batch loop.
inline long long batch_size_of(py::handle self) {
  py::object bs = self.attr("batch_size");
  check_settings({{"batch_size", bs, Rule::AtLeastOne}});
  return whole_setting(bs, "batch_size");
}

inline long long n_epochs_of(py::handle self) {
  py::object n = self.attr("n_epochs");
  check_settings({{"n_epochs", n, Rule::NonNegative}});
  return whole_setting(n, "n_epochs");
}

inline long long early_stop_of(py::handle self) {
  return whole_setting(self.attr("early_stop"), "early_stop");
}

// What fit reads from the object, checked before fit prints or changes anything.
inline void check_fit_settings(py::handle self) {
  batch_size_of(self);
  n_epochs_of(self);
  early_stop_of(self);
}

// ---------------------------------------------------------------------------------------------
// Constructor settings tables

// A documented default, written as the Python literal the signature shows.
struct NoneDefault {};
inline constexpr NoneDefault kNone{};

struct Default {
  enum class Kind { Int, Float, Text, Bool, None };
  Kind kind;
  long long integer = 0;
  double real = 0.0;
  const char *text = "";
  constexpr Default(int v) : kind(Kind::Int), integer(v) {}
  constexpr Default(double v) : kind(Kind::Float), real(v) {}
  constexpr Default(const char *v) : kind(Kind::Text), text(v) {}
  constexpr Default(bool v) : kind(Kind::Bool), integer(v) {}
  constexpr Default(NoneDefault) : kind(Kind::None) {}

  py::object object() const {
    switch (kind) {
      case Kind::Int: return py::int_(integer);
      case Kind::Float: return py::float_(real);
      case Kind::Text: return py::str(text);
      case Kind::Bool: return py::bool_(integer != 0);
      case Kind::None: break;
    }
    return py::none();
  }
};

// What an argument must be, checked (in signature order) before any value rule.
enum class Takes {
  Anything,  // passed on as given
  Int,       // exactly int, refused with the message of a typed integer argument
  Float,     // float(value) (text is a TypeError); the float is what is kept and passed on
};

// How an argument is kept on the object.
enum class Kept {
  No,        // handed to the network only
  AsGiven,   // attribute of the same name
  Lowered,   // attribute of the same name, text lowered (optimizer names)
  AsDevice,  // attribute `device`: the torch device the GPU number picks
};

struct Param {
  const char *name;
  Default value;
  Takes takes;
  Rule rule;
  Kept kept;
  int slot;  // place among the stored attributes (1, 2, ...; 0 if not kept): vars() keeps its order
};

// Names unique, and the kept rows' slots exactly 1..k; checked at compile time by each table.
template <std::size_t N>
constexpr bool well_formed(const Param (&table)[N]) {
  int kept = 0;
  for (std::size_t i = 0; i < N; ++i) {
    if ((table[i].kept == Kept::No) != (table[i].slot == 0)) return false;
    kept += table[i].slot != 0;
    for (std::size_t j = 0; j < i; ++j)
      if (std::string_view(table[i].name) == table[j].name) return false;
  }
  for (int slot = 1; slot <= kept; ++slot) {
    int rows = 0;
    for (std::size_t i = 0; i < N; ++i) rows += table[i].slot == slot;
    if (rows != 1) return false;
  }
  return true;
}

// "init(self, d_feat=6, ..., seed=None, **kwargs)": the defaults as Python writes them.
inline std::string settings_signature(const char *internal_name, std::span<const Param> table,
                                      bool other_keywords) {
  std::string text = std::string(internal_name) + "(self";
  for (const Param &p : table)
    text += std::string(", ") + p.name + "=" + py::repr(p.value.object()).cast<std::string>();
  if (other_keywords) text += ", **kwargs";
  return text + ")";
}

// The arguments of one constructor call, checked on construction: types first, then value
// rules, each in signature order, so a refused call has printed and stored nothing.
class Settings {
 public:
  Settings(std::span<const Param> table, std::vector<py::object> given)
      : table_(table), given_(std::move(given)), values_(given_) {
    for (std::size_t i = 0; i < table_.size(); ++i) values_[i] = taken(table_[i], given_[i]);
    // Rules judge the argument as passed ("Invalid dropout: 2", not "2.0"); an argument
    // without one is never converted to a number.
    for (std::size_t i = 0; i < table_.size(); ++i)
      if (table_[i].rule != Rule::Any)
        check_settings({{table_[i].name, given_[i], table_[i].rule}});
    // The device is judged with the other arguments, before anything is printed.
    for (std::size_t i = 0; i < table_.size(); ++i)
      if (table_[i].kept == Kept::AsDevice) device_ = choose_device(given_[i]);
  }

  // Every argument as it was passed, by name: what a saved model is rebuilt from.
  py::dict as_given() const {
    py::dict d;
    for (std::size_t i = 0; i < table_.size(); ++i) d[py::str(table_[i].name)] = given_[i];
    return d;
  }

  // The value as taken (a Takes::Float argument as its float).
  const py::object &operator[](std::string_view name) const {
    for (std::size_t i = 0; i < table_.size(); ++i)
      if (name == table_[i].name) return values_[i];
    throw std::logic_error("no setting named " + std::string(name));
  }

  // The kept arguments as attributes of `self`, in slot order.
  void keep_on(py::handle self) const {
    for (int slot = 1;; ++slot) {
      std::size_t i = 0;
      while (i < table_.size() && table_[i].slot != slot) ++i;
      if (i == table_.size()) return;
      keep(self, table_[i], values_[i]);
    }
  }

 private:
  static py::object taken(const Param &p, const py::object &value) {
    if (p.takes == Takes::Int) require_exact_int(value, p.name);
    if (p.takes == Takes::Float) return py::float_(float_argument(value, p.name));
    return value;
  }

  void keep(py::handle self, const Param &p, const py::object &value) const {
    switch (p.kept) {
      case Kept::No: return;
      case Kept::AsGiven: py::setattr(self, p.name, value); return;
      case Kept::Lowered: py::setattr(self, p.name, value.attr("lower")()); return;
      case Kept::AsDevice: self.attr("device") = device_; return;
    }
  }

  std::span<const Param> table_;
  std::vector<py::object> given_;
  std::vector<py::object> values_;
  py::object device_;
};

// One UserWarning naming the keywords a constructor ignores, each with the closest name it does
// know when one is close: a misspelt setting would otherwise train with its default unseen.
inline void warn_ignored_keywords(py::handle self, std::span<const Param> table,
                                  const py::kwargs &others) {
  if (py::len(others) == 0) return;
  py::list known;
  for (const Param &p : table) known.append(py::str(p.name));
  py::object close = py::module_::import("difflib").attr("get_close_matches");
  std::string names;
  for (auto kv : others) {
    if (!names.empty()) names += ", ";
    names += py::str(kv.first).cast<std::string>();
    py::list match = close(kv.first, known, "n"_a = 1, "cutoff"_a = 0.6);
    if (py::len(match))
      names += " (did you mean " + py::repr(match[0]).cast<std::string>() + "?)";
  }
  const std::string cls = py::str(py::type::handle_of(self).attr("__name__"));
  const std::string msg = cls + " ignores keyword arguments it does not know: " + names;
  if (PyErr_WarnEx(PyExc_UserWarning, msg.c_str(), 1) < 0) throw py::error_already_set();
}

// What a constructor does with keywords its table does not name.
enum class OtherKeywords { Refused, Ignored };

template <std::size_t>
using ObjectArgument = py::object;

template <OtherKeywords Others, std::size_t N, typename Init, std::size_t... I>
void def_settings_init(py::handle cls, const char *doc, const Param (&table)[N], Init init,
                       std::index_sequence<I...>) {
  const std::string signature = settings_signature("init", table, Others == OtherKeywords::Ignored);
  const Param *rows = table;
  auto run = [rows, init](py::object self, std::vector<py::object> given, const py::kwargs *others) {
    Settings settings(std::span<const Param>(rows, N), std::move(given));
    if (others) warn_ignored_keywords(self, std::span<const Param>(rows, N), *others);
    init(self, settings);
  };
  // The same parameters a hand-written binding would have (N objects with their defaults, then
  // **kwargs when other keywords are ignored), so pybind11's own argument errors read as before.
  if constexpr (Others == OtherKeywords::Ignored)
    def_method(cls, "__init__", signature.c_str(), doc,
               [run](py::object self, ObjectArgument<I>... given, py::kwargs others) {
                 run(self, {std::move(given)...}, &others);
               },
               (py::arg(table[I].name) = table[I].value.object())...);
  else
    def_method(cls, "__init__", signature.c_str(), doc,
               [run](py::object self, ObjectArgument<I>... given) {
                 run(self, {std::move(given)...}, nullptr);
               },
               (py::arg(table[I].name) = table[I].value.object())...);
}

// Binds cls.__init__ from `table`: signature text, parameters and defaults; each call's arguments
// are checked and handed to `init(self, const Settings &)`.
template <OtherKeywords Others, std::size_t N, typename Init>
void def_settings_init(py::handle cls, const char *doc, const Param (&table)[N], Init init) {
  def_settings_init<Others>(cls, doc, table, std::move(init), std::make_index_sequence<N>{});
}

}  // namespace alphaloom
