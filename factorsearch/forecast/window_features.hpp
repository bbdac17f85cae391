// The forecasters' training frame straight from the miner's market data: one row per (day, stock)
// with the last `window` days of each field, scaled by the stock's latest close (prices) or latest
// volume, and the forward return the back-test trades as the label. Pure C++ over column-major
// dates x stocks buffers; runs without the interpreter lock. The interpreter layer
// (window_features_frame) checks the input and assembles the DataFrame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <pybind11/pybind11.h>

namespace factorsearch {

enum class LabelNorm { rank, zscore, raw };

struct WindowPanels {
  std::size_t n_dates = 0, n_stocks = 0, window = 1;
  // Per field, dates x stocks, column-major (stock j's days at [j * n_dates, (j+1) * n_dates)).
  std::vector<const double *> fields;
  std::vector<bool> by_volume;              // per field: scaled by the latest volume, else close
  const double *close = nullptr;            // needed when a field is scaled by it
  const double *volume = nullptr;           // likewise
  const double *prices = nullptr;           // dates x stocks, row-major; null without price1
};

// The rows of the frame: which (day, stock) pairs become samples and where each day starts.
struct WindowRows {
  std::vector<std::uint8_t> kept;           // dates x stocks, row-major
  std::vector<std::size_t> day_start;       // n_dates + 1 row offsets
  std::size_t candidates = 0;               // (day, stock) pairs with a full window behind them
  std::size_t rows() const { return day_start.empty() ? 0 : day_start.back(); }
  void count_days(std::size_t n_dates, std::size_t n_stocks);  // day_start from kept
};

// A pair is a sample when the day has `window` days behind it (itself included), every field is
// finite on those days, its divisors are finite and non-zero and, with prices, the stock has a
// price that day.
WindowRows choose_rows(const WindowPanels &p, int threads);

// Row r holds field k at step s (oldest first) in column k * window + s, float32, rows in day
// order and, within a day, in stock order. A row whose ratio overflows float32 is taken out
// (`rows` updated, later rows moved up), so every value written is finite.
void fill_rows(const WindowPanels &p, WindowRows &rows, float *out, int threads);

// The forward return (p[t+2] - p[t+1]) / p[t+1] of every row (NaN where unknown or not finite),
// normalised per day over the rows that have one. Days are spread over `threads` threads.
void forward_labels(const WindowPanels &p, const WindowRows &rows, LabelNorm norm, double *out,
                    int threads);

// factorsearch.window_features.
pybind11::object window_features_frame(pybind11::handle data1, pybind11::handle zz500,
                                       std::int64_t window, pybind11::handle fields,
                                       pybind11::handle price1, pybind11::handle label,
                                       pybind11::handle extra);

}  // namespace factorsearch
