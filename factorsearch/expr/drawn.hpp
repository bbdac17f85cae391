// A drawn program as both sides hold it: the list handed to Python (operator entries shared with
// the instance's `fuc`, field indices) and its C++ form (program.hpp); drawing, reading a list back
// and rendering.
#pragma once

#include "common/pyglue.hpp"
#include "factorsearch/expr/program.hpp"

namespace factorsearch {
namespace py = pybind11;

struct Drawn {
  py::list list;
  Program program;
};
// Draws from `randint` (a callable like random.randint) when given, else from the process-wide
// `random.randint`.
Drawn draw(py::handle self, py::handle randint = py::handle());
// A program given as a list (entries of `self.fuc`, by identity, and field indices), checked to be
// one complete tree.
Drawn drawn_from_list(py::handle self, py::handle program);
py::str render_program(py::handle self, py::handle program);
// A program as the list handed to Python: entries of `fuc` (shared, not copied) and field indices.
py::list program_as_list(const Program &program, py::handle fuc);

}  // namespace factorsearch
