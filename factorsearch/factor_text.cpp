// FactorSearch.factor: the factor panel of a formula text, evaluated as a mining attempt does.
#include "factorsearch/factor_text.hpp"

#include <string>
#include <vector>

#include "factorsearch/formula_parser.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

// Warnings are silenced for the evaluation only (an attempt silences them for the process).
class QuietWarnings {
 public:
  QuietWarnings() : ctx_(py::module_::import("warnings").attr("catch_warnings")()) {
    ctx_.attr("__enter__")();
    py::module_::import("warnings").attr("simplefilter")("ignore");
  }
  ~QuietWarnings() {
    try {
      py::error_scope keep;  // an error in flight must survive the exit call
      ctx_.attr("__exit__")(py::none(), py::none(), py::none());
    } catch (...) {
    }
  }

 private:
  py::object ctx_;
};

// The formula read back into a drawn program of `self`'s operators (by identity) and fields.
Drawn read_formula(py::handle self, py::handle formula) {
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

  Drawn drawn;
  try {
    drawn.program = parse_formula(formula.cast<std::string>(), ops, fields);
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
