#include "factorsearch/forecast/window_features.hpp"
#include "factorsearch/forecast/window_extra.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <thread>

#include <pybind11/numpy.h>

#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "common/isa.hpp"
#include "common/parallel.hpp"
#include "common/pyglue.hpp"
#include "factorsearch/backtest/day_threads.hpp"
#include "factorsearch/search/drivers.hpp"
#include "factorsearch/expr/evaluation.hpp"
#include "factorsearch/market/checks.hpp"
#include "factorsearch/market/frames.hpp"

namespace factorsearch {
using namespace alphaloom;

// ---------------------------------------------------------------------------------------------
// Interpreter layer

namespace {

void require_numeric(py::handle frame, const char *what) {
  py::list bad = non_numeric_columns(frame);
  if (py::len(bad) > 0)
    raise(PyExc_ValueError, format("{} must hold numbers; not numeric: {!r}", what, bad));
}

int threads_for(std::size_t rows, std::size_t values_per_row) {
  const Threads offered = offered_threads();
  if (offered.exact) return offered.count;
  return kernel_threads(static_cast<std::int64_t>(rows), static_cast<std::int64_t>(values_per_row),
                        offered.count);
}

// data1's two-level (code, field) header, checked.
py::object data1_columns(py::handle data1, const py::module_ &pd, py::handle frame_type) {
  if (!py::isinstance(data1, frame_type))
    raise(PyExc_TypeError, "data1 must be a DataFrame (dates x (code, field)), got " + type_name(data1));
  py::object columns = data1.attr("columns");
  if (!py::isinstance(columns, pd.attr("MultiIndex")) || columns.attr("nlevels").cast<int>() != 2)
    raise(PyExc_ValueError, "data1 must have two-level columns (code, field), as from_long gives");
  if (!columns.attr("is_unique").cast<bool>())
    raise(PyExc_ValueError, format("data1 has duplicate columns: {!r}",
                                   py::list(columns[columns.attr("duplicated")()])));
  return columns;
}

// zz500 as a list of codes, checked.
py::list codes_of(py::handle zz500) {
  if (py::isinstance<py::str>(zz500))
    raise(PyExc_TypeError, "zz500 must be a list of codes, got a str");
  py::list codes(py::reinterpret_borrow<py::object>(zz500));
  if (py::len(codes) == 0) raise(PyExc_ValueError, "zz500 names no stock");
  return codes;
}

// The stocks' codes as the frame's "instrument" level, checked.
py::object code_index_of(const py::list &codes, const py::module_ &pd) {
  py::object code_index = pd.attr("Index")(codes, "dtype"_a = "object", "name"_a = "instrument");
  if (!code_index.attr("is_unique").cast<bool>())
    raise(PyExc_ValueError, format("zz500 lists codes more than once: {!r}",
                                   py::list(code_index[code_index.attr("duplicated")()])));
  return code_index;
}

// Any field data1 holds (its second column level) may be asked for.
std::vector<std::string> field_names_of(py::handle fields, py::handle columns) {
  if (py::isinstance<py::str>(fields))
    raise(PyExc_TypeError, "fields must be a sequence of field names such as ('close', 'volume'), "
                           "got a str");
  py::object held = columns.attr("get_level_values")(1).attr("unique")();
  std::vector<std::string> field_names;
  for (py::handle f : fields) {
    std::string name = py::isinstance<py::str>(f) ? f.cast<std::string>() : std::string();
    if (name.empty() || !held.attr("__contains__")(f).cast<bool>())
      raise(PyExc_ValueError, format("unknown field {!r}: data1's fields are {}", f,
                                     py::str(", ").attr("join")(held.attr("map")(
                                         py::module_::import("builtins").attr("repr")))));
    if (std::find(field_names.begin(), field_names.end(), name) != field_names.end())
      raise(PyExc_ValueError, format("field {!r} is listed twice", f));
    field_names.push_back(name);
  }
  if (field_names.empty()) raise(PyExc_ValueError, "fields names no field");
  return field_names;
}

LabelNorm label_norm(py::handle label) {
  std::string l = py::isinstance<py::str>(label) ? label.cast<std::string>() : std::string();
  if (l == "rank") return LabelNorm::rank;
  if (l == "zscore") return LabelNorm::zscore;
  if (l == "raw") return LabelNorm::raw;
  raise(PyExc_ValueError, format("label must be 'rank', 'zscore' or 'raw', got {!r}", label));
  return LabelNorm::rank;
}

// The price fields are divided by the row's close; volume, the other field the fill kernel
// scales, by the row's volume. Any other field is divided by its own value on the row's day
// (window_extra), and a caller's panel is taken as given.
bool is_price_field(const std::string &f) {
  return f == "open" || f == "high" || f == "low" || f == "close" || f == "vwap";
}
bool kernel_scales(const std::string &f) { return is_price_field(f) || f == "volume"; }

// One block per field, then the divisors the fields need.
std::vector<std::string> blocks_of(const std::vector<std::string> &field_names) {
  bool need_close = false, need_volume = false;
  for (const auto &f : field_names) (f == "volume" ? need_volume : need_close) = true;
  std::vector<std::string> blocks = field_names;
  if (need_close) blocks.push_back("close");
  if (need_volume) blocks.push_back("volume");
  return blocks;
}

using Codes = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// Column position of every (code, block) pair, block-major, -1 when absent; read from the header's
// level codes: one lookup per code and field instead of one per pair.
py::array_t<std::int64_t> block_positions(py::handle columns, const py::list &codes,
                                          const py::list &block_names) {
  const std::size_t m = py::len(codes), n_blocks = py::len(block_names);
  py::list level_codes(columns.attr("codes")), levels(columns.attr("levels"));
  Codes code_at(levels[0].attr("get_indexer")(codes));
  Codes field_at(levels[1].attr("get_indexer")(block_names));
  Codes col0(level_codes[0]), col1(level_codes[1]);
  const auto n_level0 = static_cast<std::size_t>(py::len(levels[0]));
  const auto n_level1 = static_cast<std::size_t>(py::len(levels[1]));
  // slot[level-0 code * n_level1 + level-1 code] = column position, -1 when absent.
  std::vector<std::int64_t> slot(n_level0 * n_level1, -1);
  for (py::ssize_t c = 0; c < col0.size(); ++c)
    if (col0.data()[c] >= 0 && col1.data()[c] >= 0)
      slot[static_cast<std::size_t>(col0.data()[c]) * n_level1 + static_cast<std::size_t>(col1.data()[c])] = c;
  py::array_t<std::int64_t> positions(static_cast<py::ssize_t>(n_blocks * m));
  for (std::size_t j = 0; j < m; ++j) {
    const std::int64_t l0 = code_at.data()[j];
    for (std::size_t b = 0; b < n_blocks; ++b) {
      const std::int64_t l1 = field_at.data()[b];
      positions.mutable_data()[b * m + j] =
          l0 < 0 || l1 < 0 ? -1
                           : slot[static_cast<std::size_t>(l0) * n_level1 + static_cast<std::size_t>(l1)];
    }
  }
  return positions;
}

// KeyError naming the stocks with no column at all, else the (code, field) pairs missing.
void require_positions(const py::array_t<std::int64_t> &positions, const py::list &codes,
                       const py::list &block_names) {
  const std::size_t m = py::len(codes), n_blocks = py::len(block_names);
  py::list no_stock, no_field;
  for (std::size_t j = 0; j < m; ++j) {
    std::size_t found = 0;
    for (std::size_t b = 0; b < n_blocks; ++b) found += positions.data()[b * m + j] >= 0;
    if (found == 0) no_stock.append(codes[j]);
    else if (found < n_blocks)
      for (std::size_t b = 0; b < n_blocks; ++b)
        if (positions.data()[b * m + j] < 0) {
          py::tuple pair = py::make_tuple(codes[j], block_names[b]);
          if (!no_field.contains(pair)) no_field.append(pair);  // a field may be a divisor too
        }
  }
  if (py::len(no_stock) > 0)
    raise(PyExc_KeyError, format("data1 has no columns for stock(s) {!r}", no_stock));
  if (py::len(no_field) > 0)
    raise(PyExc_KeyError, format("data1 has no column(s) {!r}", no_field));
}

using Panel = py::array_t<double, py::array::f_style | py::array::forcecast>;

// The selected columns as one column-major float64 block per (block, stock).
Panel block_values(py::handle data1, const py::array_t<std::int64_t> &positions,
                   const py::module_ &np) {
  py::object selected = data1.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()),
                                                          positions)];
  require_numeric(selected, "data1's fields");
  return Panel(selected.attr("to_numpy")("dtype"_a = np.attr("float64"), "na_value"_a = np.attr("nan")));
}

// price1 over the stocks' columns and data1's dates, checked.
Matrix label_prices(py::handle price1, py::handle frame_type, const py::list &codes,
                    py::handle dates) {
  if (!py::isinstance(price1, frame_type))
    raise(PyExc_TypeError, "price1 must be a DataFrame (dates x codes), got " + type_name(price1));
  require_price_columns(price1, codes);
  refuse_repeated_labels(price1, "price1");
  py::object aligned = price1.attr("reindex")("columns"_a = codes);
  if (!aligned.attr("index").attr("equals")(dates).cast<bool>())
    aligned = aligned.attr("reindex")(dates);
  require_numeric(aligned, "price1");
  return float_values(aligned);
}

// The buffers the kernels read: fields first, then the close and volume divisors.
WindowPanels panels_of(const Panel &values, const std::vector<std::string> &field_names,
                       const std::vector<std::string> &blocks, std::size_t n, std::size_t m,
                       std::int64_t w) {
  WindowPanels p;
  p.n_dates = n;
  p.n_stocks = m;
  p.window = static_cast<std::size_t>(w);
  const double *base = values.data();
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    const double *block = base + k * m * n;
    if (k < field_names.size()) {
      p.fields.push_back(block);
      p.by_volume.push_back(field_names[k] == "volume");
    } else if (blocks[k] == "close") {
      p.close = block;
    } else {
      p.volume = block;
    }
  }
  return p;
}

// The rows' features, labels and (day, stock) codes, filled without the interpreter lock.
struct RowArrays {
  py::array_t<float> features;
  py::array_t<double> labels;
  py::array_t<std::int32_t> day_code, stock_code;
};

// The feature block, by far the largest object, in ordinary pages. NumPy asks the kernel for huge
// pages for large arrays; on a machine whose memory is fragmented the kernel then compacts memory
// at the first writes, which costs seconds per gigabyte on the first call of a process (about
// 18 s for the 5 GB of a 5,000 x 2,500 frame, measured) and little on later ones. Ordinary pages
// cost the same, about half a second per gigabyte, on every call. The advice is taken back before
// anything is written, so no page has been given out yet.
//
// The pages are then populated up front, each thread a contiguous part: the fill writes a block
// of stocks at a time, so its first writes land a day's row apart across the whole frame, and
// the kernel then spends several times longer per page on the faults of a multi-gigabyte frame
// than on faults in address order (measured: 2.3 s against 1.65 s for 4.9 GB). A kernel without
// MADV_POPULATE_WRITE declines the request and the fill's writes fault the pages in as before.
py::array_t<float> small_page_array(std::size_t rows, std::size_t cols, int threads) {
  py::array_t<float> out({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
#ifdef __linux__
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(out.mutable_data());
  const std::uintptr_t end = begin + rows * cols * sizeof(float);
  const std::uintptr_t first = (begin + page - 1) / page * page, last = end / page * page;
  if (last > first) {
    madvise(reinterpret_cast<void *>(first), last - first, MADV_NOHUGEPAGE);  // a hint: may fail
    constexpr int kPopulateWrite = 23;  // MADV_POPULATE_WRITE, Linux 5.14
    const auto pages = static_cast<std::int64_t>((last - first) / page);
    py::gil_scoped_release nogil;
    split_ranges(
        pages, std::max(threads, 1),
        [&](std::int64_t a, std::int64_t b, int) {
          if (b > a)
            madvise(reinterpret_cast<void *>(first + static_cast<std::uintptr_t>(a) * page),
                    static_cast<std::size_t>(b - a) * page, kPopulateWrite);
        },
        [] {});
  }
#endif
  return out;
}

// Blocks the fill kernel does not write (self-scaled fields, caller panels) and where every block
// goes in the frame: final block k is block order[k] of the kernel's blocks followed by these.
struct ExtraPlan {
  std::vector<ExtraBlock> blocks;
  std::vector<std::size_t> order;
};

// The kernel's blocks, then the extra ones beside them, interleaved into the frame's order (only
// when there are extra blocks: otherwise the kernel's buffer is the frame's, as before).
py::array_t<float> filled_features(const WindowPanels &p, WindowRows &rows, const ExtraPlan &plan,
                                   std::size_t n_rows) {
  const std::size_t n = p.n_dates, m = p.n_stocks, w = p.window;
  const std::size_t kw = p.fields.size() * w, ew = plan.blocks.size() * w;
  py::array_t<float> kernel = small_page_array(n_rows, kw, threads_for(n_rows, kw));
  std::vector<float> extra;
  {
    py::gil_scoped_release nogil;
    fill_rows(p, rows, kernel.mutable_data(), threads_for(n_rows, kw));
    if (!plan.blocks.empty()) {
      extra.resize(rows.rows() * ew);
      std::vector<std::uint8_t> overflow;
      fill_extra(plan.blocks, n, m, w, rows, extra.data(), overflow);
      if (std::find(overflow.begin(), overflow.end(), 1) != overflow.end())
        drop_flagged_rows(rows, n, m, overflow, {{kernel.mutable_data(), kw}, {extra.data(), ew}});
    }
  }
  if (plan.blocks.empty()) return kernel;
  py::array_t<float> out = small_page_array(rows.rows(), kw + ew, threads_for(rows.rows(), kw + ew));
  {
    py::gil_scoped_release nogil;
    interleave_blocks(kernel.data(), p.fields.size(), extra.data(), plan.blocks.size(),
                      rows.rows(), w, plan.order, out.mutable_data());
  }
  return out;
}

RowArrays fill_arrays(const WindowPanels &p, WindowRows &rows, const ExtraPlan &plan,
                      bool labelled, LabelNorm norm) {
  const std::size_t n = p.n_dates, m = p.n_stocks;
  const std::size_t n_rows = rows.rows();
  RowArrays out{filled_features(p, rows, plan, n_rows),
                py::array_t<double>(static_cast<py::ssize_t>(labelled ? n_rows : 0)),
                py::array_t<std::int32_t>(static_cast<py::ssize_t>(n_rows)),
                py::array_t<std::int32_t>(static_cast<py::ssize_t>(n_rows))};
  {
    py::gil_scoped_release nogil;
    if (labelled) forward_labels(p, rows, norm, out.labels.mutable_data(), threads_for(n, 16 * m));
    std::int32_t *dc = out.day_code.mutable_data(), *sc = out.stock_code.mutable_data();
    for (std::size_t t = 0, r = 0; t < n; ++t)
      for (std::size_t j = 0; j < m; ++j)
        if (rows.kept[t * m + j]) {
          dc[r] = static_cast<std::int32_t>(t);
          sc[r++] = static_cast<std::int32_t>(j);
        }
  }
  return out;
}

// The DataFrame: (datetime, instrument) rows, field-and-step columns, then the label.
py::object rows_frame(const RowArrays &a, const WindowRows &rows,
                      const std::vector<std::string> &field_names, std::int64_t w, py::handle dates,
                      py::handle code_index, bool labelled, const py::module_ &pd,
                      py::handle frame_type) {
  // Rows whose ratio overflowed float32 were moved out of the buffers' tails.
  auto head = [&](py::object x) {
    return static_cast<std::size_t>(py::len(x)) > rows.rows()
               ? py::object(x[py::slice(0, static_cast<py::ssize_t>(rows.rows()), 1)])
               : x;
  };
  py::object feature_rows = head(a.features), label_rows = head(a.labels);
  py::object day_codes = head(a.day_code), stock_codes = head(a.stock_code);
  py::list names;
  for (const auto &f : field_names)
    for (std::int64_t s = 0; s < w; ++s) names.append(py::str(f + std::to_string(s)));
  py::object name_index = pd.attr("Index")(names);
  py::object index = pd.attr("MultiIndex")(
      "levels"_a = py::make_tuple(dates, code_index), "codes"_a = py::make_tuple(day_codes, stock_codes),
      "names"_a = py::make_tuple("datetime", "instrument"), "verify_integrity"_a = false);
  // The float32 block goes into the frame as it is: no second copy of the largest object.
  py::object frame = frame_type(feature_rows, "index"_a = index, "columns"_a = name_index,
                                "copy"_a = false);
  if (labelled) frame.attr("__setitem__")("label", label_rows);
  frame.attr("attrs")["dropped"] = py::int_(rows.candidates - rows.rows());
  return frame;
}

// The caller's panels (name -> dates x codes DataFrame), each laid out on data1's dates and the
// stocks' codes as a column-major float64 block, checked before any work: a name that is a field
// or "label", a panel that lacks one of the stocks or one of data1's dates (KeyError naming
// them), repeated labels, values that are not numbers.
struct ExtraPanels {
  std::vector<std::string> names;
  std::vector<Panel> values;
};

ExtraPanels extra_panels_of(py::handle extra, const py::list &codes, py::handle dates,
                            const std::vector<std::string> &field_names, py::handle frame_type,
                            const py::module_ &np) {
  ExtraPanels out;
  if (extra.is_none()) return out;
  if (!py::isinstance<py::dict>(extra))
    raise(PyExc_TypeError, "extra must be a dict {name: DataFrame of dates x codes}, got " +
                               type_name(extra));
  for (auto kv : py::reinterpret_borrow<py::dict>(extra)) {
    if (!py::isinstance<py::str>(kv.first) || py::len(kv.first) == 0)
      raise(PyExc_ValueError, format("extra names must be non-empty text, got {!r}", kv.first));
    const std::string name = kv.first.cast<std::string>();
    if (name == "label" ||
        std::find(field_names.begin(), field_names.end(), name) != field_names.end())
      raise(PyExc_ValueError, format("extra name {!r} is also a field or the label; give the "
                                     "panel another name",
                                     kv.first));
    const std::string what = "extra panel " + py::repr(kv.first).cast<std::string>();
    py::handle panel = kv.second;
    if (!py::isinstance(panel, frame_type))
      raise(PyExc_TypeError, what + " must be a DataFrame (dates x codes), got " + type_name(panel));
    refuse_repeated_labels(panel, what.c_str());
    py::list no_code, no_date;
    py::object columns = panel.attr("columns"), index = panel.attr("index");
    for (py::handle c : codes)
      if (!columns.attr("__contains__")(c).cast<bool>()) no_code.append(c);
    if (py::len(no_code) > 0)
      raise(PyExc_KeyError, format("{} has no column(s) for {!r}", what, no_code));
    py::object missing = dates.attr("difference")(index);
    if (py::len(missing) > 0)
      raise(PyExc_KeyError,
            format("{} has no row(s) for {} of data1's dates, the first {!r}; it must cover "
                   "every date of data1 (NaN where unknown)",
                   what, py::len(missing), py::list(missing[py::slice(0, 3, 1)])));
    py::object aligned = panel.attr("reindex")("index"_a = dates, "columns"_a = codes);
    require_numeric(aligned, what.c_str());
    out.names.push_back(name);
    out.values.push_back(
        Panel(aligned.attr("to_numpy")("dtype"_a = np.attr("float64"), "na_value"_a = np.attr("nan"))));
  }
  return out;
}

}  // namespace

namespace {

// How the frame was built, in its attrs, for the trainers to keep with a saved model.
void record_how_built(py::handle frame, const std::vector<std::string> &field_names,
                      const std::vector<std::string> &extra_names, std::int64_t w,
                      py::handle label, bool labelled) {
  py::dict attrs = frame.attr("attrs");
  py::dict scaling;
  for (const auto &f : field_names)
    scaling[py::str(f)] = py::str(is_price_field(f) ? std::string("close") : f);
  for (const auto &e : extra_names) scaling[py::str(e)] = py::str("none");
  py::list field_list, extra_list;
  for (const auto &f : field_names) field_list.append(py::str(f));
  for (const auto &e : extra_names) extra_list.append(py::str(e));
  attrs["window"] = py::int_(w);
  attrs["fields"] = py::tuple(field_list);
  attrs["extra"] = py::tuple(extra_list);
  attrs["label"] = labelled ? py::reinterpret_borrow<py::object>(label) : py::object(py::none());
  attrs["scaling"] = scaling;
}

}  // namespace

py::object window_features_frame(py::handle data1, py::handle zz500, std::int64_t w,
                                 py::handle fields, py::handle price1, py::handle label,
                                 py::handle extra) {
  py::module_ pd = py::module_::import("pandas");
  py::module_ np = py::module_::import("numpy");
  py::object frame_type = pd.attr("DataFrame");
  py::object columns = data1_columns(data1, pd, frame_type);
  py::list codes = codes_of(zz500);
  const std::size_t m = py::len(codes);
  py::object code_index = code_index_of(codes, pd);
  const std::vector<std::string> field_names = field_names_of(fields, columns);
  const LabelNorm norm = label_norm(label);

  py::object dates = data1.attr("index");
  const std::size_t n = py::len(dates);
  if (!dates.attr("is_unique").cast<bool>() || !dates.attr("is_monotonic_increasing").cast<bool>())
    raise(PyExc_ValueError, "data1's dates must be strictly ascending (no repeats)");
  // A window longer than the dates gives no row; 10**7 of them allocated gigabytes first.
  if (w > static_cast<std::int64_t>(n))
    raise(PyExc_ValueError,
          format("window must be at most {} (the dates of data1), got {}", n, w));
  const ExtraPanels panels = extra_panels_of(extra, codes, dates, field_names, frame_type, np);

  // The kernel's fields in the caller's order, then the fields divided by their own value.
  std::vector<std::string> kernel_fields, own_fields, names = field_names;
  for (const auto &f : field_names) (kernel_scales(f) ? kernel_fields : own_fields).push_back(f);
  names.insert(names.end(), panels.names.begin(), panels.names.end());
  py::list column_names;
  for (const auto &f : names)
    for (std::int64_t s = 0; s < w; ++s) column_names.append(py::str(f + std::to_string(s)));
  py::object name_index = pd.attr("Index")(column_names);
  if (!name_index.attr("is_unique").cast<bool>())
    raise(PyExc_ValueError, format("the feature columns would repeat: {!r}; rename the extra "
                                   "panels",
                                   py::list(name_index[name_index.attr("duplicated")()])));

  const std::vector<std::string> blocks = blocks_of(kernel_fields);
  py::list block_names;
  for (const auto &f : blocks) block_names.append(py::str(f));
  for (const auto &f : own_fields) block_names.append(py::str(f));
  py::array_t<std::int64_t> positions = block_positions(columns, codes, block_names);
  require_positions(positions, codes, block_names);
  Panel values = block_values(data1, positions, np);

  Matrix prices;
  const bool labelled = !price1.is_none();
  if (labelled) {
    prices = label_prices(price1, frame_type, codes, dates);
    require_shared_dates(data1, price1, "no row could be labelled");  // else 0 rows, silently
  }

  WindowPanels p = panels_of(values, kernel_fields, blocks, n, m, w);
  if (labelled) p.prices = prices.data();
  ExtraPlan plan;
  for (std::size_t k = 0; k < own_fields.size(); ++k)
    plan.blocks.push_back({values.data() + (blocks.size() + k) * m * n, true});
  for (const Panel &v : panels.values) plan.blocks.push_back({v.data(), false});
  for (const auto &f : field_names) {
    const auto &group = kernel_scales(f) ? kernel_fields : own_fields;
    const std::size_t at = static_cast<std::size_t>(
        std::find(group.begin(), group.end(), f) - group.begin());
    plan.order.push_back(kernel_scales(f) ? at : kernel_fields.size() + at);
  }
  for (std::size_t k = 0; k < panels.names.size(); ++k)
    plan.order.push_back(kernel_fields.size() + own_fields.size() + k);

  WindowRows rows;
  {
    py::gil_scoped_release nogil;
    rows = choose_rows(p, threads_for(m, n * field_names.size()));
    restrict_rows(plan.blocks, n, m, static_cast<std::size_t>(w), rows);
  }
  const RowArrays arrays = fill_arrays(p, rows, plan, labelled, norm);
  py::object frame = rows_frame(arrays, rows, names, w, dates, code_index, labelled, pd,
                                frame_type);
  record_how_built(frame, field_names, panels.names, w, label, labelled);
  return frame;
}

}  // namespace factorsearch
