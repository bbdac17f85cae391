#include "factorsearch/expr/registry.hpp"

#include <string>

namespace factorsearch {
using namespace alphaloom;

namespace {

py::dict module_dict(py::handle mod) {
  return py::reinterpret_borrow<py::dict>(mod.attr("__dict__"));
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

}  // namespace factorsearch
