#include "factorsearch/search/drivers.hpp"
#include "common/signals.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "factorsearch/backtest/backtest.hpp"
#include "factorsearch/runtime/quiet_warnings.hpp"
#include "factorsearch/search/result_files.hpp"

namespace factorsearch {
using namespace alphaloom;


namespace {

py::object make_row(const py::str &text, const Summary &s) {
  py::list row;
  row.append(text);
  row.append(py::float_(s.net));
  row.append(py::float_(s.sharpe));
  row.append(py::float_(s.max_drawdown));
  return row;
}

}  // namespace

py::object score_program(py::handle mod, py::handle self, const Drawn &drawn, const py::str &text,
                         const Market &market, std::int64_t legs, bool hedged) {
  std::vector<double> panel;
  if (!evaluate_panel(mod, self, drawn, market, panel)) return py::none();
  std::optional<Summary> summary;
  {
    py::gil_scoped_release nogil;
    summary = summarise(
        daily_returns(panel, market.prices, market.n_dates, market.n_stocks(), legs, hedged));
  }
  if (!summary) return py::none();
  return make_row(text, *summary);
}

bool is_miss(py::error_already_set &e) { return e.matches(PyExc_Exception); }

py::object attempt(py::handle mod, py::object self, py::handle frames, py::handle prices,
                   py::handle universe, std::int64_t legs, bool hedged, const Market *market) {
  QuietWarnings quiet;  // a driver's own scope, when it has one, already covers this
  register_operators(mod, self);
  Drawn drawn = draw(self);
  py::str text = self.attr("fuctions")(drawn.list);
  py::object row;
  try {
    std::optional<Market> own;
    if (!market) market = &own.emplace(prepare_market(frames, prices, universe));
    row = score_program(mod, self, drawn, text, *market, legs, hedged);
  } catch (py::error_already_set &e) {
    // A miss, silently; but an interrupt or exit request still stops the search.
    if (!is_miss(e)) throw;
    return py::none();
  } catch (const std::exception &) {
    return py::none();
  }
  if (!row.is_none()) py::module_::import("builtins").attr("print")(row, "flush"_a = true);
  return row;
}

void drive(py::handle mod, py::object self, py::handle frames, py::handle prices,
           py::handle universe, std::int64_t wanted, std::int64_t legs, bool hedged) {
  if (wanted == 0) {
    py::module_::import("random").attr("randint")(0, 999);  // the run number, as every call draws
    return;
  }
  Market market = prepare_checked_market(frames, prices, universe);
  ResultFile file;
  py::list rows;
  std::int64_t found = 0;
  QuietWarnings quiet;
  for (long k = 0; k < kMaxAttempts && found != wanted; ++k) {
    check_signals();
    py::object row = attempt(mod, self, frames, prices, universe, legs, hedged, &market);
    if (row.is_none()) continue;
    rows.append(row);
    file.save(rows);
    ++found;
  }
}

}  // namespace factorsearch
