// The checks on a driver's market data that run before any attempt reads it.
#pragma once

#include "factorsearch/backtest/backtest.hpp"
#include "factorsearch/market/market.hpp"

namespace factorsearch {

// Arguments keep FactorSearch's names only where a user sees them (signatures, messages); here
// frames = data1 (the stock frames), prices = price1, universe = zz500.

// The market data's types, checked before anything reads them (an error naming the argument
// rather than an AttributeError from inside): data1 and price1 DataFrames (price1 only
// `with_prices`), zz500 an iterable of codes that is not text.
void check_market_types(py::handle frames, py::handle prices, py::handle universe,
                        bool with_prices = true);

// Refuses, before any attempt, data every attempt would silently miss on or mis-read: dates out
// of order or repeated, a code listed twice, prices on none of data1's dates.
void check_dates_and_codes(py::handle frames, py::handle prices, py::handle universe);

// ValueError naming the first pair of data1's dates out of order (or repeated).
void require_ascending_dates(py::handle frames);

// Prices on none of data1's dates (a time zone on one index only, for one) would price nothing:
// ValueError "price1 shares no dates with data1; " + consequence.
void require_shared_dates(py::handle frames, py::handle prices, const char *consequence);

// Everything a driver checks before its first attempt; returns the prepared data. A back-test
// after `warmup` dates needs warmup + 3 of them.
Market prepare_checked_market(py::handle frames, py::handle prices, py::handle universe,
                              std::size_t warmup = kFirstDay);

}  // namespace factorsearch
