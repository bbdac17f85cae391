// Dates as users give them (anything pd.Timestamp takes), read in one place.
#pragma once

#include "common/pyglue.hpp"

namespace factorsearch {
namespace py = pybind11;

// `value` as a pd.Timestamp, or a null object when it is not a date (NaT included).
py::object read_timestamp(py::handle value);

// `value` as a key of the date index `index`: on a DatetimeIndex anything pd.Timestamp takes
// (localised to the index's zone when it has one and the value has none), else the value itself.
// ValueError naming `what` for a value that is not a date.
py::object date_key(py::handle index, py::handle value, const char *what);

// `value` as a pd.Timestamp; ValueError "<name> must be a date, got ..." otherwise.
py::object timestamp(py::handle value, const char *name);

}  // namespace factorsearch
