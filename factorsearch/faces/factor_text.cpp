// FactorSearch.factor: the factor panel of a formula text, evaluated as a mining attempt does.
#include "factorsearch/faces/factor_text.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "factorsearch/search/drivers.hpp"
#include "factorsearch/expr/formula_names.hpp"
#include "factorsearch/runtime/quiet_warnings.hpp"
#include "factorsearch/search/pool.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

// The formula as a message shows it: whole when short, else the characters around `pos` (a
// 13 MB formula made a 13 MB message).
constexpr Py_ssize_t kEchoWhole = 200, kEchoAround = 60;

py::str formula_echo(py::handle formula, Py_ssize_t pos) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(formula.ptr());
  if (n <= kEchoWhole) return format("{!r}", formula);
  const Py_ssize_t a = std::max<Py_ssize_t>(0, pos - kEchoAround);
  const Py_ssize_t b = std::min(n, pos + kEchoAround);
  py::object part = formula[py::slice(a, b, 1)];
  return format("{}{!r}{} ({} characters, shown from position {})", a > 0 ? "..." : "", part,
                b < n ? "..." : "", n, a);
}

// The formula read back into a drawn program of `self`'s operators (by identity) and fields.
Drawn read_formula(py::handle self, py::handle formula) {
  py::object fuc = self.attr("fuc");
  const OperatorTable names = operator_table(self);

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
          format("cannot read formula {}: {!r} is not a character (a lone surrogate) at "
                 "position {}",
                 formula_echo(formula, pos), py::reinterpret_borrow<py::str>(formula)[py::int_(pos)],
                 pos));
  }
  Drawn drawn;
  try {
    drawn.program =
        parse_formula(std::string_view(utf8, static_cast<std::size_t>(size)), names.specs,
                      names.fields);
  } catch (const FormulaError &e) {
    raise(PyExc_ValueError,
          format("cannot read formula {}: {}",
                 formula_echo(formula, static_cast<Py_ssize_t>(e.position())), e.what()));
  }
  drawn.list = program_as_list(drawn.program, fuc);
  return drawn;
}

// The market a factor is evaluated over. The field preparation is the attempt's own; it also
// reads a price frame, which a factor does not need, so it gets an empty one on the same dates.
Market factor_market(py::handle frames, py::handle universe) {
  py::module_ pd = py::module_::import("pandas");
  check_market_types(frames, py::none(), universe, /*with_prices=*/false);
  py::list codes(py::reinterpret_borrow<py::object>(universe));
  if (py::len(codes) == 0) raise(PyExc_ValueError, "zz500 names no stock");
  py::object no_prices = pd.attr("DataFrame")(
      "index"_a = frames.attr("index"), "columns"_a = pd.attr("unique")(pd.attr("Index")(codes)),
      "dtype"_a = "float64");
  return prepare_market(frames, no_prices, codes);
}

}  // namespace

py::object factor_frame(py::handle mod, py::object self, py::handle formula, py::handle frames,
                        py::handle universe) {
  if (!py::isinstance<py::str>(formula))
    raise(PyExc_TypeError, "formula must be text, got " + type_name(formula));
  Drawn drawn = read_formula(self, formula);

  Market market = factor_market(frames, universe);

  register_operators(mod, self);
  py::object values;
  {
    QuietWarnings quiet;
    values = evaluate_program(mod, self, drawn, market);
  }
  return py::module_::import("pandas").attr("DataFrame")(
      values, "index"_a = market.index, "columns"_a = py::module_::import("pandas").attr("Index")(market.codes));
}

}  // namespace factorsearch

namespace factorsearch {

py::object combine_frame(py::handle mod, py::object self, py::handle pool, py::handle frames,
                         py::handle universe, py::handle weights) {
  py::object texts, given = py::reinterpret_borrow<py::object>(weights);
  const bool frame = py::isinstance(pool, py::module_::import("pandas").attr("DataFrame"));
  if (frame) {
    if (!pool.attr("columns").attr("__contains__")("formula").cast<bool>() ||
        !pool.attr("columns").attr("__contains__")("weight").cast<bool>())
      raise(PyExc_ValueError, "pool must have the columns formula and weight (as pool returns "
                              "it), or be a list of formulas with weights=");
    if (!weights.is_none())
      raise(PyExc_ValueError, "weights= goes with a list of formulas; a pool frame carries its "
                              "weight column");
    texts = py::list(pool["formula"]);
    given = py::list(pool["weight"]);
  } else {
    if (py::isinstance<py::str>(pool) || !py::isinstance<py::sequence>(pool))
      raise(PyExc_ValueError, format("pool must be a pool frame or a list of formulas, got {}",
                                     type_name(pool)));
    if (weights.is_none())
      raise(PyExc_ValueError, "weights= is needed with a list of formulas (one weight each)");
    if (py::isinstance<py::str>(weights) || !py::isinstance<py::sequence>(weights))
      raise(PyExc_ValueError,
            format("weights must be a list of finite numbers, got {}", type_name(weights)));
    texts = py::list(py::reinterpret_borrow<py::object>(pool));
    given = py::list(py::reinterpret_borrow<py::object>(weights));
  }
  const std::size_t k = py::len(texts);
  if (k == 0) raise(PyExc_ValueError, "pool holds no formula");
  if (py::len(given) != k)
    raise(PyExc_ValueError, format("pool holds {} formulas but weights {} numbers", k,
                                   py::len(given)));
  std::vector<double> w;
  for (py::handle v : given) {
    double x = std::numeric_limits<double>::quiet_NaN();
    if (!PyBool_Check(v.ptr())) {
      try {
        x = to_double(v);
      } catch (py::error_already_set &) {
      }
    }
    if (!std::isfinite(x))
      raise(PyExc_ValueError, format("weights must be finite numbers, got {!r}", v));
    w.push_back(x);
  }
  std::vector<Drawn> programs;
  for (py::handle text : texts) {
    if (!py::isinstance<py::str>(text))
      raise(PyExc_ValueError, format("pool: a formula must be text, got {!r}", text));
    try {
      programs.push_back(read_formula(self, text));
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_ValueError)) throw;
      raise(PyExc_ValueError, format("pool: {}", py::str(e.value())));
    }
  }
  Market market = factor_market(frames, universe);
  register_operators(mod, self);
  std::vector<double> values;
  {
    QuietWarnings quiet;
    if (!combined_values(mod, self, programs, w, market, values))
      raise(PyExc_ValueError, "zz500 must name at least two stocks to combine factors over");
  }
  const std::size_t n = market.n_dates, m = market.n_stocks();
  py::array_t<double> arr({n, m});
  std::copy(values.begin(), values.end(), arr.mutable_data());
  py::module_ pd = py::module_::import("pandas");
  return pd.attr("DataFrame")(arr, "index"_a = market.index,
                              "columns"_a = pd.attr("Index")(market.codes));
}

}  // namespace factorsearch
