// The long-table reader: a long table (one row per date and stock) in the miner's wide layout.
// scatter_long is plain C++; from_long is its Python face (long_table.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "common/pyglue.hpp"

namespace factorsearch {

// Row r of the long table lands at date `date_of[r]`, stock `code_of[r]` (both already positions
// in the sorted dates and codes). `fields` holds `n_fields` columns of the long table, one after
// another; `wide` becomes dates x (stock, field) and `price` dates x stock, NaN where the table has
// no row. Returns the index of the first row repeating an earlier (date, stock), or -1.
inline std::int64_t scatter_long(std::span<const std::int64_t> date_of,
                                 std::span<const std::int64_t> code_of,
                                 std::span<const double> fields, std::size_t n_fields,
                                 std::span<const double> price_column, std::size_t n_dates,
                                 std::size_t n_codes, std::vector<double> &wide,
                                 std::vector<double> &price) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  const std::size_t rows = date_of.size();
  wide.assign(n_dates * n_codes * n_fields, nan);
  price.assign(n_dates * n_codes, nan);
  std::vector<bool> seen(n_dates * n_codes, false);
  for (std::size_t r = 0; r < rows; ++r) {
    const std::size_t cell = static_cast<std::size_t>(date_of[r]) * n_codes +
                             static_cast<std::size_t>(code_of[r]);
    if (seen[cell]) return static_cast<std::int64_t>(r);
    seen[cell] = true;
    for (std::size_t f = 0; f < n_fields; ++f) wide[cell * n_fields + f] = fields[f * rows + r];
    price[cell] = price_column[r];
  }
  return -1;
}

namespace py = pybind11;

// factorsearch.from_long: (data1, price1, zz500) from a long table with the given date, code and
// price column names (case-insensitive; date and code may be index levels).
py::object from_long(py::handle frame, py::handle date, py::handle code, py::handle price);

}  // namespace factorsearch
