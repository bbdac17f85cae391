#include "factorsearch/analysis.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "factorsearch/backtest.hpp"
#include "factorsearch/drivers.hpp"
#include "factorsearch/formula_parser.hpp"
#include "factorsearch/long_table.hpp"
#include "factorsearch/quiet_warnings.hpp"
#include "factorsearch/report.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

using Matrix = py::array_t<double, py::array::c_style | py::array::forcecast>;

py::module_ pandas() { return py::module_::import("pandas"); }
py::module_ numpy() { return py::module_::import("numpy"); }

py::array_t<double> to_array(const std::vector<double> &v) {
  py::array_t<double> out(static_cast<py::ssize_t>(v.size()));
  std::copy(v.begin(), v.end(), out.mutable_data());
  return out;
}

bool numeric_dtype(py::handle dtype) {
  py::object types = pandas().attr("api").attr("types");
  return types.attr("is_numeric_dtype")(dtype).cast<bool>() &&
         !types.attr("is_bool_dtype")(dtype).cast<bool>();
}

// The frame's columns whose dtype is not a number, as a list (empty when all are).
py::list non_numeric_columns(py::handle frame) {
  py::list bad;
  py::object dtypes = frame.attr("dtypes");
  bool all_numeric = true;  // one check per distinct dtype, not per column
  for (py::handle dtype : py::set(dtypes)) all_numeric = all_numeric && numeric_dtype(dtype);
  if (all_numeric) return bad;
  py::object items = dtypes.attr("items")();
  for (py::handle item : items) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
    if (!numeric_dtype(pair[1])) bad.append(pair[0]);
  }
  return bad;
}

Matrix float_values(py::handle frame) {
  py::module_ np = numpy();
  return Matrix(frame.attr("to_numpy")("dtype"_a = np.attr("float64"), "na_value"_a = np.attr("nan")));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// factor

py::object factor_frame(py::handle mod, py::object self, py::handle formula, py::handle data1,
                        py::handle zz500) {
  if (!py::isinstance<py::str>(formula))
    raise(PyExc_TypeError, "formula must be text, got " + type_name(formula));
  py::object fuc = self.attr("fuc");
  std::vector<OperatorSpec> ops;
  for (py::handle entry : fuc) {
    OperatorSpec spec;
    py::object name = entry[py::int_(0)];
    if (py::isinstance<py::str>(name)) spec.name = name.cast<std::string>();  // others never render
    spec.arity = py::int_(entry[py::int_(1)]).cast<std::int64_t>();
    ops.push_back(std::move(spec));
  }
  std::vector<std::string> fields;
  for (py::handle f : self.attr("fields")) fields.push_back(py::str(f).cast<std::string>());

  // A str holding a lone surrogate (text decoded with errors="surrogateescape", say) has no
  // UTF-8 form; name it the way the parser names what it cannot read.
  Py_ssize_t size = 0;
  const char *utf8 = PyUnicode_AsUTF8AndSize(formula.ptr(), &size);
  if (!utf8) {
    PyErr_Clear();
    Py_ssize_t pos = 0;
    while (pos < PyUnicode_GET_LENGTH(formula.ptr()) &&
           !Py_UNICODE_IS_SURROGATE(PyUnicode_READ_CHAR(formula.ptr(), pos)))
      ++pos;
    raise(PyExc_ValueError,
          format("cannot read formula {!r}: {!r} is not a character (a lone surrogate) at "
                 "position {}",
                 formula, py::reinterpret_borrow<py::str>(formula)[py::int_(pos)], pos));
  }
  Drawn drawn;
  try {
    drawn.program =
        parse_formula(std::string_view(utf8, static_cast<std::size_t>(size)), ops, fields);
  } catch (const FormulaError &e) {
    raise(PyExc_ValueError, format("cannot read formula {!r}: {}", formula, e.what()));
  }
  for (const Element &e : drawn.program) {
    if (e.is_op())
      drawn.list.append(fuc[py::int_(e.op)]);
    else
      drawn.list.append(py::int_(e.field));
  }

  py::module_ pd = pandas();
  check_market_types(data1, py::none(), zz500, /*with_prices=*/false);
  py::list codes(py::reinterpret_borrow<py::object>(zz500));
  if (py::len(codes) == 0) raise(PyExc_ValueError, "zz500 names no stock");
  // The field preparation is the attempt's own; it also reads a price frame, which a factor does
  // not need, so it gets an empty one on the same dates.
  py::object no_prices = pd.attr("DataFrame")(
      "index"_a = data1.attr("index"), "columns"_a = pd.attr("unique")(pd.attr("Index")(codes)),
      "dtype"_a = "float64");
  Market market = prepare_market(data1, no_prices, codes);

  register_operators(mod, self);
  py::object values;
  {
    QuietWarnings quiet;
    values = evaluate_program(mod, self, drawn, market);
  }
  return pd.attr("DataFrame")(values, "index"_a = market.index,
                              "columns"_a = pd.attr("Index")(codes));
}

// ---------------------------------------------------------------------------------------------
// report

namespace {

constexpr const char *kSummaryKeys[] = {
    "net_value", "sharpe",     "maxdown",  "ic_mean",              "ic_std",
    "icir",      "rank_ic_mean", "rank_icir", "ic_positive",       "turnover",
    "net_value_after_cost",    "sharpe_after_cost", "days"};

py::object plot_report(py::object self, py::object path, py::object title) {
  py::object figure_mod;
  try {
    figure_mod = py::module_::import("matplotlib.figure");
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_ImportError)) throw;
    py::raise_from(e, PyExc_ImportError,
                   "Report.plot needs matplotlib, an optional extra: pip install 'alphaloom[plot]'");
    throw py::error_already_set();
  }
  py::module_::import("os").attr("fspath")(path);  // a bad path fails before any drawing
  // A lone surrogate cannot be drawn; the font code would refuse it with its binding's message.
  if (py::isinstance<py::str>(title) && !PyUnicode_AsUTF8AndSize(title.ptr(), nullptr)) {
    PyErr_Clear();
    raise(PyExc_ValueError, format("title {!r} holds a lone surrogate, not a character", title));
  }

  py::object daily = self.attr("daily");
  py::object dates = daily.attr("index");
  py::object fig = figure_mod.attr("Figure")("figsize"_a = py::make_tuple(13, 8),
                                             "layout"_a = "constrained");
  py::object axes = fig.attr("subplots")(2, 2);
  auto ax = [&](int r, int c) { return axes[py::make_tuple(r, c)]; };

  py::object a = ax(0, 0);
  a.attr("plot")(dates, daily["net_value"], "label"_a = "before costs");
  a.attr("plot")(dates, daily["net_value_after_cost"],
                 "label"_a = format("after costs ({} bps per unit turnover per leg)",
                                    self.attr("cost_bps")));
  a.attr("axhline")(1.0, "color"_a = "grey", "linewidth"_a = 0.8);
  a.attr("set_title")("Net value");
  a.attr("legend")();
  a.attr("tick_params")("axis"_a = "x", "labelrotation"_a = 30);

  a = ax(0, 1);
  a.attr("bar")(dates, daily["rank_ic"], "color"_a = "lightgrey", "label"_a = "daily rank IC");
  for (const char *col : {"ic", "rank_ic"})
    a.attr("plot")(dates, daily[col].attr("rolling")(20, "min_periods"_a = 5).attr("mean")(),
                   "label"_a = format("{}, 20-day mean", std::string(col) == "ic" ? "IC" : "rank IC"));
  a.attr("axhline")(0.0, "color"_a = "grey", "linewidth"_a = 0.8);
  a.attr("set_title")("Information coefficient");
  a.attr("legend")();
  a.attr("tick_params")("axis"_a = "x", "labelrotation"_a = 30);

  py::object quant = self.attr("quantile_returns");
  a = ax(1, 0);
  py::list labels;
  for (py::handle q : quant.attr("index")) labels.append(py::str(q));
  a.attr("bar")(labels, py::object(quant["mean_return"]) * py::float_(1e4));
  a.attr("axhline")(0.0, "color"_a = "grey", "linewidth"_a = 0.8);
  a.attr("set_title")("Mean forward return by factor quantile");
  a.attr("set_xlabel")("quantile (1 = lowest factor values)");
  a.attr("set_ylabel")("bps per day");

  py::object decay = self.attr("ic_decay");
  a = ax(1, 1);
  a.attr("bar")(decay.attr("index"), decay.attr("to_numpy")());
  a.attr("axhline")(0.0, "color"_a = "grey", "linewidth"_a = 0.8);
  a.attr("set_xticks")(decay.attr("index"));
  a.attr("set_title")("Rank IC decay");
  a.attr("set_xlabel")("h: return held from t+1 to t+1+h");

  if (title.is_none()) {
    py::object s = self.attr("summary");
    title = format("{}, l = {}, {} days: net value {:.3f} ({:.3f} after costs), Sharpe {:.2f}, "
                   "rank IC {:+.4f}",
                   self.attr("long_only").cast<bool>() ? "long-only" : "long-short",
                   self.attr("l"), py::len(daily), s["net_value"], s["net_value_after_cost"],
                   s["sharpe"], s["rank_ic_mean"]);
  }
  fig.attr("suptitle")(title);
  fig.attr("savefig")(path, "format"_a = "png", "dpi"_a = 100);
  return path;
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
      "plot(path) (one PNG; needs matplotlib).");
  def_method(cls, "plot", "plot(self, path, title=None)",
             "Writes one PNG to `path`: net value with and without costs, rolling IC, mean "
             "return per quantile and rank IC decay. Returns `path`. Needs matplotlib "
             "(pip install 'alphaloom[plot]').",
             &plot_report, py::arg("path"), py::arg("title") = py::none());
  def_method(cls, "__repr__", "repr(self)", nullptr, &report_repr);
  return cls;
}

py::object make_report(py::handle report_cls, py::handle factor, py::handle price1, py::handle l,
                       py::handle long_only, py::handle quantiles, py::handle cost_bps) {
  py::module_ pd = pandas();
  py::object frame_type = pd.attr("DataFrame");
  if (!py::isinstance(factor, frame_type))
    raise(PyExc_TypeError, "factor must be a DataFrame (dates x codes), got " + type_name(factor));
  if (!py::isinstance(price1, frame_type))
    raise(PyExc_TypeError, "price1 must be a DataFrame (dates x codes), got " + type_name(price1));
  ReportSettings settings;
  settings.l = whole_number(l, "l", 1);
  settings.quantiles = whole_number(quantiles, "quantiles", 1);
  // More buckets than a day can fill only allocates empty ones (a huge count, memory).
  if (settings.quantiles > 1000)
    raise(PyExc_ValueError, format("quantiles must be at most 1000, got {!r}", quantiles));
  settings.hedged = !switch_value(long_only, "long_only");
  if (PyBool_Check(cost_bps.ptr()) || !PyNumber_Check(cost_bps.ptr()))
    raise(PyExc_TypeError, "cost_bps must be a number, got " + type_name(cost_bps));
  settings.cost_bps = to_double(cost_bps);
  if (!std::isfinite(settings.cost_bps) || settings.cost_bps < 0)
    raise(PyExc_ValueError, format("cost_bps must be a finite number >= 0, got {!r}", cost_bps));

  py::object dates = factor.attr("index");
  py::object codes = factor.attr("columns");
  const std::size_t n = py::len(dates), m = py::len(codes);
  if (m == 0) raise(PyExc_ValueError, "the factor has no stock columns");
  if (n < kMinDates)
    raise(PyExc_ValueError,
          format("a report needs at least {} dates (trading starts on the 151st), the factor has {}",
                 kMinDates, n));
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

  py::object price_columns = price1.attr("columns");
  py::list missing;
  for (py::handle code : codes)
    if (!price_columns.contains(code)) missing.append(code);
  if (py::len(missing) > 0)
    raise(PyExc_KeyError, format("price1 has no column for stock(s) {!r}", missing));
  // Repeated labels make the alignment ambiguous (pandas refuses it with a message about axes).
  for (const char *axis : {"index", "columns"})
    if (!price1.attr(axis).attr("is_unique").cast<bool>())
      raise(PyExc_ValueError,
            format("price1 has duplicate {}: {!r}",
                   py::str(std::string(axis) == "index" ? "dates" : "columns"),
                   py::list(price1.attr(axis)[price1.attr(axis).attr("duplicated")()])));
  py::object prices = price1.attr("reindex")("columns"_a = codes);
  if (!prices.attr("index").attr("equals")(dates).cast<bool>()) {
    if (!prices.attr("index").attr("isin")(dates).attr("any")().cast<bool>())
      raise(PyExc_ValueError, "price1 holds none of the factor's dates");
    prices = prices.attr("reindex")(dates);
  }
  bad = non_numeric_columns(prices);
  if (py::len(bad) > 0)
    raise(PyExc_ValueError, format("prices must be numbers; not numeric: {!r}", bad));

  Matrix f = float_values(factor), p = float_values(prices);
  Report rep;
  {
    py::gil_scoped_release nogil;
    rep = build_report({f.data(), n * m}, {p.data(), n * m}, n, m, settings);
  }

  const DailyRows &d = rep.daily;
  const ReportStats &st = rep.stats;
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
  py::object daily = pd.attr("DataFrame")(columns, "index"_a = day_index);

  const std::vector<double> summary_values{
      st.backtest.net,  st.backtest.sharp, st.backtest.maxdown, st.ic_mean,
      st.ic_std,        st.icir,           st.rank_ic_mean,     st.rank_icir,
      st.ic_positive,   st.turnover,       st.after_cost.net,   st.after_cost.sharp,
      static_cast<double>(st.days)};
  py::list keys;
  for (const char *k : kSummaryKeys) keys.append(k);
  py::object summary =
      pd.attr("Series")(to_array(summary_values), "index"_a = keys, "name"_a = "summary");

  const auto q = static_cast<std::int64_t>(rep.quantile_mean.size());
  py::object q_index = pd.attr("RangeIndex")(1, q + 1, "name"_a = "quantile");
  py::dict q_columns;
  q_columns["mean_return"] = to_array(rep.quantile_mean);
  q_columns["count"] = py::array_t<std::int64_t>(static_cast<py::ssize_t>(q), rep.quantile_count.data());
  py::object quantile_returns = pd.attr("DataFrame")(q_columns, "index"_a = q_index);

  std::vector<double> decay(rep.decay.begin(), rep.decay.end());
  py::object ic_decay = pd.attr("Series")(
      to_array(decay),
      "index"_a = pd.attr("RangeIndex")(1, static_cast<std::int64_t>(kDecayHorizons) + 1, "name"_a = "h"),
      "name"_a = "rank_ic");

  py::object out = report_cls();
  out.attr("summary") = summary;
  out.attr("daily") = daily;
  out.attr("quantile_returns") = quantile_returns;
  out.attr("ic_decay") = ic_decay;
  out.attr("l") = py::int_(settings.l);
  out.attr("long_only") = py::bool_(!settings.hedged);
  out.attr("quantiles") = py::int_(settings.quantiles);
  out.attr("cost_bps") = py::float_(settings.cost_bps);
  return out;
}

// ---------------------------------------------------------------------------------------------
// from_long

py::object from_long(py::handle frame, py::handle date, py::handle code, py::handle price) {
  py::module_ pd = pandas();
  py::module_ np = numpy();
  if (!py::isinstance(frame, pd.attr("DataFrame")))
    raise(PyExc_TypeError, "from_long takes a DataFrame, got " + type_name(frame));
  for (py::handle name : {date, code, price})
    if (!py::isinstance<py::str>(name))
      raise(PyExc_TypeError, "column names must be text, got " + type_name(name));

  // Dates and codes may come as index levels (a (date, code) MultiIndex is common).
  py::object table = py::reinterpret_borrow<py::object>(frame);
  {
    py::set columns_lower, levels_lower;
    for (py::handle col : table.attr("columns"))
      if (py::isinstance<py::str>(col)) columns_lower.add(col.attr("lower")());
    for (py::handle level : table.attr("index").attr("names"))
      if (py::isinstance<py::str>(level)) levels_lower.add(level.attr("lower")());
    for (py::handle key : {date, code}) {
      py::object k = key.attr("lower")();
      if (!columns_lower.contains(k) && levels_lower.contains(k)) {
        table = table.attr("reset_index")();
        break;
      }
    }
  }
  frame = table;

  // Case-insensitive lookup of the frame's text columns.
  py::dict by_lower;
  for (py::handle col : frame.attr("columns")) {
    if (!py::isinstance<py::str>(col)) continue;
    py::object key = col.attr("lower")();
    if (by_lower.contains(key))
      raise(PyExc_ValueError, format("columns {!r} and {!r} are one name (names are "
                                     "case-insensitive)",
                                     by_lower[key], col));
    by_lower[key] = col;
  }
  const char *fields[] = {"open", "high", "low", "close", "volume"};
  py::list wanted;
  wanted.append(date);
  wanted.append(code);
  for (const char *f : fields) wanted.append(f);
  wanted.append(price);
  py::list missing;
  for (py::handle w : wanted) {
    py::object key = w.attr("lower")();
    if (!by_lower.contains(key) && !missing.contains(w)) missing.append(w);
  }
  if (py::len(missing) > 0)
    raise(PyExc_ValueError, format("the long table has no column(s) {!r} (case-insensitive); "
                                   "it has {!r}",
                                   missing, py::list(frame.attr("columns"))));
  auto column = [&](py::handle name) { return frame[by_lower[name.attr("lower")()]]; };

  const std::size_t rows = py::len(frame);
  if (rows == 0) raise(PyExc_ValueError, "the long table has no rows");
  py::list numeric_names;
  for (const char *f : fields) numeric_names.append(f);
  numeric_names.append(price);
  for (py::handle name : numeric_names) {
    py::object col = column(name);
    if (!numeric_dtype(col.attr("dtype")))
      raise(PyExc_ValueError, format("column {!r} must hold numbers, it has dtype {}",
                                     col.attr("name"), col.attr("dtype")));
  }
  for (py::handle key : {date, code})
    if (column(key).attr("isna")().attr("any")().cast<bool>())
      raise(PyExc_ValueError,
            format("column {!r} has missing values", column(key).attr("name")));

  // Text dates sort as text: '13/01/2015' before '14/12/2014'. Read them as dates so the rows
  // come out in time order, and refuse text that is not one.
  py::object date_column = column(date);
  if (pd.attr("api").attr("types").attr("infer_dtype")(date_column, "skipna"_a = false)
          .cast<std::string>() == "string") {
    try {
      date_column = pd.attr("to_datetime")(date_column);
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
      raise(PyExc_ValueError,
            format("column {!r} holds text that cannot be read as dates ({}); convert it with "
                   "pd.to_datetime(..., format=...) first",
                   date_column.attr("name"), py::str(e.value())));
    }
  }

  using Positions = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
  py::tuple d = pd.attr("factorize")(date_column, "sort"_a = true);
  py::tuple c = pd.attr("factorize")(column(code), "sort"_a = true);
  Positions date_of(d[0]), code_of(c[0]);
  py::object dates = d[1], codes = c[1];

  std::vector<double> values(rows * 5);
  for (std::size_t f = 0; f < 5; ++f) {
    Matrix v(column(py::str(fields[f])).attr("to_numpy")("dtype"_a = np.attr("float64"),
                                                        "na_value"_a = np.attr("nan")));
    std::copy(v.data(), v.data() + rows, values.begin() + static_cast<std::ptrdiff_t>(f * rows));
  }
  Matrix price_values(column(price).attr("to_numpy")("dtype"_a = np.attr("float64"),
                                                      "na_value"_a = np.attr("nan")));
  const std::size_t n = py::len(dates), m = py::len(codes);
  std::vector<double> wide, prices;
  std::int64_t duplicate;
  {
    py::gil_scoped_release nogil;
    duplicate = scatter_long({date_of.data(), rows}, {code_of.data(), rows}, values, 5,
                             {price_values.data(), rows}, n, m, wide, prices);
  }
  if (duplicate >= 0) {
    py::object keys = pd.attr("DataFrame")(py::dict("date"_a = column(date), "code"_a = column(code)));
    auto count = keys.attr("duplicated")().attr("sum")().cast<std::int64_t>();
    py::object at = keys.attr("iloc")[py::int_(duplicate)];
    raise(PyExc_ValueError,
          format("the long table has {} duplicate (date, code) row(s); the first repeats ({!r}, "
                 "{!r})",
                 count, at["date"], at["code"]));
  }

  py::object index = pd.attr("Index")(dates, "name"_a = "date");
  py::object code_index = pd.attr("Index")(codes, "name"_a = "code");
  py::list field_list;
  for (const char *f : fields) field_list.append(f);
  py::object columns = pd.attr("MultiIndex").attr("from_product")(
      py::make_tuple(code_index, field_list), "names"_a = py::make_tuple("code", "field"));
  py::array_t<double> wide_array({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(m * 5)});
  std::copy(wide.begin(), wide.end(), wide_array.mutable_data());
  py::array_t<double> price_array({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(m)});
  std::copy(prices.begin(), prices.end(), price_array.mutable_data());
  py::object data1 = pd.attr("DataFrame")(wide_array, "index"_a = index, "columns"_a = columns);
  py::object price1 = pd.attr("DataFrame")(price_array, "index"_a = index, "columns"_a = code_index);
  return py::make_tuple(data1, price1, py::list(codes));
}

}  // namespace factorsearch
