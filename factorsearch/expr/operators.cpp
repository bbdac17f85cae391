#include "factorsearch/expr/operators.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

const builtin::Operator &builtin_of(py::handle obj) {
  auto ops = builtin::operators();
  const auto k = obj.attr("_index").cast<std::size_t>();
  if (k >= ops.size()) raise(PyExc_ValueError, "not a built-in operator");
  return ops[k];
}

bool is_float64_series(py::handle x, py::handle series_type) {
  if (!py::isinstance(x, series_type)) return false;
  return py::object(x.attr("dtype")).equal(py::dtype::of<double>());
}

// The operator on one stock's series. Float64 series on one index take the native kernel (the
// very code the panel form runs, so both forms agree bit for bit); anything else runs the pandas
// expression the operator is defined as.
py::object call_on_series(py::object self, py::args args) {
  const builtin::Operator &op = builtin_of(self);
  if (op.cross_sectional)
    raise(PyExc_TypeError,
          std::string(op.name) +
              " is cross-sectional: it compares the stocks on each date, so it has no meaning on "
              "one stock's Series; use it in a formula that FactorSearch evaluates over the "
              "universe");
  if (static_cast<int>(args.size()) != op.arity)
    raise(PyExc_TypeError, format("{}() takes {} positional argument(s) but {} were given",
                                  op.name, op.arity, args.size()));
  py::object series_type = py::module_::import("pandas").attr("Series");
  bool native = true;
  for (py::handle a : args) native = native && is_float64_series(a, series_type);
  py::object x = args[0];
  for (std::size_t k = 1; native && k < args.size(); ++k) {
    py::object idx = args[k].attr("index");
    native = idx.is(x.attr("index")) || idx.attr("equals")(x.attr("index")).cast<bool>();
  }
  if (!native) return self.attr("_pandas")(*args);

  using Column = py::array_t<double, py::array::c_style | py::array::forcecast>;
  std::vector<Column> columns;
  std::vector<const double *> in;
  for (py::handle a : args) {
    columns.emplace_back(a.attr("to_numpy")());
    in.push_back(columns.back().data());
  }
  const auto rows = static_cast<std::size_t>(columns[0].size());
  py::array_t<double> out(static_cast<py::ssize_t>(rows));
  double *o = out.mutable_data();
  {
    py::gil_scoped_release nogil;
    op.kernel(in.data(), o, rows, 1);
  }
  return series_type(out, "index"_a = x.attr("index"), "name"_a = x.attr("name"), "copy"_a = false);
}

}  // namespace

std::string kind_name(OpKind kind) {
  switch (kind) {
    case OpKind::Ufunc: return "ufunc";
    case OpKind::Native: return "native";
    case OpKind::Builtin: return "built-in";
    default: return "per-stock";
  }
}

ResolvedOp classify(py::handle mod, py::object fn) {
  ResolvedOp op;
  op.fn = fn;
  py::module_ np = py::module_::import("numpy");
  if (py::isinstance(fn, np.attr("ufunc"))) {
    op.kind = OpKind::Ufunc;
    op.ufunc = fn;
    return op;
  }
  if (fn.is(py::module_::import("builtins").attr("abs"))) {
    op.kind = OpKind::Ufunc;
    op.ufunc = np.attr("absolute");
    return op;
  }
  if (Py_TYPE(fn.ptr()) == reinterpret_cast<PyTypeObject *>(mod.attr("BuiltinOperator").ptr())) {
    op.kind = OpKind::Builtin;
    op.builtin = &builtin_of(fn);
    return op;
  }
  py::dict table = mod.attr("_native_ta");
  PyObject *hit = PyDict_GetItemWithError(table.ptr(), fn.ptr());
  if (hit) {
    op.kind = OpKind::Native;
    op.native = &ta::kernels()[py::cast<std::size_t>(py::handle(hit))];
    return op;
  }
  PyErr_Clear();  // an unhashable callable is simply not a native one
  py::object where = py::getattr(fn, "__module__", py::none());
  if (py::isinstance<py::str>(where)) {
    std::string m = where.cast<std::string>();
    if (m == "ta" || m.rfind("ta.", 0) == 0) op.kind = OpKind::Pure;
  }
  return op;
}

ResolvedOp resolve_operator(py::handle mod, py::handle self, const Drawn &drawn, std::size_t i) {
  py::object name = drawn.list[i][py::int_(0)];
  if (!py::isinstance<py::str>(name))
    raise(PyExc_TypeError,
          "an operator name must be text to appear in a formula, got " + type_name(name));
  const auto k = static_cast<std::size_t>(drawn.program[i].op);
  py::object fc = self.attr("fc"), function = self.attr("function");
  if (k < py::len(fc) && k < py::len(function) && py::object(function[py::int_(k)]).equal(name))
    return classify(mod, fc[py::int_(k)]);
  py::dict ns = mod.attr("__dict__");
  return classify(mod, ns.contains(name) ? py::object(ns[name]) : resolve_name(mod, name, py::dict()));
}

void bind_builtin_operators(py::module_ &mod) {
  py::object cls = make_class(
      mod, "BuiltinOperator", py::module_::import("builtins").attr("object"),
      "A built-in factor operator. In a formula it runs over the whole dates x stocks panel; "
      "time-series ones may also be called on one pandas Series, where they equal the pandas "
      "expression in `pandas_form`.");
  def_method(cls, "__call__", "call(self, *args)",
             "The operator on pandas Series (time-series operators only).", &call_on_series);
  def_method(cls, "__repr__", "repr(self)", nullptr, [](py::object self) {
    return format("<factorsearch operator {}>", self.attr("name"));
  });
  py::object evaluate = py::module_::import("builtins").attr("eval");
  py::dict scope;
  scope["np"] = py::module_::import("numpy");
  scope["inspect"] = py::module_::import("inspect");
  auto ops = builtin::operators();
  for (std::size_t k = 0; k < ops.size(); ++k) {
    const builtin::Operator &op = ops[k];
    const std::string params = op.arity == 2 ? "x, y" : "x";
    py::object obj = cls();
    obj.attr("name") = op.name;
    obj.attr("arity") = op.arity;
    obj.attr("cross_sectional") = op.cross_sectional;
    obj.attr("pandas_form") = op.pandas_form;
    obj.attr("_index") = k;
    // inspect.signature reads this: the operator's own positional parameters.
    obj.attr("__signature__") = evaluate("inspect.signature(lambda " + params + ", /: None)", scope);
    obj.attr("_pandas") = evaluate("lambda " + params + ": " + op.pandas_form, scope);
    mod.attr(op.name) = obj;
  }

  // Identity table: the function object itself is the key, so every alias of it is one operator.
  py::module_ ta_pkg = py::module_::import("ta");
  py::dict table;
  auto natives = ta::kernels();
  for (std::size_t k = 0; k < natives.size(); ++k) {
    if (!py::hasattr(ta_pkg, natives[k].module)) continue;
    py::object sub = ta_pkg.attr(natives[k].module);
    if (py::hasattr(sub, natives[k].name)) table[sub.attr(natives[k].name)] = k;
  }
  mod.attr("_native_ta") = table;
}

}  // namespace factorsearch
