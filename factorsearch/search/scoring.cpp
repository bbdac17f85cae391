#include "factorsearch/search/scoring.hpp"

#include <cmath>
#include <iterator>
#include <limits>
#include <utility>
#include <vector>

#include "factorsearch/backtest/sharpe_inference.hpp"
#include "factorsearch/backtest/backtest.hpp"
#include "common/stats.hpp"
#include "factorsearch/expr/operators.hpp"
#include "factorsearch/backtest/selection_checks.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

// The report's figures over the back-test days from `first_day` on, from the same back-test
// core and statistics: what report(..., start=<that date>) gives for the same panel.
struct HoldoutFigures {
  Summary summary{kNoValue, kNoValue, kNoValue};
  double ic = kNoValue, rank_ic = kNoValue;
  std::size_t days = 0;
};

HoldoutFigures holdout_figures(const PanelView &panel, std::size_t first_day, std::int64_t legs,
                               bool hedged) {
  HoldoutFigures h;
  LegReturns legs_out = leg_returns(panel, legs, hedged, DayRange{first_day});
  h.days = legs_out.t.size();
  if (h.days == 0) return h;
  h.summary = *summarise(legs_out.ret);
  std::vector<double> ic(h.days), rank_ic(h.days);
  Cells cells;
  stats::RankScratch scratch;
  for (std::size_t i = 0; i < h.days; ++i) {
    eligible_cells(panel, legs_out.t[i], 1, cells);
    ic[i] = stats::pearson(cells.factor, cells.forward);
    rank_ic[i] = stats::spearman(cells.factor, cells.forward, scratch);
  }
  h.ic = stats::moments(ic).mean;
  h.rank_ic = stats::moments(rank_ic).mean;
  return h;
}

// Every operator of the program runs as a ufunc, a native kernel or a built-in (or, where its
// arguments do not allow the panel form, as the same function per stock: still elementwise or
// windowed over earlier dates).
bool causal_by_construction(py::handle mod, py::handle miner, const Drawn &drawn) {
  py::object fc = miner.attr("fc");
  for (const Element &e : drawn.program)
    if (e.is_op() && classify(mod, fc[py::int_(e.op)]).kind == OpKind::Other) return false;
  return true;
}

// After selection: the whole-data panel gives the hold-out figures, and its in-sample rows
// against the in-sample panel tell whether a value depended on later dates. `full` holds the
// whole-data panel already when `whole_first`.
void fill_holdout(py::tuple &row, py::handle mod, py::handle miner, const Drawn &drawn,
                  const MiningData &data, const std::vector<double> &panel,
                  std::vector<double> &full, bool whole_first, std::int64_t legs, bool hedged) {
  const std::size_t m = data.sample.n_stocks(), n = data.sample.n_dates;
  const Market &whole = *data.whole;
  bool evaluated = whole_first;
  if (!whole_first) {
    try {
      evaluated = evaluate_panel(mod, miner, drawn, whole, full);
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_Exception)) throw;
    } catch (const std::exception &) {
    }
  }
  HoldoutFigures h;
  py::object lookahead = py::none();
  if (evaluated) {
    PrefixDiff diff;
    {
      py::gil_scoped_release nogil;
      const PanelView view{full, whole.prices, whole.n_dates, m};
      h = holdout_figures(view, data.holdout_at, legs, hedged);
      diff = compare_prefix(full, panel, n, m);
    }
    lookahead = py::bool_(diff.changed > 0);
  }
  row[kHoldNet] = py::float_(h.summary.net);
  row[kHoldSharpe] = py::float_(h.summary.sharpe);
  row[kHoldMaxDrawdown] = py::float_(h.summary.max_drawdown);
  row[kHoldIc] = py::float_(h.ic);
  row[kHoldRankIc] = py::float_(h.rank_ic);
  row[kHoldDays] = py::int_(h.days);
  row[kLookahead] = lookahead;
}

}  // namespace

py::tuple score_formula(py::handle mod, py::handle miner, const Drawn &drawn, const py::str &text,
                        const MiningData &data, std::int64_t legs, bool hedged, bool must_trade,
                        std::vector<double> *panel_out) {
  const Market &sample = data.sample;
  const std::size_t m = sample.n_stocks(), n = sample.n_dates;
  std::vector<double> panel, full;
  // A formula of ufuncs, native kernels and built-ins computes each date from that date and
  // earlier ones, in the same arithmetic on any number of later dates (the look-ahead tests cover
  // every one): its in-sample panel is the first rows of the whole-data panel, bit for bit, so
  // one evaluation serves selection and the hold-out.
  const bool whole_first = data.has_holdout() && causal_by_construction(mod, miner, drawn);
  if (whole_first) {
    if (!evaluate_panel(mod, miner, drawn, *data.whole, full)) return py::tuple();
    panel.assign(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n * m));
  } else if (!evaluate_panel(mod, miner, drawn, sample, panel)) {
    return py::tuple();
  }
  std::optional<Summary> summary;
  SharpeMoments moments;
  double dispersion = kNoValue;
  RankDigest digest;
  Breadth breadth;
  const DayRange in_sample{data.warmup};
  {
    py::gil_scoped_release nogil;
    std::vector<double> pft;
    BreadthTally tally(legs, hedged);
    walk_days(PanelView{panel, sample.prices, n, m}, legs, hedged, in_sample, [&](const Day &day) {
      pft.push_back(day.ret);
      tally.add(day);
    });
    breadth = tally.result();
    summary = summarise(pft);
    if (summary) {
      const TradedDays days = traded_days(n, in_sample);
      dispersion = dispersion_share(panel, m, days.first, days.end);
      if (disperse_enough(dispersion)) {
        clean_returns(pft);  // the return list as the back-test scores it
        moments = sharpe_moments(pft);
        digest = rank_digest(panel, m, days.first, days.end);
      }
    }
  }
  if (!summary || !disperse_enough(dispersion)) return py::tuple();
  // A formula whose legs are never both filled (a leg voided every day by a missing price, or
  // too few eligible stocks) has a flat return list: nothing was traded, so nothing was found.
  if (must_trade && (breadth.traded == 0 || std::isnan(summary->sharpe))) return py::tuple();

  py::tuple row(static_cast<std::size_t>(kScoredFields));
  row[kText] = text;
  row[kNet] = py::float_(summary->net);
  row[kSharpe] = py::float_(summary->sharpe);
  row[kMaxDrawdown] = py::float_(summary->max_drawdown);
  row[kSr] = py::float_(moments.sr);
  row[kSkew] = py::float_(moments.skew);
  row[kKurt] = py::float_(moments.kurt);
  row[kDays] = py::int_(moments.t);
  row[kDigestA] = py::int_(digest.a);
  row[kDigestB] = py::int_(digest.b);
  for (int k = kHoldNet; k < kCoverage; ++k) row[k] = py::none();
  row[kCoverage] = py::float_(breadth.coverage);
  row[kTradeableDays] = py::float_(breadth.tradeable_days);
  if (panel_out) *panel_out = panel;
  if (!data.has_holdout()) return row;

  fill_holdout(row, mod, miner, drawn, data, panel, full, whole_first, legs, hedged);
  return row;
}

void add_breadth_columns(py::dict &columns, std::size_t n,
                         const std::function<py::tuple(std::size_t)> &row) {
  std::vector<double> coverage(n, kNoValue), tradeable(n, kNoValue);
  for (std::size_t k = 0; k < n; ++k) {
    const py::tuple r = row(k);
    if (r.size() == 0) continue;
    coverage[k] = r[kCoverage].cast<double>();
    tradeable[k] = r[kTradeableDays].cast<double>();
  }
  columns["coverage"] = py::array_t<double>(static_cast<py::ssize_t>(n), coverage.data());
  columns["tradeable_days"] = py::array_t<double>(static_cast<py::ssize_t>(n), tradeable.data());
}

void add_holdout_columns(py::dict &columns, std::size_t n,
                         const std::function<py::tuple(std::size_t)> &row) {
  constexpr std::pair<const char *, int> figures[] = {
      {"holdout_net_value", kHoldNet}, {"holdout_sharpe", kHoldSharpe},
      {"holdout_maxdown", kHoldMaxDrawdown}, {"holdout_ic", kHoldIc},
      {"holdout_rank_ic", kHoldRankIc}};
  constexpr std::size_t n_figures = std::size(figures);
  std::vector<std::vector<double>> values(
      n_figures, std::vector<double>(n, std::numeric_limits<double>::quiet_NaN()));
  std::vector<std::int64_t> days(n, 0);
  py::list look;
  for (std::size_t k = 0; k < n; ++k) {
    const py::tuple r = row(k);
    if (r.size() == 0) {
      look.append(py::none());
      continue;
    }
    for (std::size_t f = 0; f < n_figures; ++f)
      values[f][k] = r[static_cast<std::size_t>(figures[f].second)].cast<double>();
    days[k] = r[kHoldDays].cast<std::int64_t>();
    look.append(r[kLookahead]);
  }
  for (std::size_t f = 0; f < n_figures; ++f)
    columns[figures[f].first] = py::array_t<double>(static_cast<py::ssize_t>(n), values[f].data());
  columns["holdout_days"] = py::array_t<std::int64_t>(static_cast<py::ssize_t>(n), days.data());
  columns["lookahead"] = py::module_::import("pandas").attr("array")(look, "dtype"_a = "boolean");
}

}  // namespace factorsearch
