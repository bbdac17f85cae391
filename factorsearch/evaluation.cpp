#include "factorsearch/evaluation.hpp"

#include <cmath>
#include <deque>
#include <limits>
#include <stdexcept>
#include <string>

namespace factorsearch {
using namespace alphaloom;

namespace {

// Columns are filled in this order, so a stock lacking several fields reports the first of these.
constexpr std::array<int, 5> kFillOrder{0, 3, 2, 1, 4};  // open, close, low, high, volume

py::dict module_dict(py::handle mod) {
  return py::reinterpret_borrow<py::dict>(mod.attr("__dict__"));
}

std::int64_t as_index(py::handle value) {
  PyObject *i = PyNumber_Index(value.ptr());
  if (!i) throw py::error_already_set();
  auto owned = py::reinterpret_steal<py::object>(i);
  long long v = PyLong_AsLongLong(owned.ptr());
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

// A name the registry can look up rather than compile: identifiers joined by dots, no keywords.
bool is_dotted_name(py::handle text, py::list &parts) {
  py::module_ keyword = py::module_::import("keyword");
  parts = py::list(text.attr("split")("."));
  for (py::handle part : parts) {
    if (!part.attr("isidentifier")().cast<bool>()) return false;
    if (keyword.attr("iskeyword")(part).cast<bool>()) return false;
  }
  return true;
}

// ta's own __all__ names only its frame-level wrappers; its indicator functions live in
// submodules (momentum.rsi, trend.sma_indicator, ...), which a dotted name may start from.
py::object ta_submodule(const py::str &head) {
  py::module_ ta = py::module_::import("ta");
  if (!py::hasattr(ta, head)) return py::object();
  py::object sub = ta.attr(head);
  py::object module_type = py::module_::import("types").attr("ModuleType");
  if (!py::isinstance(sub, module_type)) return py::object();
  return sub;
}

bool pandas_copies_on_write() {
  py::module_ pd = py::module_::import("pandas");
  std::string version = py::str(pd.attr("__version__"));
  if (std::stoi(version.substr(0, version.find('.'))) >= 3) return true;
  py::object option = pd.attr("get_option")("mode.copy_on_write");
  return option.is(py::bool_(true));
}

py::object fill_forward(py::handle frame, py::handle code, const char *field) {
  py::object column;
  try {
    column = frame[py::str(field)];
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_KeyError)) throw;
    py::raise_from(e, PyExc_KeyError,
                   std::string(format("data1[{!r}] has no column {!r}", code, field)).c_str());
    throw py::error_already_set();
  }
  return column.attr("ffill")();
}

// The usual layout, (code, field) float64 columns under a unique two-level header, forward-filled
// in one frame operation instead of one per stock and field; the series are the ones
// data1[code][field].ffill() gives. False (nothing done) for any other layout.
bool prepare_fields_in_one_pass(py::handle data1, Market &mk) {
  py::module_ pd = py::module_::import("pandas");
  py::module_ np = py::module_::import("numpy");
  py::object columns = data1.attr("columns");
  if (!py::isinstance(columns, pd.attr("MultiIndex")) || columns.attr("nlevels").cast<int>() != 2 ||
      !columns.attr("is_unique").cast<bool>())
    return false;
  py::list keys;
  for (py::handle code : mk.codes)
    for (const char *field : kFieldNames) keys.append(py::make_tuple(code, field));
  py::object positions = columns.attr("get_indexer")(keys);
  if (np.attr("any")(np.attr("less")(positions, 0)).cast<bool>()) return false;
  py::object slice_all = py::slice(py::none(), py::none(), py::none());
  py::object block = data1.attr("iloc")[py::make_tuple(slice_all, positions)];
  py::object float64 = np.attr("dtype")("float64");
  for (py::handle dtype : block.attr("dtypes"))
    if (!dtype.equal(float64)) return false;
  py::object values = block.attr("ffill")().attr("to_numpy")();
  py::object series = pd.attr("Series");
  const std::size_t m = py::len(mk.codes);
  mk.fields.resize(m);
  for (std::size_t j = 0; j < m; ++j)
    for (std::size_t s = 0; s < kFieldNames.size(); ++s)
      mk.fields[j][s] = series(values[py::make_tuple(slice_all, py::int_(j * 5 + s))],
                               "index"_a = mk.index, "name"_a = kFieldNames[s], "copy"_a = false);
  return true;
}

}  // namespace

void bind_namespace(py::module_ &mod) {
  mod.attr("pd") = py::module_::import("pandas");
  mod.attr("random") = py::module_::import("random");
  mod.attr("np") = py::module_::import("numpy");
  mod.attr("warnings") = py::module_::import("warnings");
  // `from ta import *`: __all__ when the package defines it, else every name without "_".
  py::module_ ta = py::module_::import("ta");
  py::list names;
  if (py::hasattr(ta, "__all__")) {
    names = py::list(ta.attr("__all__"));
  } else {
    for (auto item : py::reinterpret_borrow<py::dict>(ta.attr("__dict__")))
      if (!py::str(item.first).attr("startswith")("_").cast<bool>()) names.append(item.first);
  }
  for (py::handle name : names) py::setattr(mod, name, py::getattr(ta, name));
  mod.attr("math") = py::module_::import("math");
}

py::object resolve_name(py::handle mod, py::handle name, py::dict locals) {
  py::dict globals = module_dict(mod);
  py::list parts;
  if (!py::isinstance<py::str>(name) || !is_dotted_name(name, parts))
    return py::module_::import("builtins").attr("eval")(name, globals, locals);

  py::str head = parts[0];
  py::object obj;
  py::dict builtins = py::reinterpret_borrow<py::dict>(py::module_::import("builtins").attr("__dict__"));
  if (locals.contains(head))
    obj = locals[head];
  else if (globals.contains(head))
    obj = globals[head];
  else if (builtins.contains(head))
    obj = builtins[head];
  else if (py::len(parts) > 1)
    obj = ta_submodule(head);
  if (!obj) raise(PyExc_NameError, format("name {!r} is not defined", head));
  for (std::size_t k = 1; k < py::len(parts); ++k) obj = py::getattr(obj, parts[k]);
  return obj;
}

void register_operators(py::handle mod, py::handle self) {
  py::dict ns = module_dict(mod);
  py::object function = self.attr("function");
  py::object fc = self.attr("fc");
  std::size_t n = py::len(function);
  for (std::size_t k = 0; k < n; ++k) {
    py::int_ i(k);
    ns[function[i]] = fc[i];
  }
}

Drawn draw(py::handle self, py::handle randint_fn) {
  py::object fuc = self.attr("fuc");
  auto n_ops = static_cast<std::int64_t>(py::len(fuc));
  auto n_features = static_cast<std::int64_t>(py::len(self.attr("fields")));
  py::object randint = randint_fn ? py::reinterpret_borrow<py::object>(randint_fn)
                                  : py::object(py::module_::import("random").attr("randint"));
  auto uniform = [&](std::int64_t hi) { return as_index(randint(0, hi)); };
  auto arity = [&](std::int64_t k) {
    py::object entry = fuc[py::int_(k)];
    std::int64_t a = as_index(entry[py::int_(1)]);
    // Checked here as well as at construction: the entries are mutable lists, and an
    // operator without arguments would never close.
    if (a < 1)
      raise(PyExc_ValueError,
            format("operator {!r} has arity {}; an operator takes at least one argument",
                   entry[py::int_(0)], a));
    return a;
  };
  Drawn drawn;
  drawn.program = draw_program(n_ops, n_features, uniform, arity);
  for (const Element &e : drawn.program) {
    if (e.is_op())
      drawn.list.append(fuc[py::int_(e.op)]);
    else
      drawn.list.append(py::int_(e.field));
  }
  return drawn;
}

py::str render_program(py::handle self, py::handle program) {
  std::vector<std::string> fields;
  for (py::handle f : self.attr("fields")) {
    if (!py::isinstance<py::str>(f))
      raise(PyExc_TypeError, "every entry of fields must be text, got " + type_name(f));
    fields.push_back(f.cast<std::string>());
  }
  std::deque<std::string> names;  // stable addresses for the items below
  std::vector<RenderItem> items;
  for (py::handle element : program) {
    RenderItem item;
    if (PyLong_Check(element.ptr())) {
      long long k = PyLong_AsLongLong(element.ptr());
      if (k == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        raise(PyExc_IndexError, "cannot fit 'int' into an index-sized integer");
      }
      item.field = k;
    } else {
      item.is_op = true;
      py::object name = element[py::int_(0)];
      if (py::isinstance<py::str>(name)) {
        names.push_back(name.cast<std::string>());
        item.name = &names.back();
      }
      item.arity = as_index(element[py::int_(1)]);
    }
    items.push_back(item);
  }
  try {
    return py::str(render(items, fields));
  } catch (const std::out_of_range &e) {
    raise(PyExc_IndexError, e.what());
  }
}

Market prepare_market(py::handle data1, py::handle price1, py::handle zz500) {
  Market mk;
  mk.index = data1.attr("index");
  mk.n_dates = py::len(mk.index);
  mk.unique_index = mk.index.attr("is_unique").cast<bool>();
  mk.codes = py::list(py::reinterpret_borrow<py::object>(zz500));
  mk.copy_deep = !pandas_copies_on_write();
  if (!prepare_fields_in_one_pass(data1, mk)) {
    mk.fields.reserve(py::len(mk.codes));
    for (py::handle code : mk.codes) {
      py::object frame;
      try {
        frame = data1[code];
      } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_KeyError)) throw;
        py::raise_from(e, PyExc_KeyError,
                       std::string(format("data1 has no columns for stock {!r}", code)).c_str());
        throw py::error_already_set();
      }
      std::array<py::object, 5> filled;
      for (int slot : kFillOrder) filled[slot] = fill_forward(frame, code, kFieldNames[slot]);
      mk.fields.push_back(std::move(filled));
    }
  }

  py::object columns = price1.attr("columns");
  py::list missing;
  for (py::handle code : mk.codes)
    if (!columns.contains(code)) missing.append(code);
  if (py::len(missing) > 0)
    raise(PyExc_KeyError, format("price1 has no column for stock(s) {!r}", missing));
  py::object prices = price1[mk.codes];
  if (!prices.attr("index").attr("equals")(mk.index).cast<bool>())
    prices = prices.attr("reindex")(mk.index);
  py::module_ np = py::module_::import("numpy");
  auto values = py::array_t<double, py::array::c_style | py::array::forcecast>(
      prices.attr("to_numpy")("dtype"_a = np.attr("float64"), "na_value"_a = np.attr("nan")));
  mk.prices.assign(values.data(), values.data() + values.size());
  return mk;
}

bool evaluate_panel(py::handle mod, py::handle self, const Drawn &drawn, const Market &market,
                    std::vector<double> &panel) {
  const Program &prog = drawn.program;
  py::dict ns = module_dict(mod);
  py::object fields = self.attr("fields");

  // Per position: the operator's callable, or the field slot of a terminal.
  std::vector<py::object> callables(prog.size());
  std::vector<int> slots(prog.size(), -1);
  for (std::size_t i = 0; i < prog.size(); ++i) {
    if (prog[i].is_op()) {
      py::object name = drawn.list[i][py::int_(0)];
      if (!py::isinstance<py::str>(name))
        raise(PyExc_TypeError, "an operator name must be text to appear in a formula, got " +
                                   type_name(name));
      callables[i] = ns.contains(name) ? py::object(ns[name]) : resolve_name(mod, name, py::dict());
      continue;
    }
    std::string field = py::str(fields[py::int_(prog[i].field)]);
    for (int s = 0; s < 5; ++s)
      if (field == kFieldNames[s]) slots[i] = s;
    if (slots[i] < 0) raise(PyExc_NameError, format("name {!r} is not defined", field));
  }

  const std::size_t m = market.n_stocks();
  std::vector<py::object> results;
  results.reserve(m);
  for (std::size_t j = 0; j < m; ++j) {
    // One object per field and stock, shared by every use in the formula, as a name would be.
    std::array<py::object, 5> args_of_stock;
    std::size_t pos = 0;
    auto eval = [&](auto &&self_ref) -> py::object {
      const std::size_t i = pos++;
      if (!prog[i].is_op()) {
        py::object &held = args_of_stock[slots[i]];
        if (!held) held = market.fields[j][slots[i]].attr("copy")("deep"_a = market.copy_deep);
        return held;
      }
      std::vector<py::object> args;
      args.reserve(static_cast<std::size_t>(prog[i].arity));
      for (std::int64_t a = 0; a < prog[i].arity; ++a) args.push_back(self_ref(self_ref));
      std::vector<PyObject *> raw(args.size());
      for (std::size_t a = 0; a < args.size(); ++a) raw[a] = args[a].ptr();
      PyObject *out = PyObject_Vectorcall(callables[i].ptr(), raw.data(), raw.size(), nullptr);
      if (!out) throw py::error_already_set();
      return py::reinterpret_steal<py::object>(out);
    };
    results.push_back(eval(eval));
  }
  if (m < 2) return false;

  const std::size_t n = market.n_dates;
  py::module_ np = py::module_::import("numpy");
  py::module_ pd = py::module_::import("pandas");
  py::object series_type = pd.attr("Series");
  py::object float64 = np.attr("float64");
  bool all_series = true, all_arrays = true;
  for (const py::object &r : results) {
    if (all_series) {
      all_series = py::isinstance(r, series_type);
      if (all_series) {
        py::object idx = r.attr("index");
        all_series = idx.is(market.index) ||
                     (market.unique_index && idx.attr("equals")(market.index).cast<bool>());
      }
    }
    if (all_arrays) {
      all_arrays = py::isinstance<py::array>(r);
      if (all_arrays) {
        auto a = py::reinterpret_borrow<py::array>(r);
        all_arrays = a.ndim() == 1 && static_cast<std::size_t>(a.shape(0)) == n;
      }
    }
    if (!all_series && !all_arrays) break;
  }

  panel.assign(n * m, std::numeric_limits<double>::quiet_NaN());
  using Values = py::array_t<double, py::array::forcecast>;
  if (all_series || all_arrays) {
    // Results already aligned on data1's dates: one column each, no frame needed.
    for (std::size_t j = 0; j < m; ++j) {
      py::object col;
      if (all_series) {
        col = results[j].attr("to_numpy")();
        if (!py::reinterpret_borrow<py::array>(col).dtype().equal(py::dtype::of<double>()))
          col = results[j].attr("to_numpy")("dtype"_a = float64, "na_value"_a = np.attr("nan"));
      } else {
        col = results[j];
      }
      Values v(col);
      if (v.ndim() != 1 || static_cast<std::size_t>(v.shape(0)) != n)
        raise(PyExc_ValueError, "an operator result does not hold one value per date");
      auto u = v.unchecked<1>();
      for (std::size_t t = 0; t < n; ++t) panel[t * m + j] = u(static_cast<py::ssize_t>(t));
    }
    return true;
  }

  // Anything else goes through the frame a stock-by-date table would make: rows aligned on
  // their own labels, relabelled with the codes, transposed, re-dated.
  py::list as_list;
  for (const py::object &r : results) as_list.append(r);
  py::object frame = pd.attr("DataFrame")(as_list);
  frame.attr("index") = market.codes;
  frame = frame.attr("T");
  frame.attr("index") = market.index;
  Values v(frame.attr("to_numpy")("dtype"_a = float64, "na_value"_a = np.attr("nan")));
  if (v.ndim() != 2 || static_cast<std::size_t>(v.shape(0)) != n ||
      static_cast<std::size_t>(v.shape(1)) != m)
    raise(PyExc_ValueError, "the factor panel does not have one row per date and one column per stock");
  auto u = v.unchecked<2>();
  for (std::size_t t = 0; t < n; ++t)
    for (std::size_t j = 0; j < m; ++j)
      panel[t * m + j] = u(static_cast<py::ssize_t>(t), static_cast<py::ssize_t>(j));
  return true;
}

}  // namespace factorsearch
