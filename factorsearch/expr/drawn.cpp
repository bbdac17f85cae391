#include "factorsearch/expr/drawn.hpp"

#include <deque>
#include <stdexcept>
#include <string>

namespace factorsearch {
using namespace alphaloom;

namespace {

std::int64_t as_index(py::handle value) {
  PyObject *i = PyNumber_Index(value.ptr());
  if (!i) throw py::error_already_set();
  auto owned = py::reinterpret_steal<py::object>(i);
  long long v = PyLong_AsLongLong(owned.ptr());
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

}  // namespace

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

}  // namespace factorsearch
