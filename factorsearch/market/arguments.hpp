// The rules user arguments are read by, one per kind of value, each with its one message form.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "common/pyglue.hpp"

namespace factorsearch {
namespace py = pybind11;

// A count given as any whole number (int, NumPy integer, 30.0); ValueError below `minimum`.
std::int64_t whole_number(py::handle value, const char *name, std::int64_t minimum);

// A switch given as True/False, a NumPy bool or the integer 0 or 1; TypeError naming `name` for
// anything else (text such as "no" is true to Python, so it is not read by truthiness).
bool switch_value(py::handle value, const char *name);

// A correlation bound: None (no bound, read as NaN) or a number in (0, 1] (not a bool).
double correlation_bound(py::handle value, const char *name);

// Any non-negative integer, however wide: a drawn seed has 128 bits and must replay exactly.
// None draws a fresh one.
py::object seed_of(py::handle seed);

// A probability in [0, 1] (not a bool); ValueError naming `name`.
double probability(py::handle value, const char *name);

// ---------------------------------------------------------------------------------------------
// The argument table: every parameter of an entry point written once, with its rule. The
// signature text, the binding and the checks come from it, and every refusal reads
// "<name> must be <what the rule asks>, got <the value>".

enum class Rule {
  Any,          // taken as given; the driver judges it
  Whole,        // a whole number within [minimum, maximum] (whole_number)
  Switch,       // True/False, a NumPy bool, 0 or 1 (switch_value)
  Seed,         // None (a fresh seed is drawn) or a whole number >= 0 (seed_of)
  Probability,  // a number in [0, 1]
  Progress,     // True, False or None
  Correlation,  // None or a number in (0, 1] (correlation_bound); NaN for None
};

struct Param {
  const char *name;
  const char *default_text = nullptr;  // a Python literal; nullptr for a required parameter
  Rule rule = Rule::Any;
  std::int64_t minimum = 0;
  std::int64_t maximum = std::numeric_limits<std::int64_t>::max();
  bool keyword_only = false;
};

// One call's arguments, bound to the table as Python binds them (defaults applied) and checked by
// their rules in table order before the entry point does anything.
class Args {
 public:
  Args(std::span<const Param> params, py::handle bound);
  // The value as given (or its default).
  py::object operator[](const char *name) const { return raw_[index(name)]; }
  // The value as its rule read it.
  std::int64_t whole(const char *name) const { return checked_[index(name)].cast<std::int64_t>(); }
  bool flag(const char *name) const { return checked_[index(name)].cast<bool>(); }
  double number(const char *name) const { return checked_[index(name)].cast<double>(); }
  py::object seed(const char *name) const { return checked_[index(name)]; }

 private:
  std::size_t index(const char *name) const;
  std::span<const Param> params_;
  std::vector<py::object> raw_, checked_;
};

// "name(self, a, b=1, *, c=None)": the text signature of a table (with `self` for a method).
std::string signature_text(const char *name, std::span<const Param> params, bool method);
// The table's inspect.Signature, for binding calls.
py::object signature_of(std::span<const Param> params, bool method);

}  // namespace factorsearch
