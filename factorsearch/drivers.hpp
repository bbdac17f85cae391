// FactorSearch's methods: construction, one mining attempt (f / f1) and the search drivers
// (hedge / long) with their result files under factors/.
#pragma once

#include "factorsearch/evaluation.hpp"

namespace factorsearch {

inline constexpr long kMaxAttempts = 9999999;

// Arguments keep FactorSearch's names only where a user sees them (signatures, messages); here
// frames = data1 (the stock frames), prices = price1, universe = zz500, wanted = ct, legs = l.

// A count given as any whole number (int, NumPy integer, 30.0); ValueError below `minimum`.
std::int64_t whole_number(py::handle value, const char *name, std::int64_t minimum);

// A switch given as True/False, a NumPy bool or the integer 0 or 1; TypeError naming `name` for
// anything else (text such as "no" is true to Python, so it is not read by truthiness).
bool switch_value(py::handle value, const char *name);

// The market data's types, checked before anything reads them (an error naming the argument
// rather than an AttributeError from inside): data1 and price1 DataFrames (price1 only
// `with_prices`), zz500 an iterable of codes that is not text.
void check_market_types(py::handle data1, py::handle price1, py::handle zz500,
                        bool with_prices = true);

// Refuses, before any attempt, data every attempt would silently miss on or mis-read: dates out
// of order or repeated, a code listed twice, prices on none of data1's dates.
void check_dates_and_codes(py::handle frames, py::handle prices, py::handle universe);

// Everything a driver checks before its first attempt; returns the prepared data.
Market prepare_checked_market(py::handle frames, py::handle prices, py::handle universe);

// <directory>/<run>.npy (factors/ by default), reserved for one driver call. The file is created atomically and complete
// (a 0-row array) under a run number nobody holds yet, then replaced whole after every factor.
class ResultFile {
 public:
  // `directory` is created when missing; the run number is free in it.
  explicit ResultFile(const std::string &directory = "factors");
  const std::string &path() const { return path_; }
  void save(py::handle rows);
  // As save, for rows that may have changed or moved since the last save (a ranking).
  void save_all(py::handle rows);

 private:
  template <typename Finish>
  void write_then(const py::object &array, Finish &&finish);
  bool claim(const py::object &empty);

  int run_ = -1;
  std::string dir_, path_;
  py::object table_;  // the rows saved last, as the array written
  std::size_t in_table_ = 0;
};

// The second half of an attempt, after the draw: evaluation and back-test of `drawn` over
// prepared data. The row [text, net value, Sharpe value, maxdown], or None without a back-test day.
// Raises what the evaluation raises; callers decide what counts as a miss.
py::object score_program(py::handle mod, py::handle self, const Drawn &drawn, const py::str &text,
                         const Market &market, std::int64_t legs, bool hedged);

// True for an error that ends an attempt as a miss: anything but an interrupt or exit request.
bool is_miss(py::error_already_set &e);

void search_init(py::handle mod, py::object self, py::object fuc);

// One attempt: warnings silenced for its span, registration, draw and render (errors there reach the caller), then
// evaluation and back-test, where any error makes it a miss (None). `market` is the data
// prepared by a driver; without it the attempt prepares its own.
py::object attempt(py::handle mod, py::object self, py::handle frames, py::handle prices,
                   py::handle universe, py::handle legs, bool hedged,
                   const Market *market = nullptr);

void drive(py::handle mod, py::object self, py::handle frames, py::handle prices,
           py::handle universe, py::handle wanted, py::handle legs, bool hedged);

// The back-test alone over a dates x stocks factor array and price array:
// (daily returns, net value, Sharpe value, maxdown), or None without a back-test day.
py::object backtest_arrays(py::handle panel, py::handle prices, py::handle legs, bool hedged);

}  // namespace factorsearch
