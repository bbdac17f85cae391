#include "factorsearch/evaluation.hpp"

#include "factorsearch/panel_assembly.hpp"
#include "factorsearch/panel_forms.hpp"

#include <cmath>
#include <deque>
#include <limits>
#include <stdexcept>
#include <string>

namespace factorsearch {
using namespace alphaloom;

namespace {

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
  drawn.list = program_as_list(drawn.program, fuc);
  return drawn;
}

py::list program_as_list(const Program &program, py::handle fuc) {
  py::list out;
  for (const Element &e : program) {
    if (e.is_op())
      out.append(fuc[py::int_(e.op)]);
    else
      out.append(py::int_(e.field));
  }
  return out;
}

Drawn drawn_from_list(py::handle self, py::handle program) {
  Drawn drawn;
  py::list fuc(self.attr("fuc"));
  std::int64_t open = 1;  // arguments still to come
  for (py::handle element : program) {
    if (open <= 0) raise(PyExc_ValueError, "the program continues after its tree is complete");
    Element e;
    if (PyLong_Check(element.ptr())) {
      e.field = as_index(element);
      --open;
    } else {
      for (std::size_t k = 0; k < py::len(fuc) && e.op < 0; ++k)
        if (fuc[k].ptr() == element.ptr()) e.op = static_cast<std::int64_t>(k);
      if (e.op < 0) raise(PyExc_ValueError, "a program element is neither a field nor an entry of fuc");
      e.arity = as_index(element[py::int_(1)]);
      open += e.arity - 1;
    }
    drawn.program.push_back(e);
    drawn.list.append(element);
  }
  if (open != 0) raise(PyExc_ValueError, "the program is not a complete tree");
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
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
        if (!utf8) {  // a lone surrogate has no UTF-8 form
          PyErr_Clear();
          raise(PyExc_ValueError, format("operator name {!r} is not valid text", name));
        }
        names.emplace_back(utf8, static_cast<std::size_t>(size));
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

py::array_t<double, py::array::f_style> evaluate_program(py::handle mod, py::handle self,
                                                          const Drawn &drawn, const Market &market) {
  Walk walk(mod, self, drawn, market);
  return as_panel(walk.run(), walk, market);
}

bool evaluate_panel(py::handle mod, py::handle self, const Drawn &drawn, const Market &market,
                    std::vector<double> &panel) {
  Walk walk(mod, self, drawn, market);
  Value result = walk.run();
  const std::size_t n = market.n_dates, m = market.n_stocks();
  if (m < 2) return false;
  auto values = as_panel(result, walk, market);
  auto u = values.unchecked<2>();
  panel.resize(n * m);
  for (std::size_t j = 0; j < m; ++j)
    for (std::size_t t = 0; t < n; ++t)
      panel[t * m + j] = u(static_cast<py::ssize_t>(t), static_cast<py::ssize_t>(j));
  return true;
}

}  // namespace factorsearch
