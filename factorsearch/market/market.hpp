// The market data of one call, prepared once: forward-filled fields (one panel per field in the
// usual layout, per-stock series otherwise) and the price matrix (market.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "common/pyglue.hpp"

namespace factorsearch {
namespace py = pybind11;

// The five daily fields every stock frame carries, in the order of `FactorSearch.fields`.
inline constexpr std::array<const char *, 5> kFieldNames{"open", "high", "low", "close", "volume"};

// What does not change between attempts over the same data.
struct Market {
  py::object index;  // the date index of the stock frames (data1)
  py::list codes;    // the universe, in order
  std::size_t stocks = 0;
  // The usual layout (float64 fields under (code, field) columns): per field, the forward-filled
  // dates x stocks panel, F-ordered and read-only. Null for other layouts, which keep `fields`.
  std::array<py::object, 5> panels;
  // Other layouts: per stock, the forward-filled fields in kFieldNames order. Operators get
  // shallow copies, so an operator writing into its argument cannot leak into later attempts.
  std::vector<std::array<py::object, 5>> fields;
  std::vector<double> prices;  // dates x stocks, row-major
  std::size_t n_dates = 0;
  bool unique_index = true;
  bool copy_deep = false;  // without copy-on-write a shallow copy would share the values
  bool has_panels() const { return static_cast<bool>(panels[0]); }
  std::size_t n_stocks() const { return stocks; }
};

// `frames`, `prices`, `universe`: FactorSearch's data1, price1 and zz500. Raises KeyError with a
// clear message (naming those) when a code, a field or a price column is missing.
Market prepare_market(py::handle frames, py::handle prices, py::handle universe);

}  // namespace factorsearch
