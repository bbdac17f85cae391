// factorsearch.from_long: a long table (one row per date and stock) read into the miner's wide
// layout. The Python side finds and checks the columns and numbers the dates and codes; the
// scatter into the wide arrays is plain C++ (scatter_long) and runs without the interpreter lock.
#include "factorsearch/market/long_table.hpp"

#include <string>
#include <vector>

#include "factorsearch/market/frames.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

constexpr const char *kFields[] = {"open", "high", "low", "close", "volume"};
constexpr std::size_t kFieldCount = 5;

// Dates and codes may come as index levels (a (date, code) MultiIndex is common): then they
// become columns.
py::object with_keys_as_columns(py::handle frame, py::handle date, py::handle code) {
  py::object table = py::reinterpret_borrow<py::object>(frame);
  py::set columns_lower, levels_lower;
  for (py::handle col : table.attr("columns"))
    if (py::isinstance<py::str>(col)) columns_lower.add(col.attr("lower")());
  for (py::handle level : table.attr("index").attr("names"))
    if (py::isinstance<py::str>(level)) levels_lower.add(level.attr("lower")());
  for (py::handle key : {date, code}) {
    py::object k = key.attr("lower")();
    if (!columns_lower.contains(k) && levels_lower.contains(k)) return table.attr("reset_index")();
  }
  return table;
}

// The table's columns by their lower-case names, every wanted one present.
class Columns {
 public:
  Columns(py::handle frame, py::handle date, py::handle code, py::handle price) : frame_(frame) {
    for (py::handle col : frame.attr("columns")) {
      if (!py::isinstance<py::str>(col)) continue;
      py::object key = col.attr("lower")();
      if (by_lower_.contains(key))
        raise(PyExc_ValueError, format("columns {!r} and {!r} are one name (names are "
                                       "case-insensitive)",
                                       by_lower_[key], col));
      by_lower_[key] = col;
    }
    py::list wanted;
    wanted.append(date);
    wanted.append(code);
    for (const char *f : kFields) wanted.append(f);
    wanted.append(price);
    py::list missing;
    for (py::handle w : wanted) {
      py::object key = w.attr("lower")();
      if (!by_lower_.contains(key) && !missing.contains(w)) missing.append(w);
    }
    if (py::len(missing) > 0)
      raise(PyExc_ValueError, format("the long table has no column(s) {!r} (case-insensitive); "
                                     "it has {!r}",
                                     missing, py::list(frame.attr("columns"))));
  }

  py::object operator()(py::handle name) const {
    return frame_[by_lower_[name.attr("lower")()]];
  }

 private:
  py::handle frame_;
  py::dict by_lower_;
};

// Numbers in the fields and the price, a date and a code on every row.
void check_values(const Columns &column, py::handle date, py::handle code, py::handle price) {
  py::list numeric_names;
  for (const char *f : kFields) numeric_names.append(f);
  numeric_names.append(price);
  for (py::handle name : numeric_names) {
    py::object col = column(name);
    if (!numeric_dtype(col.attr("dtype")))
      raise(PyExc_ValueError, format("column {!r} must hold numbers, it has dtype {}",
                                     col.attr("name"), col.attr("dtype")));
  }
  for (py::handle key : {date, code})
    if (column(key).attr("isna")().attr("any")().cast<bool>())
      raise(PyExc_ValueError,
            format("column {!r} has missing values", column(key).attr("name")));
}

// Text dates sort as text: '13/01/2015' before '14/12/2014'. Read them as dates so the rows
// come out in time order, and refuse text that is not one.
py::object dates_in_time_order(py::object date_column) {
  py::module_ pd = pandas();
  if (pd.attr("api").attr("types").attr("infer_dtype")(date_column, "skipna"_a = false)
          .cast<std::string>() != "string")
    return date_column;
  try {
    return pd.attr("to_datetime")(date_column);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
    raise(PyExc_ValueError,
          format("column {!r} holds text that cannot be read as dates ({}); convert it with "
                 "pd.to_datetime(..., format=...) first",
                 date_column.attr("name"), py::str(e.value())));
  }
}

[[noreturn]] void refuse_duplicate(const Columns &column, py::handle date, py::handle code,
                                   std::int64_t row) {
  py::object keys =
      pandas().attr("DataFrame")(py::dict("date"_a = column(date), "code"_a = column(code)));
  auto count = keys.attr("duplicated")().attr("sum")().cast<std::int64_t>();
  py::object at = keys.attr("iloc")[py::int_(row)];
  raise(PyExc_ValueError,
        format("the long table has {} duplicate (date, code) row(s); the first repeats ({!r}, "
               "{!r})",
               count, at["date"], at["code"]));
}

// (data1, price1, universe) around the scattered arrays.
py::tuple wide_frames(py::handle dates, py::handle codes, const std::vector<double> &wide,
                      const std::vector<double> &prices) {
  py::module_ pd = pandas();
  const std::size_t n = py::len(dates), m = py::len(codes);
  py::object index = pd.attr("Index")(dates, "name"_a = "date");
  py::object code_index = pd.attr("Index")(codes, "name"_a = "code");
  py::list field_list;
  for (const char *f : kFields) field_list.append(f);
  py::object columns = pd.attr("MultiIndex").attr("from_product")(
      py::make_tuple(code_index, field_list), "names"_a = py::make_tuple("code", "field"));
  py::array_t<double> wide_array({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(m * kFieldCount)});
  std::copy(wide.begin(), wide.end(), wide_array.mutable_data());
  py::array_t<double> price_array({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(m)});
  std::copy(prices.begin(), prices.end(), price_array.mutable_data());
  py::object frames = pd.attr("DataFrame")(wide_array, "index"_a = index, "columns"_a = columns);
  py::object price_frame = pd.attr("DataFrame")(price_array, "index"_a = index, "columns"_a = code_index);
  return py::make_tuple(frames, price_frame, py::list(py::reinterpret_borrow<py::object>(codes)));
}

}  // namespace

py::object from_long(py::handle frame, py::handle date, py::handle code, py::handle price) {
  py::module_ pd = pandas();
  if (!py::isinstance(frame, pd.attr("DataFrame")))
    raise(PyExc_TypeError, "from_long takes a DataFrame, got " + type_name(frame));
  for (py::handle name : {date, code, price})
    if (!py::isinstance<py::str>(name))
      raise(PyExc_TypeError, "column names must be text, got " + type_name(name));
  py::object table = with_keys_as_columns(frame, date, code);
  const Columns column(table, date, code, price);
  const std::size_t rows = py::len(table);
  if (rows == 0) raise(PyExc_ValueError, "the long table has no rows");
  check_values(column, date, code, price);

  using Positions = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
  py::tuple d = pd.attr("factorize")(dates_in_time_order(column(date)), "sort"_a = true);
  py::tuple c = pd.attr("factorize")(column(code), "sort"_a = true);
  Positions date_of(d[0]), code_of(c[0]);
  py::object dates = d[1], codes = c[1];

  std::vector<double> values(rows * kFieldCount);
  for (std::size_t f = 0; f < kFieldCount; ++f) {
    Matrix v = float_values(column(py::str(kFields[f])));
    std::copy(v.data(), v.data() + rows, values.begin() + static_cast<std::ptrdiff_t>(f * rows));
  }
  Matrix price_values = float_values(column(price));
  const std::size_t n = py::len(dates), m = py::len(codes);
  std::vector<double> wide, prices;
  std::int64_t duplicate;
  {
    py::gil_scoped_release nogil;
    duplicate = scatter_long({date_of.data(), rows}, {code_of.data(), rows}, values, kFieldCount,
                             {price_values.data(), rows}, n, m, wide, prices);
  }
  if (duplicate >= 0) refuse_duplicate(column, date, code, duplicate);
  return wide_frames(dates, codes, wide, prices);
}

}  // namespace factorsearch
