// Native forms of `ta` indicator functions called with their default parameters, over
// column-major panels (dates x stocks, each stock's dates contiguous). Pure C++: no interpreter,
// safe to run with the GIL released. Each kernel reproduces the `ta` function's own output for one
// stock's column, warm-up NaNs, NaN gaps, zeros and constant stretches included, to 1e-9 relative.
#pragma once

#include <cstddef>
#include <span>

namespace factorsearch::ta {

// One column: `in[k]` is the k-th positional input (e.g. high, low, close for
// average_true_range), each `rows` long; `out` is `rows` long.
using ColumnKernel = void (*)(const double *const *in, double *out, std::size_t rows);

struct Kernel {
  const char *module;  // `ta` submodule holding the function: "momentum", "trend", ...
  const char *name;    // function name in that submodule: "rsi", "macd_signal", ...
  int arity;           // positional Series inputs, in the function's own order
  ColumnKernel column;
  // Shorter columns make the `ta` function itself raise (average_true_range indexes row
  // window-1): callers leave such panels to `ta`, so the failure stays the same.
  std::size_t min_rows = 0;
};

// Every native kernel. The interpreter layer maps `getattr(ta.<module>, name)` (by identity) to
// its entry.
std::span<const Kernel> kernels();

// Runs `k` over every column of column-major inputs (`in[j]` points at input j's rows x cols
// block), writing the rows x cols block `out`. Splits columns across up to `threads` threads
// when the panel is large enough to pay for them. Does not touch the interpreter.
void run_panel(const Kernel &k, const double *const *in, double *out, std::size_t rows,
               std::size_t cols, int threads);

}  // namespace factorsearch::ta
