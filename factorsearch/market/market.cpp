// Input preparation, once per call: the forward-filled fields (one panel per field in the usual
// layout, per-stock series otherwise) and the price matrix.
#include "factorsearch/market/market.hpp"

#include <cmath>
#include <string>

#include <pybind11/numpy.h>

namespace factorsearch {
using namespace alphaloom;

namespace {

// Columns are filled in this order, so a stock lacking several fields reports the first of these.
constexpr std::array<int, 5> kFillOrder{0, 3, 2, 1, 4};  // open, close, low, high, volume

bool pandas_copies_on_write() {
  py::module_ pd = py::module_::import("pandas");
  std::string version = py::str(pd.attr("__version__"));
  if (std::stoi(version.substr(0, version.find('.'))) >= 3) return true;
  py::object option = pd.attr("get_option")("mode.copy_on_write");
  return option.is(py::bool_(true));
}

py::object fill_forward(py::handle frame, py::handle code, const char *field) {
  py::object column;
  try {
    column = frame[py::str(field)];
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_KeyError)) throw;
    py::raise_from(e, PyExc_KeyError,
                   std::string(format("data1[{!r}] has no column {!r}", code, field)).c_str());
    throw py::error_already_set();
  }
  return column.attr("ffill")();
}

// The usual layout, (code, field) float64 columns under a unique two-level header: the values are
// read once and forward-filled straight into one dates x stocks panel per field, holding exactly
// what data1[code][field].ffill() holds. False (nothing done) for any other layout.
// Position of column (code, field) for every code and field, in kFieldNames order per code; empty
// when one is missing. The usual frame holds exactly these columns in this order, which is checked
// directly; any other order asks pandas.
std::vector<std::int64_t> column_positions(py::handle columns, py::handle codes) {
  const std::size_t m = py::len(codes);
  std::vector<std::int64_t> pos(5 * m);
  if (static_cast<std::size_t>(py::len(columns)) == 5 * m) {
    py::list level0(columns.attr("get_level_values")(0)), level1(columns.attr("get_level_values")(1));
    bool in_order = true;
    py::list code_list(py::reinterpret_borrow<py::object>(codes));
    for (std::size_t k = 0; k < 5 * m && in_order; ++k) {
      pos[k] = static_cast<std::int64_t>(k);
      in_order = py::object(level0[k]).equal(code_list[k / 5]) &&
                 py::object(level1[k]).equal(py::str(kFieldNames[k % 5]));
    }
    if (in_order) return pos;
  }
  py::list keys;
  for (py::handle code : codes)
    for (const char *field : kFieldNames) keys.append(py::make_tuple(code, field));
  using Positions = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
  Positions found(columns.attr("get_indexer")(keys));
  for (std::size_t k = 0; k < 5 * m; ++k) {
    if (found.data()[k] < 0) return {};
    pos[k] = found.data()[k];
  }
  return pos;
}

bool prepare_field_panels(py::handle frames, Market &mk) {
  py::module_ pd = py::module_::import("pandas");
  py::module_ np = py::module_::import("numpy");
  py::object columns = frames.attr("columns");
  if (!py::isinstance(columns, pd.attr("MultiIndex")) || columns.attr("nlevels").cast<int>() != 2 ||
      !columns.attr("is_unique").cast<bool>())
    return false;
  const std::size_t m = mk.stocks, n = mk.n_dates;
  std::vector<std::int64_t> pos = column_positions(columns, mk.codes);
  if (pos.size() != 5 * m) return false;
  using Flags = py::array_t<bool, py::array::c_style | py::array::forcecast>;
  Flags is_float(frames.attr("dtypes").attr("__eq__")(np.attr("dtype")("float64")).attr("to_numpy")());
  for (std::int64_t k : pos)
    if (!is_float.data()[k]) return false;
  py::object float64 = np.attr("dtype")("float64");
  py::array_t<std::int64_t> positions(static_cast<py::ssize_t>(pos.size()), pos.data());
  // All-float64 columns make one float64 block; a frame mixing in other columns is narrowed first.
  py::object source = py::reinterpret_borrow<py::object>(frames);
  if (static_cast<std::size_t>(py::len(columns)) != 5 * m)
    source = frames.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()),
                                               positions)];
  auto values = py::array_t<double>(source.attr("to_numpy")("dtype"_a = float64));
  auto v = values.unchecked<2>();
  const bool narrowed = !source.is(frames);
  for (std::size_t s = 0; s < kFieldNames.size(); ++s) {
    py::array_t<double, py::array::f_style> panel({n, m});
    double *out = panel.mutable_data();
    for (std::size_t j = 0; j < m; ++j) {
      const auto col = static_cast<py::ssize_t>(narrowed ? j * 5 + s : pos[j * 5 + s]);
      double last = std::nan("");
      for (std::size_t t = 0; t < n; ++t) {
        const double x = v(static_cast<py::ssize_t>(t), col);
        if (!std::isnan(x)) last = x;
        out[j * n + t] = std::isnan(x) ? last : x;
      }
    }
    panel.attr("flags").attr("writeable") = false;
    mk.panels[s] = panel;
  }
  return true;
}

void prepare_field_series(py::handle frames, Market &mk) {
  mk.fields.reserve(mk.stocks);
  for (py::handle code : mk.codes) {
    py::object frame;
    try {
      frame = frames[code];
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_KeyError)) throw;
      py::raise_from(e, PyExc_KeyError,
                     std::string(format("data1 has no columns for stock {!r}", code)).c_str());
      throw py::error_already_set();
    }
    std::array<py::object, 5> filled;
    for (int slot : kFillOrder) filled[slot] = fill_forward(frame, code, kFieldNames[slot]);
    mk.fields.push_back(std::move(filled));
  }
}

}  // namespace

Market prepare_market(py::handle frames, py::handle prices, py::handle universe) {
  Market mk;
  mk.index = frames.attr("index");
  mk.n_dates = py::len(mk.index);
  mk.unique_index = mk.index.attr("is_unique").cast<bool>();
  mk.codes = py::list(py::reinterpret_borrow<py::object>(universe));
  mk.stocks = py::len(mk.codes);
  mk.copy_deep = !pandas_copies_on_write();
  if (!prepare_field_panels(frames, mk)) prepare_field_series(frames, mk);

  py::object columns = prices.attr("columns");
  py::list missing;
  for (py::handle code : mk.codes)
    if (!columns.contains(code)) missing.append(code);
  if (py::len(missing) > 0)
    raise(PyExc_KeyError, format("price1 has no column for stock(s) {!r}", missing));
  py::object priced = prices[mk.codes];
  if (!priced.attr("index").attr("equals")(mk.index).cast<bool>())
    priced = priced.attr("reindex")(mk.index);
  py::module_ np = py::module_::import("numpy");
  auto values = py::array_t<double, py::array::c_style | py::array::forcecast>(
      priced.attr("to_numpy")("dtype"_a = np.attr("float64"), "na_value"_a = np.attr("nan")));
  mk.prices.assign(values.data(), values.data() + values.size());
  return mk;
}

}  // namespace factorsearch
