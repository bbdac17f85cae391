// The columns of a mining result that the .npy result file cannot hold (it keeps its four text
// columns for the files and readers that depend on it): the whole result frame as CSV beside it,
// factors/<run>.csv, replaced whole and atomically like the .npy.
#pragma once

#include <string>

#include "factorsearch/evaluation.hpp"

namespace factorsearch {

class ResultTable {
 public:
  // `npy_path`: the run's result file; the table takes its name with .csv.
  explicit ResultTable(const std::string &npy_path);
  const std::string &path() const { return path_; }
  // Writes the frame (without its index) to a temporary file, syncs it and renames it over the
  // table; the temporary file never outlives a failure.
  void save(py::handle frame) const;

 private:
  std::string path_, tmp_;
};

}  // namespace factorsearch
