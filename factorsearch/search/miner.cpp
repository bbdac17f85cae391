#include "factorsearch/search/miner.hpp"

#include <string>

#include "factorsearch/expr/registry.hpp"
#include "factorsearch/runtime/executor_parts.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

// The operator attributes every FactorSearch holds, from one (name, arity) entry and callable per
// operator: fuc (= fuc1) and fuc1 the [name, arity] lists, function the names, fc the callables.
void install_operators(py::handle miner, const py::list &entries, const py::list &names,
                       const py::list &callables) {
  miner.attr("fuc1") = entries;
  miner.attr("fuc") = entries;
  miner.attr("function") = names;
  miner.attr("fc") = callables;
}

}  // namespace

namespace {

bool is_text(py::handle o) { return py::isinstance<py::str>(o) || py::isinstance<py::bytes>(o); }

// Text is read letter by letter as pairs: FactorSearch("np.log") ended in "IndexError: string
// index out of range", ["a1"] became an operator "a" of arity 1.
void require_operator_pairs(py::handle fuc) {
  if (is_text(fuc))
    raise(PyExc_TypeError, "FactorSearch expects a list of (name, arity) operator pairs, e.g. "
                           "[['np.log', 1]], got " + type_name(fuc));
  if (!py::isinstance<py::list>(fuc) && !py::isinstance<py::tuple>(fuc)) return;  // read once
  for (py::handle entry : fuc)
    if (is_text(entry))
      raise(PyExc_TypeError,
            format("FactorSearch expects a list of (name, arity) operator pairs, e.g. "
                   "[['np.log', 1]]; {!r} is text, not a pair",
                   entry));
}

}  // namespace

void search_init(py::handle mod, py::object self, py::object fuc) {
  require_operator_pairs(fuc);
  py::object to_int = py::module_::import("builtins").attr("int");
  self.attr("fuc") = fuc;
  py::list fuc1, function, fc;
  install_operators(self, fuc1, function, fc);
  self.attr("fuc") = fuc;
  py::object stored = self.attr("fuc");
  for (py::handle i : stored) {
    py::object pair = py::reinterpret_borrow<py::object>(i);
    py::object name = pair[py::int_(0)];
    py::object arity = to_int(pair[py::int_(1)]);
    if (arity < py::int_(1))
      raise(PyExc_ValueError,
            format("operator {!r} has arity {}; an operator takes at least one argument", name,
                   arity));
    py::list entry;
    entry.append(name);
    entry.append(arity);
    fuc1.append(entry);
    function.append(name);
    py::dict locals("fuc"_a = stored, "i"_a = pair, "self"_a = self);
    fc.append(resolve_name(mod, name, locals));
  }
  self.attr("fuc") = fuc1;
}

// A FactorSearch with the caller's operators: the callables themselves where they travelled,
// else resolved again from their names in this process.
py::object rebuild_miner(py::handle mod, py::handle operators) {
  py::object cls = mod.attr("FactorSearch");
  py::object miner = cls.attr("__new__")(cls);
  py::list fuc1, function, fc;
  for (py::handle op : operators) {
    py::object name = op[py::int_(0)], arity = op[py::int_(1)], fn = op[py::int_(2)];
    py::list entry;
    entry.append(name);
    entry.append(arity);
    if (fn.is_none()) {
      try {
        fn = resolve_name(mod, name, py::dict("fuc"_a = operators, "i"_a = op, "self"_a = miner));
      } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::raise_from(e, PyExc_RuntimeError,
                       std::string(format("operator {!r} does not resolve in worker process {}; "
                                          "use a function importable there",
                                          name, py::module_::import("os").attr("getpid")()))
                           .c_str());
        throw py::error_already_set();
      }
    }
    fuc1.append(entry);
    function.append(name);
    fc.append(fn);
  }
  install_operators(miner, fuc1, function, fc);
  return miner;
}

// Operators as they travel to workers: the callable itself where it pickles, else its name only.
py::list travelling_operators(py::handle self) {
  py::object dumps = py::module_::import("pickle").attr("dumps");
  py::list ops;
  py::object fuc = self.attr("fuc"), fc = self.attr("fc");
  const std::size_t n = py::len(fuc);
  for (std::size_t k = 0; k < n; ++k) {
    py::object entry = fuc[py::int_(k)];
    py::object fn = k < py::len(fc) ? py::object(fc[py::int_(k)]) : py::object(py::none());
    try {
      dumps(fn);
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_Exception)) throw;
      fn = py::none();
    }
    ops.append(py::make_tuple(entry[py::int_(0)], entry[py::int_(1)], fn));
  }
  return ops;
}

std::optional<WorkerCall> worker_call(py::handle mod, const char *cache_name, py::handle token,
                                      py::handle data, py::handle operators,
                                      const std::function<py::object()> &make) {
  py::dict cache = worker_cache(mod, cache_name);
  py::object entry;
  if (cache.contains(token))
    entry = cache[token];
  else if (data.is_none())
    return std::nullopt;
  else
    entry = make();
  if (entry[py::int_(1)].is_none()) entry[py::int_(1)] = rebuild_miner(mod, operators);
  return WorkerCall{entry, entry[py::int_(1)]};
}

}  // namespace factorsearch
