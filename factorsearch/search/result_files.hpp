// A search's result files: <directory>/<run>.npy with the four text columns every reader knows
// (ResultFile), and the columns the .npy result file cannot hold (it keeps its four text
// columns for the files and readers that depend on it): the whole result frame as CSV beside it,
// factors/<run>.csv, replaced whole and atomically like the .npy.
#pragma once

#include <functional>
#include <string>

#include "common/pyglue.hpp"

namespace factorsearch {
namespace py = pybind11;

// The folder a driver's `directory=` names (os.fspath of it), factors/ when it is None.
std::string result_directory(py::handle directory);

// <directory>/<run>.npy (factors/ by default), reserved for one driver call. The file is created atomically and complete
// (a 0-row array) under a run number nobody holds yet, then replaced whole after every factor.
class ResultFile {
 public:
  // `directory` is created when missing; the run number is free in it.
  explicit ResultFile(const std::string &directory = "factors");
  const std::string &path() const { return path_; }
  void save(py::handle rows);
  // As save, for rows that may have changed or moved since the last save (a ranking).
  void save_all(py::handle rows);

 private:
  template <typename Finish>
  void write_then(const py::object &array, Finish &&finish);
  bool claim(const py::object &empty);

  int run_ = -1;
  std::string dir_, path_;
  py::object table_;  // the rows saved last, as the array written
  std::size_t in_table_ = 0;
};

// Writes the file `tmp` through `write(fh)` (opened as text in UTF-8 when `text`, else binary),
// syncs it to disk, then `finish()` puts it in place as `target`; `tmp` never outlives a failure.
// An OSError keeps its type and names `target` ("224 requested and 57 written" named nothing).
void write_synced(const py::object &tmp, const std::string &target, bool text,
                  const std::function<void(py::handle)> &write, const std::function<void()> &finish);

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
