// Market regimes of the ADD trainer: thresholds from the daily mean labels of the training split,
// the regime class of each row's day, and the removal of days that have no class.
#pragma once

#include "common/pyglue.hpp"

namespace dualstream {
namespace py = pybind11;

py::object fit_thresh(py::object self, py::object train_label);
py::object gen_market_label(py::object self, py::object df, py::object raw_label);

// Rows of days that have no regime class (every label missing) carry no training target of any
// kind: they are left out of the split `df` (which holds "market_return"), with a note; the
// classes become int64.
py::object drop_unlabelled_days(py::handle self, py::object df, const char *what);

}  // namespace dualstream
