// FactorSearch.factor: the factor panel of a formula text, evaluated as a mining attempt does.
#include "factorsearch/faces/factor_text.hpp"

#include <string>
#include <vector>

#include "factorsearch/search/drivers.hpp"
#include "factorsearch/expr/formula_names.hpp"
#include "factorsearch/runtime/quiet_warnings.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

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
          format("cannot read formula {!r}: {!r} is not a character (a lone surrogate) at "
                 "position {}",
                 formula, py::reinterpret_borrow<py::str>(formula)[py::int_(pos)], pos));
  }
  Drawn drawn;
  try {
    drawn.program =
        parse_formula(std::string_view(utf8, static_cast<std::size_t>(size)), names.specs,
                      names.fields);
  } catch (const FormulaError &e) {
    raise(PyExc_ValueError, format("cannot read formula {!r}: {}", formula, e.what()));
  }
  drawn.list = program_as_list(drawn.program, fuc);
  return drawn;
}

}  // namespace

py::object factor_frame(py::handle mod, py::object self, py::handle formula, py::handle frames,
                        py::handle universe) {
  if (!py::isinstance<py::str>(formula))
    raise(PyExc_TypeError, "formula must be text, got " + type_name(formula));
  Drawn drawn = read_formula(self, formula);

  py::module_ pd = py::module_::import("pandas");
  check_market_types(frames, py::none(), universe, /*with_prices=*/false);
  py::list codes(py::reinterpret_borrow<py::object>(universe));
  if (py::len(codes) == 0) raise(PyExc_ValueError, "zz500 names no stock");
  // The field preparation is the attempt's own; it also reads a price frame, which a factor does
  // not need, so it gets an empty one on the same dates.
  py::object no_prices = pd.attr("DataFrame")(
      "index"_a = frames.attr("index"), "columns"_a = pd.attr("unique")(pd.attr("Index")(codes)),
      "dtype"_a = "float64");
  Market market = prepare_market(frames, no_prices, codes);

  register_operators(mod, self);
  py::object values;
  {
    QuietWarnings quiet;
    values = evaluate_program(mod, self, drawn, market);
  }
  return pd.attr("DataFrame")(values, "index"_a = market.index,
                              "columns"_a = pd.attr("Index")(codes));
}

}  // namespace factorsearch
