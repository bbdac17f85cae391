// Glue shared by every alphaloom module: Python classes created from C++ with any base class
// (torch.nn.Module, torch.autograd.Function, object), device choice, selector evaluation and
// progress printing. Header-only, no subsystem logic.
#pragma once

#include <pybind11/eval.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

namespace alphaloom {
namespace py = pybind11;
using namespace pybind11::literals;

// ---------------------------------------------------------------------------------------------
// Class creation
//
// A class is made by calling the base's metaclass, so nn.Module subclasses get everything a
// Python-defined subclass has (isinstance, state_dict, deepcopy, pickling by module + name).
// `ns` may carry entries that must exist before the metaclass runs (autograd.Function's
// static forward/backward).
inline py::object make_class(py::module_ &mod, const char *name, py::handle base, const char *doc,
                             py::dict ns = py::dict()) {
  ns["__module__"] = mod.attr("__name__");
  ns["__qualname__"] = py::str(name);
  ns["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
  py::object meta = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(Py_TYPE(base.ptr())));
  py::object cls = meta(py::str(name), py::make_tuple(base), ns);
  mod.attr(name) = cls;
  return cls;
}

// `signature` is "internal_name(self, a=1, **kwargs)"; it becomes __text_signature__, so
// inspect.signature and help() show the real parameters. The text after it is the docstring.
inline std::string sig_doc(const char *signature, const char *doc) {
  std::string s(signature);
  s += "\n--\n\n";
  if (doc) s += doc;
  return s;
}

// Binds `f` (first parameter: py::object self) as method `name` of `cls`.  pybind11 treats a
// function literally named __init__ as its own constructor, so __init__ gets the internal name
// given in `signature` (e.g. "init(self, ...)") and is only stored under "__init__".
template <typename F, typename... Extra>
py::object def_method(py::handle cls, const char *name, const char *signature, const char *doc,
                      F &&f, Extra &&...extra) {
  std::string internal(signature);
  internal = internal.substr(0, internal.find('('));
  std::string text = sig_doc(signature, doc);
  py::options opts;
  opts.disable_function_signatures();
  py::cpp_function cf(std::forward<F>(f), py::name(internal.c_str()), py::is_method(cls),
                      py::doc(text.c_str()), std::forward<Extra>(extra)...);
  py::setattr(cls, name, cf);
  return cf;
}

// A static method object, to be placed in a class namespace (e.g. before make_class for
// torch.autograd.Function) or set on a class afterwards.
template <typename F, typename... Extra>
py::object static_method(const char *signature, const char *doc, F &&f, Extra &&...extra) {
  std::string internal(signature);
  internal = internal.substr(0, internal.find('('));
  std::string text = sig_doc(signature, doc);
  py::options opts;
  opts.disable_function_signatures();
  py::cpp_function cf(std::forward<F>(f), py::name(internal.c_str()), py::doc(text.c_str()),
                      std::forward<Extra>(extra)...);
  return py::reinterpret_steal<py::object>(PyStaticMethod_New(cf.ptr()));
}

// Read-only property computed by `getter(py::object self)`.
template <typename F>
void def_property(py::handle cls, const char *name, const char *doc, F &&getter) {
  py::cpp_function g(std::forward<F>(getter), py::is_method(cls));
  py::object prop = py::module_::import("builtins").attr("property")(g, py::none(), py::none(),
                                                                     py::str(doc ? doc : ""));
  py::setattr(cls, name, prop);
}

// builtins.super(cls, self): lets an __init__ written in C++ call the base's __init__.
inline py::object super_of(py::handle cls, py::handle self) {
  return py::module_::import("builtins").attr("super")(cls, self);
}

// ---------------------------------------------------------------------------------------------
// Errors

[[noreturn]] inline void raise(PyObject *type, const std::string &msg) {
  PyErr_SetString(type, msg.c_str());
  throw py::error_already_set();
}

[[noreturn]] inline void raise_not_implemented(const std::string &msg) {
  raise(PyExc_NotImplementedError, msg);
}

inline std::string type_name(py::handle o) {
  return py::str(py::type::handle_of(o).attr("__name__"));
}

// Exactly int (bool, float, None and int subclasses rejected), with the message of a typed
// integer argument.
inline std::string incorrect_type(const char *arg_name, const char *expected, py::handle value) {
  char buf[800];
  std::snprintf(buf, sizeof buf, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                arg_name, expected, type_name(value).c_str());
  return buf;
}

inline void require_exact_int(py::handle value, const char *arg_name) {
  if (Py_TYPE(value.ptr()) != &PyLong_Type)
    raise(PyExc_TypeError, incorrect_type(arg_name, "int", value));
}

// float(value) as a typed double argument does it: numbers and objects with __float__ /
// __index__; text is a TypeError.
inline double to_double(py::handle value) {
  double v = PyFloat_AsDouble(value.ptr());
  if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

// to_double for a named argument: a value float() refuses is a TypeError in the form of a typed
// argument's ("must be real number, not NoneType" named nothing).
inline double float_argument(py::handle value, const char *arg_name) {
  double v = PyFloat_AsDouble(value.ptr());
  if (v == -1.0 && PyErr_Occurred()) {
    py::error_already_set e;
    if (!e.matches(PyExc_TypeError)) throw e;
    py::raise_from(e, PyExc_TypeError, incorrect_type(arg_name, "float", value).c_str());
    throw py::error_already_set();
  }
  return v;
}

// ---------------------------------------------------------------------------------------------
// Formatting and output

// str.format through the interpreter, so every value prints in its plain Python form.
template <typename... Args>
py::str format(const char *fmt, Args &&...args) {
  return py::str(fmt).format(std::forward<Args>(args)...);
}

// C-style "%" formatting through the interpreter ("best score: %.6lf @ %d" etc.).
inline py::str percent(const char *fmt, py::tuple args) {
  return py::reinterpret_steal<py::str>(PyUnicode_Format(py::str(fmt).ptr(), args.ptr()));
}

// Every progress line goes through the object's `print` attribute so callers can redirect it;
// an object whose `verbose` attribute is false prints nothing at all.
inline bool is_verbose(py::handle self) {
  py::object flag = py::getattr(self, "verbose", py::bool_(true));
  const int on = PyObject_IsTrue(flag.ptr());
  if (on < 0) throw py::error_already_set();
  return on != 0;
}
inline void emit(py::handle self, py::handle text) {
  if (is_verbose(self)) self.attr("print")(text);
}
inline void emit(py::handle self, const char *text) {
  if (is_verbose(self)) self.attr("print")(py::str(text));
}

// ---------------------------------------------------------------------------------------------
// Devices

// The device a `GPU` setting names. A number (or None) keeps its first meaning:
// torch.device("cuda:%d" % gpu) when CUDA is there and gpu >= 0, else the CPU. "cpu", "cuda",
// "cuda:N" and a torch.device name a device outright, so CUDA asked for that way must exist:
// training on the CPU instead would only show up as a run a hundred times slower.
inline py::object choose_device(py::handle gpu) {
  py::module_ torch = py::module_::import("torch");
  py::object device_type = torch.attr("device");
  bool cuda = torch.attr("cuda").attr("is_available")().cast<bool>();
  const bool named = PyUnicode_Check(gpu.ptr()) || py::isinstance(gpu, device_type);
  if (!named && (gpu.is_none() || PyNumber_Check(gpu.ptr()))) {
    bool want = !gpu.is_none() && (gpu >= py::int_(0));
    if (cuda && want) return device_type(percent("cuda:%d", py::make_tuple(gpu)));
    return device_type("cpu");
  }
  const std::string shown = py::repr(gpu).cast<std::string>();
  const std::string text = named ? py::str(gpu).cast<std::string>() : "";
  std::size_t digits = 0;
  if (text.rfind("cuda:", 0) == 0) {
    digits = text.size() - 5;
    for (std::size_t k = 5; k < text.size(); ++k)
      if (text[k] < '0' || text[k] > '9') digits = 0;
  }
  if (text == "cpu") return device_type("cpu");
  if (text != "cuda" && digits == 0)
    raise(PyExc_ValueError, "Invalid GPU: " + shown +
                                " (expected an integer GPU number, 'cpu', 'cuda', 'cuda:N' or a "
                                "torch.device of one of those)");
  if (!cuda)
    raise(PyExc_ValueError, "GPU=" + shown +
                                " asks for a CUDA device, but torch.cuda.is_available() is False "
                                "here; pass GPU='cpu', or an integer GPU number (which falls back "
                                "to the CPU without CUDA)");
  if (digits) {
    const long long index = std::stoll(text.substr(5));
    const long long count = torch.attr("cuda").attr("device_count")().cast<long long>();
    if (index >= count)
      raise(PyExc_ValueError, "GPU=" + shown + " names CUDA device " + std::to_string(index) +
                                  ", but this machine has " + std::to_string(count) +
                                  " (numbered from 0)");
  }
  return device_type(py::str(text));
}

inline bool is_gpu_device(py::handle device) {
  py::module_ torch = py::module_::import("torch");
  return !device.equal(torch.attr("device")("cpu"));
}

// ---------------------------------------------------------------------------------------------
// Selector evaluation: `prefix + selector` evaluated as an expression with the module's globals
// and the given local names, e.g. evaluate_selector(mod, "dataset", "[:100]", locals).
inline py::object evaluate_selector(const py::module_ &mod, const char *prefix, py::handle selector,
                                    py::dict locals) {
  if (!py::isinstance<py::str>(selector))
    raise(PyExc_TypeError, std::string("a selector must be text, got ") + type_name(selector));
  std::string expr = std::string(prefix) + selector.cast<std::string>();
  py::dict globals = py::reinterpret_borrow<py::dict>(mod.attr("__dict__"));
  return py::eval(py::str(expr), globals, locals);
}

}  // namespace alphaloom
