#include "factorsearch/tree_walk.hpp"

#include <string>

namespace factorsearch {
using namespace alphaloom;

namespace {

void check_signals() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

py::object call(const py::object &fn, const std::vector<py::object> &args) {
  std::vector<PyObject *> raw(args.size());
  for (std::size_t a = 0; a < args.size(); ++a) raw[a] = args[a].ptr();
  PyObject *out = PyObject_Vectorcall(fn.ptr(), raw.data(), raw.size(), nullptr);
  if (!out) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(out);
}

}  // namespace

Walk::Walk(py::handle mod, py::handle self, const Drawn &drawn, const Market &market)
    : mod_(mod), drawn_(drawn), mk_(market), ops_(drawn.program.size()),
      slots_(drawn.program.size(), -1),
      series_type_(py::module_::import("pandas").attr("Series")) {
  py::object fields = self.attr("fields");
  for (std::size_t i = 0; i < drawn.program.size(); ++i) {
    if (drawn.program[i].is_op()) {
      ops_[i] = resolve_operator(mod, self, drawn, i);
      continue;
    }
    std::string field = py::str(fields[py::int_(drawn.program[i].field)]);
    for (int s = 0; s < 5; ++s)
      if (field == kFieldNames[s]) slots_[i] = s;
    if (slots_[i] < 0) raise(PyExc_NameError, format("name {!r} is not defined", field));
  }
}

// Node by node is exact as long as at most one node may depend on the order of its calls across
// stocks (a user function with state); with two or more, evaluate one stock at a time as the
// per-stock evaluation does. Cross-sectional operators need the node-by-node walk.
bool Walk::stock_by_stock() const {
  int others = 0;
  for (const ResolvedOp &op : ops_) {
    if (op.kind == OpKind::Builtin && op.builtin->cross_sectional) return false;
    others += op.fn && op.kind == OpKind::Other;
  }
  return others >= 2;
}

Value Walk::run() {
  pos_ = 0;
  if (memo_)
    for (const ResolvedOp &op : ops_)
      if (op.fn && op.kind == OpKind::Other) memo_ = nullptr;
  if (!stock_by_stock()) return node();
  Value v;
  v.stocks.reserve(mk_.n_stocks());
  for (std::size_t j = 0; j < mk_.n_stocks(); ++j) {
    check_signals();
    pos_ = 0;
    v.stocks.push_back(stock_node(j));
  }
  return v;
}

py::object Walk::stock_node(std::size_t j) {
  const std::size_t i = pos_++;
  if (!drawn_.program[i].is_op()) return field_objects(slots_[i])[j];
  std::vector<py::object> args;
  for (std::int64_t a = 0; a < drawn_.program[i].arity; ++a) args.push_back(stock_node(j));
  return call(ops_[i].fn, args);
}

Value Walk::node() {
  const std::size_t i = pos_++;
  if (!drawn_.program[i].is_op()) {
    Value v;
    v.field = slots_[i];
    return v;
  }
  if (memo_) {
    std::size_t end = 0;
    if (const Value *known = memo_->find(i, end)) {
      pos_ = end;
      return *known;
    }
  }
  std::vector<Value> args;
  for (std::int64_t a = 0; a < drawn_.program[i].arity; ++a) args.push_back(node());
  check_signals();
  const ResolvedOp &op = ops_[i];
  std::optional<Value> v;
  if (op.kind == OpKind::Ufunc) v = try_ufunc(op, args);
  if (op.kind == OpKind::Native || op.kind == OpKind::Builtin) v = try_kernel(op, args);
  Value out = v ? std::move(*v) : per_stock(op, args);
  if (memo_) memo_->keep(i, out);
  return out;
}

Value Walk::per_stock(const ResolvedOp &op, const std::vector<Value> &args) {
  Value v;
  v.stocks.reserve(mk_.n_stocks());
  std::vector<py::object> stock_args(args.size());
  for (std::size_t j = 0; j < mk_.n_stocks(); ++j) {
    for (std::size_t a = 0; a < args.size(); ++a) stock_args[a] = stock_arg(args[a], j);
    v.stocks.push_back(call(op.fn, stock_args));
  }
  return v;
}

// One object per field and stock, shared by every use in the formula as a name would be. In the
// panel layout they are views of a private copy of the field, so what an operator writes into
// its argument is seen by the later uses of the field in this attempt, and by no other attempt.
const std::vector<py::object> &Walk::field_objects(int s) {
  std::vector<py::object> &objs = objects_[s];
  if (!objs.empty() || mk_.n_stocks() == 0) return objs;
  objs.reserve(mk_.n_stocks());
  if (!mk_.has_panels()) {
    for (std::size_t j = 0; j < mk_.n_stocks(); ++j)
      objs.push_back(mk_.fields[j][s].attr("copy")("deep"_a = mk_.copy_deep));
    return objs;
  }
  private_[s] = py::module_::import("numpy").attr("array")(mk_.panels[s], "order"_a = "F");
  py::object all = py::slice(py::none(), py::none(), py::none());
  for (std::size_t j = 0; j < mk_.n_stocks(); ++j)
    objs.push_back(series_type_(private_[s][py::make_tuple(all, j)], "index"_a = mk_.index,
                                "name"_a = kFieldNames[s], "copy"_a = false));
  return objs;
}

py::object Walk::field_panel(int s) { return private_[s] ? private_[s] : mk_.panels[s]; }

py::object Walk::stock_arg(const Value &v, std::size_t j) {
  if (v.field >= 0) return field_objects(v.field)[j];
  if (!v.panel) return v.stocks[j];
  py::object column = v.panel[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
  if (!v.series) return column;
  return series_type_(column, "index"_a = mk_.index, "name"_a = v.name, "copy"_a = false);
}

}  // namespace factorsearch
