// The rules user arguments are read by, one per kind of value, each with its one message form.
#pragma once

#include <cstdint>

#include "common/pyglue.hpp"

namespace factorsearch {
namespace py = pybind11;

// A count given as any whole number (int, NumPy integer, 30.0); ValueError below `minimum`.
std::int64_t whole_number(py::handle value, const char *name, std::int64_t minimum);

// A switch given as True/False, a NumPy bool or the integer 0 or 1; TypeError naming `name` for
// anything else (text such as "no" is true to Python, so it is not read by truthiness).
bool switch_value(py::handle value, const char *name);

// A correlation bound in (0, 1], finite; None (when `none_allowed`) for no bound, read as NaN.
double correlation_bound(py::handle value, const char *name, bool none_allowed);

// Any non-negative integer, however wide: a drawn seed has 128 bits and must replay exactly.
// None draws a fresh one.
py::object seed_of(py::handle seed);

}  // namespace factorsearch
