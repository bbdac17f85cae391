#include "factorsearch/faces/validity.hpp"

#include <algorithm>
#include <set>
#include <vector>

#include "factorsearch/backtest/sharpe_inference.hpp"
#include "factorsearch/faces/factor_text.hpp"
#include "factorsearch/search/drivers.hpp"
#include "factorsearch/backtest/selection_checks.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

using Matrix = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Vector = py::array_t<double, py::array::c_style | py::array::forcecast>;

Matrix row_major(py::handle frame) {
  py::module_ np = py::module_::import("numpy");
  return Matrix(frame.attr("to_numpy")("dtype"_a = np.attr("float64"), "na_value"_a = np.attr("nan")));
}

// A 1-D float64 array of a sequence of numbers; `what` names it in the error.
Vector numbers(py::handle values, const char *what) {
  py::module_ np = py::module_::import("numpy");
  py::object arr;
  try {
    arr = np.attr("asarray")(values, "dtype"_a = np.attr("float64"));
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
    raise(PyExc_TypeError, format("{} must be a sequence of numbers, got {}", py::str(what),
                                  py::str(type_name(values))));
  }
  if (arr.attr("ndim").cast<int>() != 1)
    raise(PyExc_ValueError, format("{} must be one-dimensional, got shape {}", py::str(what),
                                   arr.attr("shape")));
  return Vector(arr);
}

}  // namespace

py::object lookahead_frame(py::handle mod, py::object self, py::handle formula, py::handle data1,
                           py::handle zz500, std::int64_t k) {
  py::module_ pd = py::module_::import("pandas");
  if (!py::isinstance(data1, pd.attr("DataFrame")))
    raise(PyExc_TypeError, "data1 must be a DataFrame, got " + type_name(data1));
  const std::size_t n = py::len(data1);
  if (n < 2)
    raise(PyExc_ValueError, format("a look-ahead check needs at least 2 dates, data1 has {}", n));
  py::object full_frame = factor_frame(mod, self, formula, data1, zz500);
  Matrix full = row_major(full_frame);
  const std::size_t m = py::len(full_frame.attr("columns"));
  py::object dates = full_frame.attr("index");

  // Cut positions spread evenly over the second half, from the middle to the last date.
  std::set<std::size_t> positions;
  const std::size_t half = n / 2;
  for (std::int64_t c = 0; c < k; ++c) {
    const std::size_t span = n - 1 - half;
    const std::size_t off =
        k == 1 ? 0 : static_cast<std::size_t>(
                         (static_cast<double>(span) * static_cast<double>(c)) /
                             static_cast<double>(k - 1) + 0.5);
    positions.insert(std::max<std::size_t>(1, half + off));
  }

  py::list cut_dates, compared, changed, first_changed;
  py::object nat = pd.attr("NaT");
  for (std::size_t p : positions) {
    py::object head = data1.attr("iloc")[py::slice(0, static_cast<py::ssize_t>(p), 1)];
    Matrix part = row_major(factor_frame(mod, self, formula, head, zz500));
    PrefixDiff d;
    {
      py::gil_scoped_release nogil;
      d = compare_prefix({full.data(), n * m}, {part.data(), p * m}, p, m);
    }
    cut_dates.append(dates[py::int_(p)]);
    compared.append(d.compared);
    changed.append(d.changed);
    first_changed.append(d.first_changed_row < 0 ? nat : py::object(dates[py::int_(d.first_changed_row)]));
  }
  py::dict columns;
  columns["cut"] = pd.attr("Index")(cut_dates);
  columns["compared"] = py::module_::import("numpy").attr("array")(compared, "dtype"_a = "int64");
  columns["changed"] = py::module_::import("numpy").attr("array")(changed, "dtype"_a = "int64");
  columns["first_changed"] = pd.attr("Index")(first_changed);
  return pd.attr("DataFrame")(columns);
}


double deflated_sharpe_of(py::handle returns, py::handle trial_sharpes) {
  Vector r = numbers(returns, "returns");
  Vector trials = numbers(trial_sharpes, "trial_sharpes");
  const auto n = static_cast<std::size_t>(r.shape(0));
  const auto nt = static_cast<std::size_t>(trials.shape(0));
  const SharpeMoments mom = sharpe_moments({r.data(), n});
  return alphaloom::deflated_sharpe(mom, {trials.data(), nt});
}

}  // namespace factorsearch
