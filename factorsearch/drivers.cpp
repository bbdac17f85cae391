#include "factorsearch/drivers.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "factorsearch/backtest.hpp"
#include "factorsearch/quiet_warnings.hpp"
#include "factorsearch/result_table.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {
std::string path_of(const std::string &dir, int run) {
  return dir + "/" + std::to_string(run) + ".npy";
}
}  // namespace

// Anything but a whole number would make every attempt fail or the loop never meet its target.
std::int64_t whole_number(py::handle value, const char *name, std::int64_t minimum) {
  std::optional<std::int64_t> n;
  if (!PyBool_Check(value.ptr())) {
    if (PyObject *i = PyNumber_Index(value.ptr())) {
      auto owned = py::reinterpret_steal<py::object>(i);
      int overflow = 0;
      long long v = PyLong_AsLongLongAndOverflow(owned.ptr(), &overflow);
      // Beyond 64 bits a count means "no limit" (or is negative, and refused below).
      n = overflow > 0 ? std::numeric_limits<std::int64_t>::max()
                       : overflow < 0 ? std::numeric_limits<std::int64_t>::min() : v;
    } else {
      PyErr_Clear();
      if (PyFloat_Check(value.ptr())) {
        double d = PyFloat_AsDouble(value.ptr());
        if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9.0e15)
          n = static_cast<std::int64_t>(d);
      }
    }
  }
  if (!n || *n < minimum)
    raise(PyExc_ValueError,
          format("{} must be a whole number >= {}, got {!r}", name, minimum, value));
  return *n;
}

bool switch_value(py::handle value, const char *name) {
  if (PyBool_Check(value.ptr())) return value.ptr() == Py_True;
  if (py::isinstance(value, py::module_::import("numpy").attr("bool_")))
    return PyObject_IsTrue(value.ptr()) == 1;
  if (PyLong_Check(value.ptr())) {
    auto v = py::reinterpret_borrow<py::int_>(value);
    if (v.equal(py::int_(1))) return true;
    if (v.equal(py::int_(0))) return false;
  }
  raise(PyExc_TypeError, format("{} must be True or False, got {!r}", name, value));
}

void check_market_types(py::handle data1, py::handle price1, py::handle zz500,
                        bool with_prices) {
  py::object frame = py::module_::import("pandas").attr("DataFrame");
  if (!py::isinstance(data1, frame))
    raise(PyExc_TypeError, "data1 must be a DataFrame (dates x (code, field) columns), got " +
                               type_name(data1));
  if (with_prices && !py::isinstance(price1, frame))
    raise(PyExc_TypeError,
          "price1 must be a DataFrame (dates x codes), got " + type_name(price1));
  if (py::isinstance<py::str>(zz500) || py::isinstance<py::bytes>(zz500) ||
      !py::hasattr(zz500, "__iter__"))
    raise(PyExc_TypeError, "zz500 must be a list of stock codes, got " + type_name(zz500));
}

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

ResultFile::ResultFile(const std::string &directory) : dir_(directory) {
  py::module_ os = py::module_::import("os");
  os.attr("makedirs")(dir_, "exist_ok"_a = true);
  std::size_t taken = 0;
  for (int run = 0; run < 1000; ++run)
    if (os.attr("path").attr("exists")(path_of(dir_, run)).cast<bool>()) ++taken;
  if (taken == 1000)
    raise(PyExc_FileExistsError,
          dir_ + "/ holds a result file for every run number 0-999");
  py::object randint = py::module_::import("random").attr("randint");
  py::module_ np = py::module_::import("numpy");
  py::object empty = np.attr("empty")(py::make_tuple(0, 4), "dtype"_a = py::str("U1"));
  for (long tries = 0;; ++tries) {
    if (tries == 1000000)
      raise(PyExc_FileExistsError,
            "no free run number under " + dir_ + "/ after 1000000 draws");
    run_ = randint(0, 999).cast<int>();
    path_ = path_of(dir_, run_);
    if (claim(empty)) return;
  }
}

void ResultFile::save(py::handle rows) {
  // np.array(rows) turns every number into text again on each save, which grows with the number
  // of rows found; only the new rows are converted here. Joining the converted blocks gives the
  // same array: the text width is the widest of its parts, as np.array would choose.
  py::module_ np = py::module_::import("numpy");
  const std::size_t n = py::len(rows);
  if (!table_ || n < in_table_) {
    table_ = np.attr("array")(rows);
  } else if (n > in_table_) {
    py::object fresh = np.attr("array")(rows[py::slice(static_cast<py::ssize_t>(in_table_),
                                                        static_cast<py::ssize_t>(n), 1)]);
    table_ = np.attr("concatenate")(py::make_tuple(table_, fresh));
  }
  in_table_ = n;
  write_then(table_, [&](const py::object &tmp) {
    py::module_::import("os").attr("replace")(tmp, path_);
  });
}

void ResultFile::save_all(py::handle rows) {
  table_ = py::object();
  save(rows);
}

// Writes `array` in full to a private temporary file in factors/, then `finish(tmp)` puts it in
// place; the temporary file never outlives a failure.
template <typename Finish>
void ResultFile::write_then(const py::object &array, Finish &&finish) {
  py::module_ os = py::module_::import("os");
  py::module_ np = py::module_::import("numpy");
  py::object tmp = py::str(dir_ + "/." + std::to_string(run_) + ".npy." +
                           py::str(os.attr("getpid")()).cast<std::string>() + ".tmp");
  write_synced(
      tmp, false, [&](py::handle fh) { np.attr("save")(fh, array); }, [&] { finish(tmp); });
}

// True when path_ was free and now holds the empty array.
bool ResultFile::claim(const py::object &empty) {
  py::module_ os = py::module_::import("os");
  bool free = true;
  write_then(empty, [&](const py::object &tmp) {
    // A hard link never replaces an existing name, so two runs cannot both take it.
    try {
      os.attr("link")(tmp, path_);
    } catch (py::error_already_set &e) {
      if (e.matches(PyExc_FileExistsError)) {
        free = false;
      } else if (e.matches(PyExc_OSError)) {  // no hard links on this file system
        free = !os.attr("path").attr("exists")(path_).cast<bool>();
        if (free) os.attr("replace")(tmp, path_);
      } else {
        throw;
      }
    }
    if (os.attr("path").attr("exists")(tmp).cast<bool>()) os.attr("unlink")(tmp);
  });
  return free;
}

void search_init(py::handle mod, py::object self, py::object fuc) {
  py::object to_int = py::module_::import("builtins").attr("int");
  self.attr("fuc") = fuc;
  py::list fuc1, function, fc;
  self.attr("fuc1") = fuc1;
  self.attr("function") = function;
  self.attr("fc") = fc;
  py::object stored = self.attr("fuc");
  for (py::handle i : stored) {
    py::object pair = py::reinterpret_borrow<py::object>(i);
    py::object name = pair[py::int_(0)];
    py::object arity = to_int(pair[py::int_(1)]);
    if (arity < py::int_(1))
      raise(PyExc_ValueError,
            format("operator {!r} has arity {}; an operator takes at least one argument", name,
                   arity));
    py::list entry;
    entry.append(name);
    entry.append(arity);
    fuc1.append(entry);
    function.append(name);
    py::dict locals("fuc"_a = stored, "i"_a = pair, "self"_a = self);
    fc.append(resolve_name(mod, name, locals));
  }
  self.attr("fuc") = fuc1;
}

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
                   py::handle universe, py::handle legs_arg, bool hedged, const Market *market) {
  const std::int64_t legs = whole_number(legs_arg, "l", 1);
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

void check_dates_and_codes(py::handle frames, py::handle prices, py::handle universe) {
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
  py::set seen;
  for (py::handle code : universe) {
    if (seen.contains(code))
      raise(PyExc_ValueError,
            format("zz500 lists stock {!r} more than once; each code may appear once", code));
    seen.add(code);
  }
  if (n > 0 && py::len(index.attr("intersection")(prices.attr("index"))) == 0)
    raise(PyExc_ValueError, "price1 shares no dates with data1; no position could be priced");
}

Market prepare_checked_market(py::handle frames, py::handle prices, py::handle universe) {
  check_market_types(frames, prices, universe);
  check_dates_and_codes(frames, prices, universe);
  // Data no formula can be back-tested on would only make every attempt a miss, for hours.
  Market market = prepare_market(frames, prices, universe);
  if (market.n_stocks() < 2)
    raise(PyExc_ValueError,
          format("the universe needs at least two stocks, got {}", market.n_stocks()));
  if (market.n_dates < kMinDates)
    raise(PyExc_ValueError, format("a back-test needs at least {} trading dates, data1 has {}",
                                   kMinDates, market.n_dates));
  return market;
}

void drive(py::handle mod, py::object self, py::handle frames, py::handle prices,
           py::handle universe, py::handle wanted_arg, py::handle legs_arg, bool hedged) {
  const std::int64_t wanted = whole_number(wanted_arg, "ct", 0);
  whole_number(legs_arg, "l", 1);
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
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    py::object row = attempt(mod, self, frames, prices, universe, legs_arg, hedged, &market);
    if (row.is_none()) continue;
    rows.append(row);
    file.save(rows);
    ++found;
  }
}

py::object backtest_arrays(py::handle panel, py::handle prices, py::handle legs_arg, bool hedged) {
  const std::int64_t legs = whole_number(legs_arg, "l", 1);
  using Matrix = py::array_t<double, py::array::c_style | py::array::forcecast>;
  py::module_ np = py::module_::import("numpy");
  Matrix f(np.attr("asarray")(panel, "dtype"_a = np.attr("float64")));
  Matrix p(np.attr("asarray")(prices, "dtype"_a = np.attr("float64")));
  if (f.ndim() != 2 || p.ndim() != 2 || f.shape(0) != p.shape(0) || f.shape(1) != p.shape(1))
    raise(PyExc_ValueError, "panel and prices must be two arrays of the same dates x stocks shape");
  const auto n = static_cast<std::size_t>(f.shape(0));
  const auto m = static_cast<std::size_t>(f.shape(1));
  std::vector<double> pft;
  std::optional<Summary> s;
  {
    py::gil_scoped_release nogil;
    pft = daily_returns({f.data(), n * m}, {p.data(), n * m}, n, m, legs, hedged);
    s = summarise(pft);
  }
  if (!s) return py::none();
  py::array_t<double> daily(static_cast<py::ssize_t>(pft.size()));
  std::copy(pft.begin(), pft.end(), daily.mutable_data());
  return py::make_tuple(daily, s->net, s->sharpe, s->max_drawdown);
}

}  // namespace factorsearch
