// factorsearch.report's Python face: arguments and frames checked and turned into numbers for
// build_report (report.*), the results turned into the Report's frames, and the Report class
// with its plot.
#include "factorsearch/faces/report_face.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "factorsearch/search/drivers.hpp"
#include "factorsearch/market/frames.hpp"
#include "factorsearch/backtest/report.hpp"
#include "factorsearch/market/dates.hpp"
#include "common/weight_files.hpp"
#include "factorsearch/faces/validity.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

// A hold-out's first date as a dashed line on a time axis (nothing when `split` is None).
void mark_split(py::handle a, py::handle dates, py::handle split) {
  if (split.is_none()) return;
  py::object when = date_key(dates, split, "split");
  py::str label = format("hold-out from {}", py::hasattr(when, "strftime")
                                                 ? py::object(when.attr("strftime")("%Y-%m-%d"))
                                                 : when);
  a.attr("axvline")(when, "color"_a = "black", "linestyle"_a = "--", "linewidth"_a = 1.0,
                    "label"_a = label);
}

// Net value before and after costs, each with its Sharpe value.
void draw_net_value(py::handle a, py::handle report, py::handle daily, py::handle split) {
  py::object dates = daily.attr("index");
  py::object s = report.attr("summary");
  a.attr("plot")(dates, daily["net_value"],
                 "label"_a = format("before costs: Sharpe {:.2f} ± {:.2f}", s["sharpe"],
                                    s["sharpe_se"]));
  a.attr("plot")(dates, daily["net_value_after_cost"],
                 "label"_a = format("after {} bps per unit turnover per leg: Sharpe {:.2f}",
                                    report.attr("cost_bps"), s["sharpe_after_cost"]));
  a.attr("axhline")(1.0, "color"_a = "grey", "linewidth"_a = 0.8);
  mark_split(a, dates, split);
  a.attr("set_title")("Net value");
  a.attr("set_xlabel")("date");
  a.attr("set_ylabel")("net value (start = 1)");
  a.attr("legend")("fontsize"_a = "small");
  a.attr("tick_params")("axis"_a = "x", "labelrotation"_a = 30);
}

// Daily rank IC with 20-day means of both ICs.
void draw_ic(py::handle a, py::handle report, py::handle daily, py::handle split) {
  py::object dates = daily.attr("index");
  py::object s = report.attr("summary");
  a.attr("bar")(dates, daily["rank_ic"], "color"_a = "lightgrey", "label"_a = "daily rank IC");
  for (const char *col : {"ic", "rank_ic"})
    a.attr("plot")(dates, daily[col].attr("rolling")(20, "min_periods"_a = 5).attr("mean")(),
                   "label"_a = format("{}, 20-day mean", std::string(col) == "ic" ? "IC" : "rank IC"));
  a.attr("axhline")(0.0, "color"_a = "grey", "linewidth"_a = 0.8);
  mark_split(a, dates, split);
  a.attr("set_title")(format("IC {:+.4f} (t {:.2f}), rank IC {:+.4f} (t {:.2f})", s["ic_mean"],
                             s["ic_t"], s["rank_ic_mean"], s["rank_ic_t"]));
  a.attr("set_xlabel")("date");
  a.attr("set_ylabel")("correlation with the next day's return");
  a.attr("legend")("fontsize"_a = "small");
  a.attr("tick_params")("axis"_a = "x", "labelrotation"_a = 30);
}

// Eligible stocks per day against what the legs need: below the line a day cannot be traded in
// full, and statistics over it rest on a handful of names.
void draw_coverage(py::handle a, py::handle report, py::handle daily, py::handle split) {
  py::object dates = daily.attr("index");
  const bool hedged = !report.attr("long_only").cast<bool>();
  const std::int64_t l = report.attr("l").cast<std::int64_t>();
  py::object s = report.attr("summary");
  a.attr("plot")(dates, daily["eligible"], "label"_a = "eligible stocks");
  a.attr("axhline")(hedged ? 2 * l : l, "color"_a = "tab:red", "linestyle"_a = ":",
                    "label"_a = hedged ? format("2·l = {}: both legs full", 2 * l)
                                       : format("l = {}: the leg full", l));
  mark_split(a, dates, split);
  a.attr("set_ylim")("bottom"_a = 0);
  a.attr("set_title")(format("Coverage: median {:.0f} eligible stocks, {:.0%} of the days "
                             "tradeable",
                             s["coverage"], s["tradeable_days"]));
  a.attr("set_xlabel")("date");
  a.attr("set_ylabel")("stocks with an eligible value");
  a.attr("legend")("fontsize"_a = "small");
  a.attr("tick_params")("axis"_a = "x", "labelrotation"_a = 30);
}

// Raw quantile returns mostly show the market's move; relative to the day's mean the spread
// between the quantiles is what is left, and the top-minus-bottom bar shows it at once.
void draw_quantiles(py::handle a, py::handle quant) {
  py::list labels, heights, colors, band;
  for (py::handle q : quant.attr("index")) labels.append(format("Q{}", q));
  py::object relative = py::object(quant["relative_return"]) * py::float_(1e4);
  py::object se = py::object(quant["relative_return_se"]) * py::float_(2e4);
  for (py::handle v : relative.attr("tolist")()) heights.append(v);
  for (py::handle v : se.attr("tolist")()) band.append(v);
  const std::size_t nq = py::len(labels);
  for (std::size_t k = 0; k < nq; ++k) colors.append("tab:blue");
  if (nq >= 2) {
    labels.append("top − bottom");
    heights.append(py::float_(heights[py::int_(nq - 1)].cast<double>() -
                              heights[py::int_(0)].cast<double>()));
    colors.append("tab:orange");
    band.append(std::numeric_limits<double>::quiet_NaN());  // the two means are not independent
  }
  a.attr("bar")(labels, heights, "color"_a = colors, "yerr"_a = band, "capsize"_a = 3);
  a.attr("axhline")(0.0, "color"_a = "grey", "linewidth"_a = 0.8);
  a.attr("set_title")("Forward return by factor quantile, relative to the day's mean (± 2 SE)");
  a.attr("set_xlabel")("quantile (Q1 = lowest factor values)");
  a.attr("set_ylabel")("bps per day");
}

void draw_decay(py::handle a, py::handle decay, py::handle decay_se) {
  py::object band = py::reinterpret_borrow<py::object>(decay_se) * py::float_(2.0);
  a.attr("bar")(decay.attr("index"), decay.attr("to_numpy")(), "yerr"_a = band.attr("to_numpy")(),
                "capsize"_a = 3,
                "label"_a = "mean rank IC ± 2 Newey–West standard errors (h − 1 lags)");
  a.attr("axhline")(0.0, "color"_a = "grey", "linewidth"_a = 0.8);
  a.attr("set_xticks")(decay.attr("index"));
  a.attr("set_title")("Rank IC decay");
  a.attr("set_xlabel")("h (days): return held from t+1 to t+1+h");
  a.attr("set_ylabel")("mean rank IC");
  a.attr("legend")("fontsize"_a = "small");
}

// The statistics line, shown under a caller's title too. A formula picked among many tries
// shows P(Sharpe > 0) far above what it deserves: with the tries it shows the deflated Sharpe,
// without them the probability says it is not corrected for selection.
py::str statistics_line(py::handle report, py::handle daily, py::handle trials) {
  py::object s = report.attr("summary");
  py::str trust =
      trials.is_none()
          ? py::str(format("P(Sharpe > 0) {:.2f} (not corrected for selection)", s["psr"]))
          : py::str(format("deflated Sharpe {:.2f} ({} trials)",
                           deflated_sharpe_of(daily["return"], trials), py::len(trials)));
  // Two lines: one is wider than the figure once the trust figure is spelled out.
  return format("{}, {} stocks per leg, {} days: net value {:.3f} ({:.3f} after costs), Sharpe "
                "{:.2f} ± {:.2f} ({:.2f} after costs)\n{}, rank IC {:+.4f}",
                report.attr("long_only").cast<bool>() ? "long-only" : "long-short",
                report.attr("l"), py::len(daily), s["net_value"], s["net_value_after_cost"],
                s["sharpe"], s["sharpe_se"], s["sharpe_after_cost"], trust, s["rank_ic_mean"]);
}

// The report's picture as a matplotlib Figure (not attached to pyplot, so nothing is shown or
// kept open behind the caller's back).
py::object report_figure(py::object self, py::object title, py::object split, py::object trials) {
  py::object figure_mod;
  try {
    figure_mod = py::module_::import("matplotlib.figure");
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_ImportError)) throw;
    py::raise_from(e, PyExc_ImportError,
                   "Report.plot needs matplotlib, an optional extra: pip install 'alphaloom[plot]'");
    throw py::error_already_set();
  }
  // A lone surrogate cannot be drawn; the font code would refuse it with its binding's message.
  if (py::isinstance<py::str>(title) && !PyUnicode_AsUTF8AndSize(title.ptr(), nullptr)) {
    PyErr_Clear();
    raise(PyExc_ValueError, format("title {!r} holds a lone surrogate, not a character", title));
  }

  py::object daily = self.attr("daily");
  py::str line = statistics_line(self, daily, trials);  // bad trials fail before any drawing
  py::object fig = figure_mod.attr("Figure")("figsize"_a = py::make_tuple(13, 11.5),
                                             "layout"_a = "constrained");
  py::object axes = fig.attr("subplot_mosaic")(
      py::make_tuple(py::make_tuple("net", "ic"), py::make_tuple("quantiles", "decay"),
                     py::make_tuple("coverage", "coverage")),
      "height_ratios"_a = py::make_tuple(1.0, 1.0, 0.7));
  draw_net_value(axes["net"], self, daily, split);
  draw_ic(axes["ic"], self, daily, split);
  draw_quantiles(axes["quantiles"], self.attr("quantile_returns"));
  draw_decay(axes["decay"], self.attr("ic_decay"), self.attr("ic_decay_se"));
  draw_coverage(axes["coverage"], self, daily, split);
  fig.attr("suptitle")(title.is_none() ? line : py::str(format("{}\n{}", title, line)));
  return fig;
}

// Without a path, the Figure (a notebook shows it inline); with one, a PNG written to a temporary
// file beside it and renamed over the old one, so a full disk or Ctrl-C never leaves half a file.
py::object plot_report(py::object self, py::object path, py::object title, py::object split,
                       py::object trials) {
  if (!path.is_none()) py::module_::import("os").attr("fspath")(path);  // before any drawing
  py::object fig = report_figure(self, title, split, trials);
  if (path.is_none()) return fig;
  write_atomically(path, [&](py::handle file) {
    fig.attr("savefig")(file, "format"_a = "png", "dpi"_a = 100);
  });
  return path;
}

// A notebook's view: the heading and summary as an HTML table and, with matplotlib, the picture
// inline as a PNG.
py::object report_html(py::object self) {
  py::object escape = py::module_::import("html").attr("escape");
  std::string head = format("factorsearch.Report: {}, l = {}, {} quantiles, {} bps",
                            self.attr("long_only").cast<bool>() ? "long-only" : "long-short",
                            self.attr("l"), self.attr("quantiles"), self.attr("cost_bps"));
  py::object table = self.attr("summary").attr("to_frame")("value").attr("to_html")();
  std::string html = "<div><p><b>" + escape(head).cast<std::string>() + "</b></p>" +
                     table.cast<std::string>();
  bool drawn = true;
  try {
    py::module_::import("matplotlib.figure");
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_ImportError)) throw;
    drawn = false;
  }
  if (drawn) {
    py::object buffer = py::module_::import("io").attr("BytesIO")();
    report_figure(self, py::none(), py::none(), py::none())
        .attr("savefig")(buffer, "format"_a = "png", "dpi"_a = 72);
    py::object encoded = py::module_::import("base64").attr("b64encode")(buffer.attr("getvalue")());
    html += "<img src=\"data:image/png;base64," + encoded.attr("decode")("ascii").cast<std::string>() +
            "\" alt=\"report\"/>";
  }
  return py::str(html + "</div>");
}

py::object report_repr(py::object self) {
  std::string head = format("<factorsearch.Report: {}, l = {}, {} quantiles, {} bps>",
                            self.attr("long_only").cast<bool>() ? "long-only" : "long-short",
                            self.attr("l"), self.attr("quantiles"), self.attr("cost_bps"));
  return py::str(head + "\n" + self.attr("summary").attr("to_string")().cast<std::string>());
}

}  // namespace

py::object define_report_class(py::module_ &mod) {
  py::object cls = make_class(
      mod, "Report", py::module_::import("builtins").attr("object"),
      "The report of one factor, made by factorsearch.report: summary (Series), daily "
      "(DataFrame by back-test date), quantile_returns (DataFrame), ic_decay (Series), "
      "plot() (a Figure, or one PNG with a path; needs matplotlib), an HTML view in notebooks.");
  def_method(cls, "plot", "plot(self, path=None, title=None, split=None, trials=None)",
             "Draws net value before and after costs with their Sharpe values, rolling IC, "
             "quantile returns relative to the day's mean (± 2 SE) with the top-minus-bottom "
             "spread, rank IC decay with two Newey-West standard-error bands, eligible stocks per "
             "day against the legs' need; the statistics line is kept under a `title`; `split` (a "
             "date) marks where a hold-out starts; `trials` (the per-day Sharpe values of every "
             "formula tried, e.g. mine's attrs['trial_sharpes']) shows the deflated Sharpe instead "
             "of P(Sharpe > 0). Without `path` returns the matplotlib Figure; with one writes a PNG "
             "atomically (a temporary file renamed over the old one) and returns `path`. Needs "
             "matplotlib (pip install 'alphaloom[plot]').",
             &plot_report, py::arg("path") = py::none(), py::arg("title") = py::none(),
             py::arg("split") = py::none(), py::arg("trials") = py::none());
  def_method(cls, "__repr__", "repr(self)", nullptr, &report_repr);
  def_method(cls, "_repr_html_", "repr_html(self)",
             "The heading and the summary as an HTML table, with the picture inline when "
             "matplotlib is there (what a notebook shows).",
             &report_html);
  return cls;
}

namespace {

// The report's settings from the call's arguments (named as the caller wrote them).
ReportSettings read_settings(const Args &a) {
  ReportSettings settings;
  settings.legs = a.whole("l");
  settings.quantiles = a.whole("quantiles");
  settings.hedged = !a.flag("long_only");
  const py::object cost_bps = a["cost_bps"];
  if (PyBool_Check(cost_bps.ptr()) || !PyNumber_Check(cost_bps.ptr()))
    raise(PyExc_TypeError, "cost_bps must be a number, got " + type_name(cost_bps));
  settings.cost_bps = to_double(cost_bps);
  if (!std::isfinite(settings.cost_bps) || settings.cost_bps < 0)
    raise(PyExc_ValueError, format("cost_bps must be a finite number >= 0, got {!r}", cost_bps));
  return settings;
}

// 1st, 2nd, 3rd, 4th, ..., 11th, 12th, 13th, ..., 21st.
std::string ordinal(std::size_t k) {
  const std::size_t tens = k % 100, ones = k % 10;
  const char *suffix = (tens >= 11 && tens <= 13) ? "th"
                       : ones == 1                ? "st"
                       : ones == 2                ? "nd"
                       : ones == 3                ? "rd"
                                                  : "th";
  return std::to_string(k) + suffix;
}

// A factor frame the back-test can walk: numbers, unique ascending dates, unique codes.
// The warmup + 3 date rule holds for the default days only (`ranged`: the caller named its
// dates).
void check_factor(py::handle factor, bool ranged, std::size_t warmup) {
  py::object dates = factor.attr("index");
  py::object codes = factor.attr("columns");
  const std::size_t n = py::len(dates);
  if (py::len(codes) == 0) raise(PyExc_ValueError, "the factor has no stock columns");
  if (!ranged && n < warmup + 3)
    raise(PyExc_ValueError,
          format("a report needs at least {} dates (trading starts on the {}), the factor has {}",
                 warmup + 3, ordinal(warmup + 1), n));
  if (!codes.attr("is_unique").cast<bool>())
    raise(PyExc_ValueError, format("the factor has duplicate columns: {!r}",
                                   py::list(codes[codes.attr("duplicated")()])));
  if (!dates.attr("is_unique").cast<bool>())
    raise(PyExc_ValueError, "the factor has duplicate dates");
  // The back-test walks the rows in order: descending dates would trade backwards in time.
  if (!dates.attr("is_monotonic_increasing").cast<bool>())
    raise(PyExc_ValueError, "the factor's dates must be ascending");
  py::list bad = non_numeric_columns(factor);
  if (py::len(bad) > 0)
    raise(PyExc_ValueError, format("factor values must be numbers; not numeric: {!r}", bad));
}

// The prices on the factor's dates and codes, in its order.
py::object aligned_prices(py::handle factor, py::handle given_prices) {
  py::object dates = factor.attr("index");
  py::object codes = factor.attr("columns");
  require_price_columns(given_prices, codes);
  refuse_repeated_labels(given_prices, "price1");
  py::object prices = given_prices.attr("reindex")("columns"_a = codes);
  if (!prices.attr("index").attr("equals")(dates).cast<bool>()) {
    if (!prices.attr("index").attr("isin")(dates).attr("any")().cast<bool>())
      raise(PyExc_ValueError, "price1 holds none of the factor's dates");
    prices = prices.attr("reindex")(dates);
  }
  py::list bad = non_numeric_columns(prices);
  if (py::len(bad) > 0)
    raise(PyExc_ValueError, format("prices must be numbers; not numeric: {!r}", bad));
  return prices;
}

py::object daily_frame(const DailyRows &d, py::handle dates) {
  std::vector<py::ssize_t> positions(d.t.begin(), d.t.end());
  py::object day_index = dates.attr("take")(py::array_t<py::ssize_t>(
      static_cast<py::ssize_t>(positions.size()), positions.data()));
  py::dict columns;
  columns["long"] = to_array(d.long_ret);
  columns["short"] = to_array(d.short_ret);
  columns["return"] = to_array(d.ret);
  columns["net_value"] = to_array(d.net);
  columns["turnover"] = to_array(d.turnover);
  columns["cost"] = to_array(d.cost);
  columns["return_after_cost"] = to_array(d.ret_after_cost);
  columns["net_value_after_cost"] = to_array(d.net_after_cost);
  columns["ic"] = to_array(d.ic);
  columns["rank_ic"] = to_array(d.rank_ic);
  columns["eligible"] = to_array(d.eligible);
  return pandas().attr("DataFrame")(columns, "index"_a = day_index);
}

py::object summary_series(const ReportStats &st) {
  const auto values = summary_values(st);
  py::list keys;
  for (const char *k : kSummaryKeys) keys.append(k);
  return pandas().attr("Series")(to_array(std::vector<double>(values.begin(), values.end())),
                                 "index"_a = keys, "name"_a = "summary");
}

py::object quantile_frame(const Report &rep) {
  py::module_ pd = pandas();
  const auto q = static_cast<std::int64_t>(rep.quantile_mean.size());
  py::object q_index = pd.attr("RangeIndex")(1, q + 1, "name"_a = "quantile");
  py::dict q_columns;
  q_columns["mean_return"] = to_array(rep.quantile_mean);
  q_columns["count"] = py::array_t<std::int64_t>(static_cast<py::ssize_t>(q), rep.quantile_count.data());
  q_columns["relative_return"] = to_array(rep.quantile_relative);
  q_columns["relative_return_se"] = to_array(rep.quantile_relative_se);
  return pd.attr("DataFrame")(q_columns, "index"_a = q_index);
}

py::object decay_series(const Report &rep) {
  py::module_ pd = pandas();
  std::vector<double> decay(rep.decay.begin(), rep.decay.end());
  return pd.attr("Series")(
      to_array(decay),
      "index"_a = pd.attr("RangeIndex")(1, static_cast<std::int64_t>(kDecayHorizons) + 1, "name"_a = "h"),
      "name"_a = "rank_ic");
}

// The back-test days within [start, end] (dates, or anything pd.Timestamp takes; either may be
// None), kept to the flagged dates when `only` is not empty. ValueError naming the range and the
// data's dates when no day is left.
DayRange date_range(py::handle dates, py::handle start, py::handle end,
                    std::span<const char> only = {}) {
  const std::size_t n = py::len(dates);
  DayRange days;
  days.first = 0;
  days.only = only;
  if (!start.is_none())
    days.first = dates.attr("searchsorted")(date_key(dates, start, "start"), "side"_a = "left")
                     .cast<std::size_t>();
  if (!end.is_none()) {
    const auto after = dates.attr("searchsorted")(date_key(dates, end, "end"), "side"_a = "right")
                           .cast<std::size_t>();
    if (after == 0) days.first = 1;  // nothing on or before `end`
    days.last = after == 0 ? 0 : after - 1;
  }
  if (count_traded_days(n, days) == 0)
    raise(PyExc_ValueError,
          format("no back-test day in [{}, {}]{}: a day needs two later dates for its prices; "
                 "the data runs from {} to {}",
                 start, end, only.empty() ? "" : " among the predicted dates",
                 n ? py::object(dates[py::int_(0)]) : py::object(py::none()),
                 n ? py::object(dates[py::int_(n - 1)]) : py::object(py::none())));
  return days;
}

// What the forecasters' predict returns: a Series, or a one-column DataFrame, on a (datetime,
// instrument) MultiIndex. A DataFrame on any other index is a wide dates x codes factor.
bool is_prediction(py::handle factor) {
  py::module_ pd = pandas();
  if (py::isinstance(factor, pd.attr("Series"))) return true;
  return py::isinstance(factor, pd.attr("DataFrame")) &&
         py::isinstance(factor.attr("index"), pd.attr("MultiIndex"));
}

// The prediction's values as one Series, with its (datetime, instrument) levels checked.
py::object prediction_series(py::handle factor) {
  py::module_ pd = pandas();
  const char *expected =
      "a prediction needs a (datetime, instrument) MultiIndex: two levels named 'datetime' and "
      "'instrument', as predict returns for a frame from window_features";
  py::object index = factor.attr("index");
  if (!py::isinstance(index, pd.attr("MultiIndex")))
    raise(PyExc_ValueError, format("{}; got an index of type {}", expected, type_name(index)));
  py::list names = py::module_::import("builtins").attr("list")(index.attr("names"));
  const auto named = [&](const char *want) {
    std::size_t k = 0;
    for (py::handle nm : names) k += !nm.is_none() && py::str(nm).cast<std::string>() == want;
    return k == 1;
  };
  if (py::len(names) != 2 || !named("datetime") || !named("instrument"))
    raise(PyExc_ValueError, format("{}; got levels {!r} (name them with "
                                   ".rename_axis(['datetime', 'instrument']))",
                                   expected, names));
  py::object series = py::reinterpret_borrow<py::object>(factor);
  if (py::isinstance(factor, pd.attr("DataFrame"))) {
    const std::size_t k = py::len(factor.attr("columns"));
    if (k != 1)
      raise(PyExc_ValueError,
            format("a prediction must have one column, got {}: {!r}", k,
                   py::list(factor.attr("columns"))));
    series = factor.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), 0)];
  }
  if (!index.attr("is_unique").cast<bool>())
    raise(PyExc_ValueError,
          format("the prediction has duplicate (datetime, instrument) pairs: {!r}",
                 py::list(index[index.attr("duplicated")()])[py::slice(0, 5, 1)]));
  py::list bad = non_numeric_columns(series.attr("to_frame")());
  if (py::len(bad) > 0)
    raise(PyExc_ValueError, "prediction values must be numbers");
  return series;
}

// Positions of `labels` in `axis`; KeyError naming (up to ten of) the labels it lacks.
std::vector<py::ssize_t> positions_in(py::handle axis, py::handle labels, const char *lacks) {
  py::array_t<py::ssize_t> where =
      py::array_t<py::ssize_t>::ensure(axis.attr("get_indexer")(labels));
  std::vector<py::ssize_t> out(where.data(), where.data() + where.size());
  if (std::find(out.begin(), out.end(), py::ssize_t{-1}) != out.end()) {
    py::object missing = py::reinterpret_borrow<py::object>(labels)[where.attr("__eq__")(-1)];
    py::list shown(missing.attr("unique")()[py::slice(0, 10, 1)]);
    raise(PyExc_KeyError, format("price1 has no {} {!r}", lacks, shown));
  }
  return out;
}

// The prediction laid out on price1's dates x columns (missing cells NaN) and, per date, whether
// it was predicted.
struct Layout {
  Matrix values;
  std::vector<char> predicted;
};

Layout lay_out(py::handle series, py::handle price1) {
  py::object dates = price1.attr("index");
  py::object codes = price1.attr("columns");
  refuse_repeated_labels(price1, "price1");
  if (!dates.attr("is_monotonic_increasing").cast<bool>())
    raise(PyExc_ValueError, "price1's dates must be ascending");
  py::object index = series.attr("index");
  const std::vector<py::ssize_t> col =
      positions_in(codes, index.attr("get_level_values")("instrument"), "column for stock(s)");
  const std::vector<py::ssize_t> row =
      positions_in(dates, index.attr("get_level_values")("datetime"), "row for date(s)");
  Matrix given(series.attr("to_numpy")("dtype"_a = py::module_::import("numpy").attr("float64")));
  const std::size_t n = py::len(dates), m = py::len(codes);
  Layout out{Matrix({n, m}), std::vector<char>(n, 0)};
  double *cell = out.values.mutable_data();
  std::fill(cell, cell + n * m, std::numeric_limits<double>::quiet_NaN());
  const double *v = given.data();
  for (std::size_t i = 0; i < row.size(); ++i) {
    cell[static_cast<std::size_t>(row[i]) * m + static_cast<std::size_t>(col[i])] = v[i];
    out.predicted[static_cast<std::size_t>(row[i])] = 1;
  }
  return out;
}

}  // namespace

// A zero price where a leg buys makes its return infinite, and the summary then read
// net_value=-inf, maxdown=inf without a word on why: a warning names the first such day.
void warn_infinite_legs(const DailyRows &d, py::handle dates) {
  std::size_t count = 0, first = 0;
  for (std::size_t i = 0; i < d.t.size(); ++i)
    if (std::isinf(d.long_ret[i]) || std::isinf(d.short_ret[i])) {
      if (count++ == 0) first = i;
    }
  if (count == 0) return;
  const std::string msg = format(
      "{} back-test day(s) have an infinite leg return, first the day {} (a price of 0 in price1 "
      "where a leg buys); the summary's figures (net_value, maxdown, sharpe) are not meaningful",
      count, dates[py::int_(d.t[first])]).cast<std::string>();
  if (PyErr_WarnEx(PyExc_RuntimeWarning, msg.c_str(), 1) < 0) throw py::error_already_set();
}

py::object make_report(py::handle report_cls, const Args &a) {
  const py::object factor = a["factor"], price1 = a["price1"], start = a["start"], end = a["end"];
  py::object frame_type = pandas().attr("DataFrame");
  const bool predicted = is_prediction(factor);
  if (!predicted && !py::isinstance(factor, frame_type))
    raise(PyExc_TypeError,
          "factor must be a DataFrame (dates x codes) or a prediction (a Series or one-column "
          "DataFrame on a (datetime, instrument) MultiIndex), got " + type_name(factor));
  if (!py::isinstance(price1, frame_type))
    raise(PyExc_TypeError, "price1 must be a DataFrame (dates x codes), got " + type_name(price1));
  ReportSettings settings = read_settings(a);
  const auto warmup = static_cast<std::size_t>(a.whole("warmup"));

  py::object dates, prices;
  Matrix f;
  std::vector<char> predicted_days;
  if (predicted) {
    // A forecast is scored on the dates it predicted: no warm-up, no date minimum.
    Layout layout = lay_out(prediction_series(factor), price1);
    dates = price1.attr("index");
    prices = py::reinterpret_borrow<py::object>(price1);
    if (py::len(price1.attr("columns")) == 0) raise(PyExc_ValueError, "price1 has no stock columns");
    py::list bad = non_numeric_columns(prices);
    if (py::len(bad) > 0)
      raise(PyExc_ValueError, format("prices must be numbers; not numeric: {!r}", bad));
    f = std::move(layout.values);
    predicted_days = std::move(layout.predicted);
    settings.days = date_range(dates, start, end, predicted_days);
  } else {
    const bool ranged = !start.is_none() || !end.is_none();
    check_factor(factor, ranged, warmup);
    prices = aligned_prices(factor, price1);
    dates = factor.attr("index");
    f = float_values(factor);
    // The caller's dates: every date in [start, end] with t+2 in the data, warm-up or not.
    if (ranged)
      settings.days = date_range(dates, start, end);
    else
      settings.days.first = warmup;
  }

  const std::size_t n = py::len(dates), m = py::len(prices.attr("columns"));
  Matrix p = float_values(prices);
  settings.threads = offered_threads();
  Report rep;
  {
    py::gil_scoped_release nogil;
    rep = build_report(PanelView{{f.data(), n * m}, {p.data(), n * m}, n, m}, settings);
  }

  warn_infinite_legs(rep.daily, dates);
  py::object out = report_cls();
  out.attr("summary") = summary_series(rep.stats);
  out.attr("daily") = daily_frame(rep.daily, dates);
  out.attr("quantile_returns") = quantile_frame(rep);
  out.attr("ic_decay") = decay_series(rep);
  std::vector<double> decay_se(rep.decay_se.begin(), rep.decay_se.end());
  out.attr("ic_decay_se") = pandas().attr("Series")(
      to_array(decay_se), "index"_a = out.attr("ic_decay").attr("index"), "name"_a = "rank_ic_se");
  out.attr("l") = py::int_(settings.legs);
  out.attr("long_only") = py::bool_(!settings.hedged);
  out.attr("quantiles") = py::int_(settings.quantiles);
  out.attr("cost_bps") = py::float_(settings.cost_bps);
  return out;
}

}  // namespace factorsearch
