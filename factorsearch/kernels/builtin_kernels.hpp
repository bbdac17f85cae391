// The built-in operators over column-major panels (dates x stocks, each stock's dates
// contiguous). Pure C++: no interpreter, safe to run with the GIL released.
//
// Time-series operators work on each column alone and copy the pandas rolling computation they
// are named after: a window yields a value only when all of its `w` dates hold a finite number
// (pandas' windows take infinities for missing values), and means and deviations are updated as
// the window slides exactly as pandas updates them, so results agree bit for bit.
// Cross-sectional operators work on each date (row) alone and skip NaN cells, as pandas' row
// reductions do.
#pragma once

#include <cstddef>
#include <span>

namespace factorsearch::builtin {

// `in[k]` is the k-th argument's rows x cols block; `out` is rows x cols.
using PanelKernel = void (*)(const double *const *in, double *out, std::size_t rows,
                             std::size_t cols);

struct Operator {
  const char *name;         // the name it is registered and imported under
  int arity;                // positional panel arguments
  bool cross_sectional;     // no meaning on one stock's series
  const char *pandas_form;  // the pandas expression over x (and y) it equals
  PanelKernel kernel;
};

// Every built-in operator, in documentation order.
std::span<const Operator> operators();

}  // namespace factorsearch::builtin
