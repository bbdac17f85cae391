// The (day, instrument) index of the ADD frames: the trading day must be the first level, and
// the days with a known label are the ones ADD trains and scores on.
#pragma once

#include <string>

#include "common/pyglue.hpp"

namespace dualstream {
namespace py = pybind11;
using namespace pybind11::literals;

// Rows of the days that have at least one known label (the days ADD trains and scores on).
inline py::object labelled_day_rows(py::handle df) {
  return df[py::str("label")].attr("notna")().attr("groupby")("level"_a = 0, "sort"_a = false)
      .attr("transform")("any").attr("to_numpy")("dtype"_a = "bool");
}

// The trading day must be the first index level. A level named "datetime" elsewhere means the
// frame is indexed the other way round (instrument first), which would silently turn every
// instrument into a "day". With `name_required`, the first level must also carry that name
// (the regime labels group by it).
inline void require_day_level(py::handle obj, const char *what, bool name_required) {
  py::list names(obj.attr("index").attr("names"));
  py::str day("datetime");
  const std::size_t n = py::len(names);
  for (std::size_t k = 1; k < n; ++k)
    if (py::object(names[k]).equal(day))
      alphaloom::raise(PyExc_ValueError,
            std::string(what) + " holds its trading days in index level " + std::to_string(k) +
                " (named \"datetime\"), but they must be the first level; reorder it, e.g. "
                "with .swaplevel(0, " + std::to_string(k) + ").sort_index()");
  if (name_required && !(n > 0 && py::object(names[0]).equal(day)))
    alphaloom::raise(PyExc_ValueError,
          std::string(what) + " needs the trading day as the first index level, named "
                              "\"datetime\" (then the instrument); its index levels are named " +
              py::repr(names).cast<std::string>());
}

}  // namespace dualstream
