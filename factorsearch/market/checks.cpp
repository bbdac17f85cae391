#include "factorsearch/market/checks.hpp"

#include "factorsearch/backtest/backtest.hpp"

namespace factorsearch {
using namespace alphaloom;

void check_market_types(py::handle frames, py::handle prices, py::handle universe,
                        bool with_prices) {
  py::object frame = py::module_::import("pandas").attr("DataFrame");
  if (!py::isinstance(frames, frame))
    raise(PyExc_TypeError, "data1 must be a DataFrame (dates x (code, field) columns), got " +
                               type_name(frames));
  if (with_prices && !py::isinstance(prices, frame))
    raise(PyExc_TypeError,
          "price1 must be a DataFrame (dates x codes), got " + type_name(prices));
  if (py::isinstance<py::str>(universe) || py::isinstance<py::bytes>(universe) ||
      !py::hasattr(universe, "__iter__"))
    raise(PyExc_TypeError, "zz500 must be a list of stock codes, got " + type_name(universe));
}

void check_dates_and_codes(py::handle frames, py::handle prices, py::handle universe) {
  require_ascending_dates(frames);
  py::set seen;
  for (py::handle code : universe) {
    if (seen.contains(code))
      raise(PyExc_ValueError,
            format("zz500 lists stock {!r} more than once; each code may appear once", code));
    seen.add(code);
  }
  require_shared_dates(frames, prices, "no position could be priced");
}

void require_ascending_dates(py::handle frames) {
  py::object index = frames.attr("index");
  const std::size_t n = py::len(index);
  if (!(index.attr("is_monotonic_increasing").cast<bool>() &&
        index.attr("is_unique").cast<bool>())) {
    // Name the first pair out of order, so the fix is obvious.
    for (std::size_t t = 1; t < n; ++t) {
      py::object before = index[py::int_(t - 1)], after = index[py::int_(t)];
      if (!(before < after))
        raise(PyExc_ValueError,
              format("data1's dates must be strictly ascending; date {} (row {}) follows {}",
                     after, t, before));
    }
    raise(PyExc_ValueError, "data1's dates must be strictly ascending");
  }
}

void require_shared_dates(py::handle frames, py::handle prices, const char *consequence) {
  py::object index = frames.attr("index");
  if (py::len(index) > 0 && py::len(index.attr("intersection")(prices.attr("index"))) == 0)
    raise(PyExc_ValueError, std::string("price1 shares no dates with data1; ") + consequence);
}

Market prepare_checked_market(py::handle frames, py::handle prices, py::handle universe,
                              std::size_t warmup) {
  check_market_types(frames, prices, universe);
  check_dates_and_codes(frames, prices, universe);
  // Data no formula can be back-tested on would only make every attempt a miss, for hours.
  Market market = prepare_market(frames, prices, universe);
  if (market.n_stocks() < 2)
    raise(PyExc_ValueError,
          format("the universe needs at least two stocks, got {}", market.n_stocks()));
  if (market.n_dates < warmup + 3)
    raise(PyExc_ValueError, format("a back-test needs at least {} trading dates, data1 has {}",
                                   warmup + 3, market.n_dates));
  return market;
}

}  // namespace factorsearch
