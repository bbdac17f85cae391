#include "factorsearch/expr/panel_assembly.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

using Panel = py::array_t<double, py::array::f_style>;

// Series on data1's dates, or arrays of one value per date: each result is one column as it is.
bool aligned(const std::vector<py::object> &results, const Market &market, bool &series) {
  py::object series_type = py::module_::import("pandas").attr("Series");
  bool all_series = true, all_arrays = true;
  for (const py::object &r : results) {
    if (all_series) {
      all_series = py::isinstance(r, series_type);
      if (all_series) {
        py::object idx = r.attr("index");
        all_series = idx.is(market.index) ||
                     (market.unique_index && idx.attr("equals")(market.index).cast<bool>());
      }
    }
    if (all_arrays) {
      all_arrays = py::isinstance<py::array>(r);
      if (all_arrays) {
        auto a = py::reinterpret_borrow<py::array>(r);
        all_arrays = a.ndim() == 1 && static_cast<std::size_t>(a.shape(0)) == market.n_dates;
      }
    }
    if (!all_series && !all_arrays) return false;
  }
  series = all_series;
  return true;
}

Panel stack_columns(const std::vector<py::object> &results, const Market &market, bool series) {
  const std::size_t n = market.n_dates, m = results.size();
  py::module_ np = py::module_::import("numpy");
  Panel panel({n, m});
  double *out = panel.mutable_data();
  using Values = py::array_t<double, py::array::forcecast>;
  for (std::size_t j = 0; j < m; ++j) {
    py::object col = results[j];
    if (series) {
      col = results[j].attr("to_numpy")();
      if (!py::reinterpret_borrow<py::array>(col).dtype().equal(py::dtype::of<double>()))
        col = results[j].attr("to_numpy")("dtype"_a = np.attr("float64"),
                                          "na_value"_a = np.attr("nan"));
    }
    Values v(col);
    if (v.ndim() != 1 || static_cast<std::size_t>(v.shape(0)) != n)
      raise(PyExc_ValueError, "an operator result does not hold one value per date");
    auto u = v.unchecked<1>();
    for (std::size_t t = 0; t < n; ++t) out[j * n + t] = u(static_cast<py::ssize_t>(t));
  }
  return panel;
}

// Anything else goes through the frame a stock-by-date table would make: rows aligned on their
// own labels, relabelled with the codes, transposed, re-dated.
Panel through_frame(const std::vector<py::object> &results, const Market &market) {
  py::module_ np = py::module_::import("numpy");
  py::module_ pd = py::module_::import("pandas");
  py::list as_list;
  for (const py::object &r : results) as_list.append(r);
  py::object frame = pd.attr("DataFrame")(as_list);
  frame.attr("index") = market.codes;
  frame = frame.attr("T");
  frame.attr("index") = market.index;
  py::array v = frame.attr("to_numpy")("dtype"_a = np.attr("float64"), "na_value"_a = np.attr("nan"));
  if (v.ndim() != 2 || static_cast<std::size_t>(v.shape(0)) != market.n_dates ||
      static_cast<std::size_t>(v.shape(1)) != results.size())
    raise(PyExc_ValueError,
          "the factor panel does not have one row per date and one column per stock");
  return Panel(np.attr("asfortranarray")(v));
}

}  // namespace

Panel stack_results(const std::vector<py::object> &results, const Market &market) {
  bool series = false;
  if (aligned(results, market, series)) return stack_columns(results, market, series);
  return through_frame(results, market);
}

}  // namespace factorsearch
