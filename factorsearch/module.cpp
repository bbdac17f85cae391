// Python module `factorsearch`: FactorSearch, a random miner of daily stock-selection formulas.
#include "factorsearch/drivers.hpp"

namespace py = pybind11;
using namespace alphaloom;
using namespace factorsearch;

PYBIND11_MODULE(factorsearch, m) {
  m.doc() =
      "Random search for daily stock-selection formulas over open/high/low/close/volume, "
      "back-tested as long-short or long-only strategies.";
  // Operator names are resolved in this namespace (see bind_namespace).
  bind_namespace(m);
  py::handle mod = m;

  py::object cls = make_class(
      m, "FactorSearch", py::module_::import("builtins").attr("object"),
      "Draws random depth-three formulas from the caller's operators, evaluates them per stock and "
      "back-tests them day by day; hedge/long collect factors into factors/<run>.npy.");
  py::list fields;
  for (const char *name : kFieldNames) fields.append(name);
  cls.attr("fields") = fields;

  def_method(cls, "__init__", "init(self, fuc)",
             "fuc: pairs (operator name, arity). Sets fuc1/fuc (normalised entries), function "
             "(names) and fc (the callables the names evaluate to).",
             [mod](py::object self, py::object fuc) { search_init(mod, self, fuc); },
             py::arg("fuc"));
  def_method(cls, "build_program", "build_program(self)",
             "A random full tree of depth three in pre-order: operator entries of fuc (shared, "
             "read-only) and field indices 0-4. Draws from the `random` module.",
             [](py::object self) { return draw(self).list; });
  def_method(cls, "fuctions", "fuctions(self, fuc1)",
             "The expression text of a program, e.g. 'A(B(close), C(open, volume))'.",
             [](py::object self, py::object program) { return render_program(self, program); },
             py::arg("fuc1"));
  def_method(cls, "f", "f(self, data1, price1, zz500, l)",
             "One long-short mining attempt: the printed result row [text, net value, sharp, "
             "maxdown], or None when the formula fails.",
             [mod](py::object self, py::object data1, py::object price1, py::object zz500,
                   py::object l) { return attempt(mod, self, data1, price1, zz500, l, true); },
             py::arg("data1"), py::arg("price1"), py::arg("zz500"), py::arg("l"));
  def_method(cls, "f1", "f1(self, data1, price1, zz500, l)",
             "One long-only mining attempt; returns as f.",
             [mod](py::object self, py::object data1, py::object price1, py::object zz500,
                   py::object l) { return attempt(mod, self, data1, price1, zz500, l, false); },
             py::arg("data1"), py::arg("price1"), py::arg("zz500"), py::arg("l"));
  def_method(cls, "hedge", "hedge(self, data1, price1, zz500, ct, l)",
             "Runs long-short attempts until ct factors are found (at most 9999999 attempts), "
             "rewriting factors/<run>.npy after each.",
             [mod](py::object self, py::object data1, py::object price1, py::object zz500,
                   py::object ct, py::object l) {
               drive(mod, self, data1, price1, zz500, ct, l, true);
             },
             py::arg("data1"), py::arg("price1"), py::arg("zz500"), py::arg("ct"), py::arg("l"));
  def_method(cls, "long", "long(self, data1, price1, zz500, ct, l)",
             "As hedge, with long-only attempts.",
             [mod](py::object self, py::object data1, py::object price1, py::object zz500,
                   py::object ct, py::object l) {
               drive(mod, self, data1, price1, zz500, ct, l, false);
             },
             py::arg("data1"), py::arg("price1"), py::arg("zz500"), py::arg("ct"), py::arg("l"));

  m.def("_backtest", &backtest_arrays, py::arg("panel"), py::arg("prices"), py::arg("l"),
        py::arg("hedged"),
        "The back-test alone over dates x stocks arrays: (daily returns, net value, sharp, "
        "maxdown), or None without a back-test day.");
}
