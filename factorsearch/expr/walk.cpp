#include "factorsearch/expr/walk.hpp"

#include <algorithm>
#include <string>

#include "common/parallel.hpp"
#include "common/signals.hpp"
#include "factorsearch/expr/panel_assembly.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

py::object call(const py::object &fn, const std::vector<py::object> &args) {
  std::vector<PyObject *> raw(args.size());
  for (std::size_t a = 0; a < args.size(); ++a) raw[a] = args[a].ptr();
  PyObject *out = PyObject_Vectorcall(fn.ptr(), raw.data(), raw.size(), nullptr);
  if (!out) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(out);
}

using Panel = py::array_t<double, py::array::f_style>;

// Columns per kernel call: pending signals are checked between calls.
constexpr std::size_t kBlockColumns = 256;

// pandas computes x // y on Series itself (filling the 0 / 0 and x / 0 cells its own way), so that
// one ufunc does not equal its Series form.
bool ufunc_fits(const py::object &ufunc, std::size_t arity) {
  if (!ufunc.attr("signature").is_none()) return false;
  if (ufunc.attr("nout").cast<std::size_t>() != 1) return false;
  if (ufunc.attr("nin").cast<std::size_t>() != arity) return false;
  return !ufunc.is(py::module_::import("numpy").attr("floor_divide"));
}

bool names_agree(const std::vector<py::object> &names) {
  for (const py::object &name : names) {
    bool same = false;
    try {
      same = name.is(names[0]) || name.equal(names[0]);
    } catch (py::error_already_set &) {
      same = false;
    }
    if (!same) return false;
  }
  return true;
}

// pandas' rule for the name of a result of several Series: kept when they all agree.
py::object common_name(const std::vector<py::object> &names) {
  return !names.empty() && names_agree(names) ? names[0] : py::object(py::none());
}

bool is_float64(py::handle array) {
  return py::reinterpret_borrow<py::array>(array).dtype().equal(py::dtype::of<double>());
}

// Whether the ufunc gives float64 on float64 arguments, so its result may go into a float64
// array of ours (NumPy without dtype resolution: never).
bool float64_result(const py::object &ufunc, std::size_t arity) {
  if (!py::hasattr(ufunc, "resolve_dtypes")) return false;
  py::object f8 = py::dtype::of<double>();
  py::list dtypes;
  for (std::size_t a = 0; a < arity; ++a) dtypes.append(f8);
  dtypes.append(py::none());
  try {
    py::tuple resolved = ufunc.attr("resolve_dtypes")(py::tuple(dtypes));
    return py::object(resolved[py::int_(arity)]).equal(f8);
  } catch (py::error_already_set &) {
    return false;
  }
}

}  // namespace

PanelPool::Panel PanelPool::take(std::size_t n_dates, std::size_t n_stocks) {
  for (Panel &a : arrays_)
    if (a.ref_count() == 1 && a.writeable()) return a;
  Panel fresh({n_dates, n_stocks});
  const std::size_t bytes = n_dates * n_stocks * sizeof(double);
  if (arrays_.size() < kArrays && (arrays_.size() + 1) * bytes <= kBytes) arrays_.push_back(fresh);
  return fresh;
}

Panel Walk::fresh_panel() {
  if (pool_) return pool_->take(mk_.n_dates, mk_.n_stocks());
  return Panel({mk_.n_dates, mk_.n_stocks()});
}

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

// ---------------------------------------------------------------------------------------------
// Panel forms: NumPy ufuncs over whole panels, native `ta` kernels and built-in operators over
// column blocks with the GIL released.

// The value as a float64 panel, when its per-stock form holds exactly those numbers: float64
// Series on data1's dates (all of one name) or float64 arrays of one value per date.
std::optional<Walk::PanelArg> Walk::exact_panel(const Value &v) {
  if (v.field >= 0 && mk_.has_panels())
    return PanelArg{field_panel(v.field), true, py::str(kFieldNames[v.field])};
  if (v.panel) {
    if (!is_float64(v.panel)) return std::nullopt;
    return PanelArg{v.panel, v.series, v.name};
  }
  const std::vector<py::object> &objs = v.field >= 0 ? field_objects(v.field) : v.stocks;
  if (objs.empty()) return std::nullopt;
  const bool series = py::isinstance(objs[0], series_type_);
  for (const py::object &o : objs) {
    if (series) {
      if (!py::isinstance(o, series_type_) || !py::object(o.attr("dtype")).equal(py::dtype::of<double>()))
        return std::nullopt;
      py::object idx = o.attr("index");
      if (!idx.is(mk_.index) && !idx.attr("equals")(mk_.index).cast<bool>()) return std::nullopt;
      if (!names_agree({objs[0].attr("name"), o.attr("name")})) return std::nullopt;
    } else {
      if (!py::isinstance<py::array>(o) || !is_float64(o)) return std::nullopt;
      auto a = py::reinterpret_borrow<py::array>(o);
      if (a.ndim() != 1 || static_cast<std::size_t>(a.shape(0)) != mk_.n_dates) return std::nullopt;
    }
  }
  return PanelArg{stack_results(objs, mk_), series, series ? py::object(objs[0].attr("name")) : py::object(py::none())};
}

// Any value as a float64 panel, as the factor panel of a formula ending here would be.
py::object Walk::any_panel(const Value &v) { return as_panel(v, *this, mk_); }

std::optional<Value> Walk::try_ufunc(const ResolvedOp &op, const std::vector<Value> &args) {
  if (!ufunc_fits(op.ufunc, args.size())) return std::nullopt;
  py::tuple arrays(args.size());
  std::vector<py::object> names;
  bool series = false;
  for (std::size_t a = 0; a < args.size(); ++a) {
    std::optional<PanelArg> p = exact_panel(args[a]);
    if (!p) return std::nullopt;
    arrays[a] = p->array;
    if (p->series) names.push_back(p->name);
    series = series || p->series;
  }
  Value v;
  if (pool_ && float64_result(op.ufunc, args.size())) {
    Panel out = fresh_panel();
    py::dict kw;
    kw["out"] = out;
    op.ufunc(*arrays, **kw);
    v.panel = out;
  } else {
    v.panel = py::module_::import("numpy").attr("asfortranarray")(op.ufunc(*arrays));
  }
  v.series = series;
  v.name = common_name(names);
  return v;
}

// Native `ta` kernels and built-in operators. Time-series ones take float64 Series only (their
// per-stock form on anything else is pandas' own, which may differ or fail); cross-sectional
// ones have no per-stock form and take any value that makes a factor panel.
std::optional<Value> Walk::try_kernel(const ResolvedOp &op, const std::vector<Value> &args) {
  const bool cross = op.builtin && op.builtin->cross_sectional;
  const int arity = op.native ? op.native->arity : op.builtin->arity;
  if (static_cast<int>(args.size()) != arity) return std::nullopt;
  // Too short for the `ta` function itself: its per-stock call raises as `ta` does, where the
  // kernel would have nothing to compute and return placeholder values.
  if (op.native && mk_.n_dates < op.native->min_rows) return std::nullopt;
  std::vector<Panel> keep;
  py::object name = py::none();
  for (const Value &arg : args) {
    if (cross) {
      keep.emplace_back(any_panel(arg));
      continue;
    }
    std::optional<PanelArg> p = exact_panel(arg);
    if (!p || !p->series) return std::nullopt;
    if (keep.empty()) name = p->name;
    keep.emplace_back(p->array);
  }
  const std::size_t n = mk_.n_dates, m = mk_.n_stocks();
  std::vector<const double *> base;
  for (const Panel &k : keep) base.push_back(k.data());
  Panel out = fresh_panel();
  double *o = out.mutable_data();
  const std::size_t block = cross ? std::max<std::size_t>(m, 1) : kBlockColumns;
  const int threads = process_threads();
  for (std::size_t c0 = 0; c0 < m; c0 += block) {
    check_signals();
    const std::size_t cols = std::min(block, m - c0);
    std::vector<const double *> in(base.size());
    for (std::size_t a = 0; a < base.size(); ++a) in[a] = base[a] + c0 * n;
    py::gil_scoped_release nogil;
    if (op.native)
      ta::run_panel(*op.native, in.data(), o + c0 * n, n, cols, threads);
    else
      op.builtin->kernel(in.data(), o + c0 * n, n, cols);
  }
  Value v;
  v.panel = out;
  v.name = op.builtin ? name : py::object(py::none());
  return v;
}

Panel as_panel(const Value &v, Walk &walk, const Market &market) {
  // Repeated dates: the per-stock assembly is what decides (and may refuse) the panel.
  if (!market.unique_index && (v.panel || v.field >= 0)) {
    std::vector<py::object> stocks;
    for (std::size_t j = 0; j < market.n_stocks(); ++j) stocks.push_back(walk.stock_arg(v, j));
    return stack_results(stocks, market);
  }
  if (v.field >= 0 && market.has_panels()) return Panel(walk.field_panel(v.field));
  if (v.panel) {
    py::module_ np = py::module_::import("numpy");
    return Panel(np.attr("asarray")(v.panel, "dtype"_a = np.attr("float64"), "order"_a = "F"));
  }
  if (v.field >= 0) {
    std::vector<py::object> stocks;
    for (std::size_t j = 0; j < market.n_stocks(); ++j) stocks.push_back(walk.stock_arg(v, j));
    return stack_results(stocks, market);
  }
  return stack_results(v.stocks, market);
}

}  // namespace factorsearch
