// Python module `factorsearch`: FactorSearch, a random miner of daily stock-selection formulas.
#include "factorsearch/arguments.hpp"
#include "factorsearch/forecast/date_splits.hpp"
#include "factorsearch/backtest/day_threads.hpp"
#include "factorsearch/faces/test_hooks.hpp"
#include "factorsearch/search/drivers.hpp"
#include "factorsearch/search/miner.hpp"
#include "factorsearch/search/evolve.hpp"
#include "factorsearch/search/pool.hpp"
#include "factorsearch/search/pool_worker.hpp"
#include "factorsearch/faces/factor_text.hpp"
#include "factorsearch/market/long_table.hpp"
#include "factorsearch/search/mine.hpp"
#include "factorsearch/expr/operators.hpp"
#include "factorsearch/faces/report_face.hpp"
#include "factorsearch/kernels/ta_kernels.hpp"
#include "factorsearch/faces/validity.hpp"
#include "factorsearch/backtest/backtest.hpp"
#include "factorsearch/forecast/window_features.hpp"


namespace py = pybind11;
using namespace alphaloom;
using namespace factorsearch;


namespace {

// FactorSearch and its methods of drawing, attempting and searching.
py::object bind_factor_search(py::module_ &m) {
  py::handle mod = m;
  py::object cls = make_class(
      m, "FactorSearch", py::module_::import("builtins").attr("object"),
      "Draws random depth-three formulas from the caller's operators, evaluates them per stock and "
      "back-tests them day by day; hedge/long collect factors into factors/<run>.npy.");
  py::list fields;
  for (const char *name : kFieldNames) fields.append(name);
  cls.attr("fields") = fields;

  def_method(cls, "__init__", "init(self, fuc)",
             "fuc: pairs (operator name, arity). Sets fuc1/fuc (normalised entries), function "
             "(names) and fc (the callables the names evaluate to).",
             [mod](py::object self, py::object fuc) { search_init(mod, self, fuc); },
             py::arg("fuc"));
  def_method(cls, "build_program", "build_program(self)",
             "A random full tree of depth three in pre-order: operator entries of fuc (shared, "
             "read-only) and field indices 0-4. Draws from the `random` module.",
             [](py::object self) { return draw(self).list; });
  def_method(cls, "fuctions", "fuctions(self, fuc1)",
             "The expression text of a program, e.g. 'A(B(close), C(open, volume))'.",
             [](py::object self, py::object program) { return render_program(self, program); },
             py::arg("fuc1"));
  def_entry(cls, "f", table::kAttempt,
            "One long-short mining attempt: the printed result row [text, net value, sharp, "
            "maxdown], or None when the formula fails.",
            [mod](py::object self, const Args &a) {
              return attempt(mod, self, a["data1"], a["price1"], a["zz500"], a.whole("l"), true);
            });
  def_entry(cls, "f1", table::kAttempt, "One long-only mining attempt; returns as f.",
            [mod](py::object self, const Args &a) {
              return attempt(mod, self, a["data1"], a["price1"], a["zz500"], a.whole("l"), false);
            });
  def_entry(cls, "hedge", table::kDrive,
            "Runs long-short attempts until ct factors are found (at most 9999999 attempts), "
            "rewriting factors/<run>.npy after each.",
            [mod](py::object self, const Args &a) {
              drive(mod, self, a["data1"], a["price1"], a["zz500"], a.whole("ct"), a.whole("l"),
                    true);
            });
  def_entry(cls, "long", table::kDrive, "As hedge, with long-only attempts.",
            [mod](py::object self, const Args &a) {
              drive(mod, self, a["data1"], a["price1"], a["zz500"], a.whole("ct"), a.whole("l"),
                    false);
            });

  def_entry(cls, "mine", table::kMine,
            "Collects the first ct factors in attempt order, attempt i drawing from its own "
            "generator seeded from (seed, i): the same seed gives the same rows on any number of "
            "workers. n_jobs > 1 runs a process pool of the call's own; executor= takes any "
            "concurrent.futures executor or a dask.distributed Client. Returns a DataFrame "
            "(formula, net_value, sharpe, maxdown, attempt, deflated_sharpe, duplicate_of) with "
            "attrs seed and path; factors/<run>.npy is rewritten after every factor, all "
            "columns go to factors/<run>.csv. holdout= (a date or a fraction of the dates from "
            "the end) mines on the dates before it only and adds holdout_net_value, "
            "holdout_sharpe, holdout_maxdown, holdout_ic, holdout_rank_ic, holdout_days and "
            "lookahead, scored after selection. directory= puts the result files elsewhere. "
            "A formula counts only when its in-sample back-test has dispersion and trades; "
            "coverage and tradeable_days give its breadth. warmup= dates are skipped before the "
            "first back-test day; max_correlation= (in (0, 1]) turns away a formula whose mean "
            "daily rank correlation with a row already found reaches it (attrs turned_away).",
            [mod](py::object self, const Args &a) { return mine(mod, self, a); });
  def_entry(cls, "evolve", table::kEvolve,
            "Genetic search over formulas of this instance's operators and the five fields: "
            "ramped half-and-half initial trees, tournament selection, subtree crossover, subtree, "
            "hoist and point mutation, parsimony pressure. Fitness ('rank_ic', 'ic', 'sharpe' or "
            "a callable taking a report summary) on the in-sample dates only; reproducible from "
            "seed on any number of workers (n_jobs, executor= as mine). Returns the hall of fame "
            "(formula, fitness, depth, length, generation, net_value, sharpe, maxdown, "
            "deflated_sharpe, and with holdout the holdout_* columns and lookahead) with "
            "attrs history, seed, path and evaluations. Only days the legs can fill count "
            "toward a built-in fitness, and a formula tradeable on fewer than half of them "
            "scores worst. The hall of fame holds no two formulas whose mean daily rank "
            "correlation reaches max_correlation (None: the best rows as they are, repeats "
            "named in duplicate_of); attrs turned_away counts the formulas kept out; warmup= "
            "as mine.",
            [mod](py::object self, const Args &a) { return evolve(mod, self, a); });
  def_entry(cls, "pool", table::kPool,
            "Grows a pool of at most `size` formulas whose linear combination has the best "
            "in-sample (rank) IC: evolve's breeding, with a candidate's fitness the gain it "
            "brings to the combination (each member normalised per day to ranks in (-0.5, 0.5), "
            "weights fit by ridge least squares of the per-day normalised forward return on the "
            "in-sample back-test days). A candidate whose mean daily rank correlation with a "
            "member reaches max_correlation (either sign) is turned away; beyond `size` the "
            "member whose leaving costs least is dropped. Returns one row per member (formula, "
            "weight, rank_ic, contribution, coverage, net_value, sharpe, maxdown, generation, and "
            "with holdout the holdout_* columns and lookahead) with attrs combined (in_sample and "
            "holdout figures of the combination), score, history, evaluations, turned_away, "
            "trial_sharpes, seed, path and table.",
            [mod](py::object self, const Args &a) { return pool(mod, self, a); });
  return cls;
}

// The worker entry points of mine, evolve and pool (their process pools and executors call them).
void bind_workers(py::module_ &m) {
  py::handle mod = m;
  m.def("_evolve_chunk",
        [mod](py::object job, py::object data, py::object texts) {
          return evolve_chunk(mod, job, data, texts);
        },
        py::arg("job"), py::arg("data"), py::arg("texts"),
        "Worker side of FactorSearch.evolve: scores of formula texts of one call.");
  m.def("_evolve_worker_init",
        [mod](py::object job, py::object data, int kernel_threads, std::int64_t parent_pid) {
          evolve_worker_init(mod, job, data, kernel_threads, parent_pid);
        },
        py::arg("job"), py::arg("data"), py::arg("kernel_threads") = 0,
        py::arg("parent_pid") = 0,
        "Process-pool initializer of FactorSearch.evolve.");
  m.def("_pool_chunk",
        [mod](py::object job, py::object data, py::object members, py::object texts) {
          return pool_chunk(mod, job, data, members, texts);
        },
        py::arg("job"), py::arg("data"), py::arg("members"), py::arg("texts"),
        "Worker side of FactorSearch.pool: candidates of one call scored against the members.");
  m.def("_pool_worker_init",
        [mod](py::object job, py::object data, int kernel_threads, std::int64_t parent_pid) {
          pool_worker_init(mod, job, data, kernel_threads, parent_pid);
        },
        py::arg("job"), py::arg("data"), py::arg("kernel_threads") = 0,
        py::arg("parent_pid") = 0,
        "Process-pool initializer of FactorSearch.pool.");
  m.def("_pool_scores",
        [mod](py::object miner, py::object members, py::object texts, py::object data1,
              py::object price1, py::object zz500, py::object l, py::object fitness,
              py::object long_only) {
          return pool_scores(mod, miner, members, texts, data1, price1, zz500, l, fitness,
                             long_only);
        },
        py::arg("miner"), py::arg("members"), py::arg("texts"), py::arg("data1"),
        py::arg("price1"), py::arg("zz500"), py::arg("l"), py::arg("fitness") = "rank_ic",
        py::arg("long_only") = false,
        "The gain FactorSearch.pool gives each formula text against a pool of `members` (NaN "
        "for one that fails, is refused or does not trade), scored in this process.");
  m.def("_pool_weights",
        [mod](py::object miner, py::object members, py::object data1, py::object price1,
              py::object zz500) { return pool_weights(mod, miner, members, data1, price1, zz500); },
        py::arg("miner"), py::arg("members"), py::arg("data1"), py::arg("price1"),
        py::arg("zz500"),
        "The weights FactorSearch.pool's fit gives `members` on these (in-sample) data.");
  m.def("_evolve_scores",
        [mod](py::object miner, py::object texts, py::object data1, py::object price1,
              py::object zz500, py::object l, py::object fitness, py::object long_only,
              py::object warmup) {
          return evolve_scores(mod, miner, texts, data1, price1, zz500, l, fitness, long_only,
                               warmup);
        },
        py::arg("miner"), py::arg("texts"), py::arg("data1"), py::arg("price1"),
        py::arg("zz500"), py::arg("l"), py::arg("fitness") = "rank_ic",
        py::arg("long_only") = false, py::arg("warmup") = factorsearch::kFirstDay,
        "The in-sample fitness FactorSearch.evolve gives each formula text of `miner` (NaN for "
        "a formula that fails, is constant or has no back-test day), scored in this process.");
  m.def("_set_kernel_threads", &set_kernel_threads, py::arg("threads"),
        "For tests and benchmarks: the native kernels of this process use exactly `threads` "
        "threads where they split work (0: back to the process's share of the cores, as many as "
        "pay).");
  m.def("_rank_correlation", &rank_correlation, py::arg("a"), py::arg("b"), py::arg("first_day"),
        py::arg("end_day"),
        "For tests: the mean over the days [first_day, end_day) of the rank correlation of two "
        "dates x stocks arrays on their common eligible cells, as mine and evolve bound "
        "near-copies with.");
  m.def("_gp_samples", &gp_samples, py::arg("arities"), py::arg("init_depth"),
        py::arg("max_depth"), py::arg("variation"), py::arg("count"), py::arg("seed"),
        "For tests: `count` (parent, donor, child) triples of one variation ('crossover', "
        "'subtree', 'hoist', 'point', 'ramped'), parents and donors ramped trees over operators "
        "of these arities; programs as lists of (operator or -1, field or -1, arity).");
  m.def("_mine_chunk",
        [mod](py::object job, py::object data, std::int64_t start, std::int64_t stop) {
          return mine_chunk(mod, job, data, start, stop);
        },
        py::arg("job"), py::arg("data"), py::arg("start"), py::arg("stop"),
        "Worker side of FactorSearch.mine: attempts [start, stop) of one call.");
  m.def("_mine_worker_init",
        [mod](py::object token, py::object data, int kernel_threads, std::int64_t parent_pid) {
          mine_worker_init(mod, token, data, kernel_threads, parent_pid);
        },
        py::arg("token"), py::arg("data"), py::arg("kernel_threads") = 0,
        py::arg("parent_pid") = 0,
        "Process-pool initializer of FactorSearch.mine.");
}

// Private hooks for tests and benchmarks, and how a callable runs as a formula node.
void bind_hooks(py::module_ &m) {
  py::handle mod = m;
  {
    py::options o;
    o.disable_function_signatures();
    m.def("operator_kind", [mod](py::object fn) { return kind_name(classify(mod, fn).kind); },
          py::arg("fn"),
          sig_doc("operator_kind(fn)",
                  "How a formula node with this callable runs: 'ufunc' (NumPy ufuncs and abs) and "
                  "'native' (ta indicators with a native kernel) over the whole panel when their "
                  "arguments are float64 values on data1's dates, 'built-in' (the built-in "
                  "operators) likewise, 'per-stock' (anything else) once per stock with pandas "
                  "Series.")
              .c_str());
  }
  m.def("_evaluate",
        [mod](py::object self, py::object program, py::object data1, py::object price1,
              py::object zz500) { return evaluate_list(mod, self, program, data1, price1, zz500); },
        py::arg("miner"), py::arg("program"), py::arg("data1"), py::arg("price1"),
        py::arg("zz500"),
        "The dates x stocks factor panel of a program of `miner`, as an attempt evaluates it "
        "(errors are raised, not caught).");
  m.def("_backtest", &backtest_arrays, py::arg("panel"), py::arg("prices"), py::arg("l"),
        py::arg("hedged"),
        "The back-test alone over dates x stocks arrays: (daily returns, net value, sharp, "
        "maxdown), or None without a back-test day.");

  m.def("_ta_panel", &ta_panel, py::arg("module"), py::arg("name"), py::kw_only(),
        py::arg("threads") = 0,
        "A native `ta` indicator kernel over dates x stocks float64 arrays (inputs in the "
        "function's positional order), on up to `threads` threads (0: one per core); KeyError "
        "for a function without one.");
  py::list names;
  for (const auto &k : ta::kernels()) names.append(py::make_tuple(k.module, k.name, k.arity));
  m.attr("_ta_kernels") = names;
  m.attr("_arguments") = table::describe();

}

// Using a found formula: its factor panel, its look-ahead check, the report of a factor and the
// deflated Sharpe.
void bind_research(py::module_ &m, py::handle cls) {
  py::handle mod = m;
  // Using a found formula: its factor panel, the report of a factor, the long-table reader.
  def_method(cls, "factor", "factor(self, formula, data1, zz500)",
             "The dates x codes float64 DataFrame of a formula text as the miner prints and saves "
             "it, evaluated as an attempt does (forward-filled fields, this instance's operators). "
             "ValueError names the position of a text that is not a formula, an unknown operator "
             "or an argument count that does not match.",
             [mod](py::object self, py::object formula, py::object data1, py::object zz500) {
               return factor_frame(mod, self, formula, data1, zz500);
             },
             py::arg("formula"), py::arg("data1"), py::arg("zz500"));
  def_entry(cls, "combine", table::kCombine,
            "The combined factor (dates x codes float64 DataFrame) of a pool as pool returns it "
            "(its formula and weight columns), or of a list of formulas with weights=: each "
            "formula evaluated as factor does, normalised per day to ranks in (-0.5, 0.5) over "
            "its eligible stocks (0 elsewhere) and summed with its weight; NaN where no formula "
            "is eligible. report(miner.combine(df, data1, codes), price1, ...) gives the "
            "combination's figures.",
            [mod](py::object self, const Args &a) {
              return combine_frame(mod, self, a["pool"], a["data1"], a["zz500"], a["weights"]);
            });
  def_entry(cls, "lookahead", table::kLookahead,
            "Whether a formula's value on a day depends on later data: the formula is evaluated "
            "on data1 cut at `cuts` dates spread over its second half and each cut's values are "
            "compared with the whole-data values on the dates before the cut (relative 1e-9, "
            "NaN equals NaN). A DataFrame with one row per cut: cut (the first date left out), "
            "compared, changed (cells) and first_changed (NaT when none changed).",
            [mod](py::object self, const Args &a) {
              return lookahead_frame(mod, self, a["formula"], a["data1"], a["zz500"],
                                     a.whole("cuts"));
            });
  py::object report_cls = define_report_class(m);
  {
    py::options o;
    o.disable_function_signatures();
    def_entry(m, "report", table::kReport,
              "Back-test statistics of one factor panel (dates x codes) on the miner's rules: a Report "
              "with summary, daily, quantile_returns, ic_decay and plot(path). The back-test starts "
              "after `warmup` dates (warmup + 3 dates needed); start/end limit the "
              "back-test days to dates in [start, end] (the warm-up then does not apply). A "
              "prediction (a Series or one-column DataFrame on a (datetime, instrument) MultiIndex, as "
              "predict returns) is laid out on price1's dates x columns and scored on exactly its "
              "dates that have t+2 in price1.",
              [report_cls](const Args &a) { return make_report(report_cls, a); });
    m.def("deflated_sharpe", &deflated_sharpe_of, py::arg("returns"), py::arg("trial_sharpes"),
          "deflated_sharpe(returns, trial_sharpes)\n--\n\n"
          "The probability that the true Sharpe of `returns` (daily, missing as 0) exceeds the "
          "Sharpe the best of the tries would show by luck: Phi((SR - SR0) * sqrt(T - 1) / "
          "sqrt(1 - skew*SR + (kurt - 1)/4*SR^2)), SR per day with ddof 1, SR0 the expected "
          "maximum of len(trial_sharpes) tries with their spread (per-day SRs, NaN ignored; 0 "
          "for one try). NaN for fewer than 3 returns or a flat series.");
  }
}

// The forecasters' data: the long-table reader, window features, date splits.
void bind_forecast(py::module_ &m) {
  py::handle mod = m;
  {
    py::options o;
    o.disable_function_signatures();
    m.def("from_long", &from_long, py::arg("frame"), py::arg("date") = "date",
          py::arg("code") = "code", py::arg("price") = "open",
          "from_long(frame, date='date', code='code', price='open')\n--\n\n"
          "(data1, price1, zz500) from a long table with one row per date and code and the "
          "fields open, high, low, close, volume (names case-insensitive). Dates and codes "
          "sorted; missing stock-days stay NaN.");
    def_entry(m, "window_features", table::kWindowFeatures,
              "The forecasters' frame: one float32 row per (datetime, instrument), field k at step t "
              "in column k*window + t (oldest first), prices (open, high, low, close, vwap) over the "
              "latest close and any other field of data1 over its own latest value; `extra` "
              "{name: dates x codes panel} adds windowed columns of caller panels, as given; with "
              "price1, a 'label' column holding the forward return the back-test trades, "
              "(p[t+2] - p[t+1]) / p[t+1], normalised per day ('rank', 'zscore' or 'raw'). Rows "
              "with a non-finite feature are left out (attrs['dropped'] counts them).",
              [](const Args &a) {
                return window_features_frame(a["data1"], a["zz500"], a.whole("window"),
                                             a["fields"], a["price1"], a["label"], a["extra"]);
              });
    def_entry(m, "split_dates", table::kSplitDates,
              "(train, valid, test) selector texts splitting a frame with dates as its first index "
              "level chronologically, e.g. (\".loc[:'2010-02-25']\", ...): train before valid_start, "
              "valid before test_start, test from test_start (to test_end), the last `horizon` dates "
              "before each start left out (their labels are returns earned after it).",
              [mod](const Args &a) {
                return split_dates(py::reinterpret_borrow<py::module_>(mod), a["frame"],
                                   a["valid_start"], a["test_start"], a["test_end"],
                                   a.whole("horizon"));
              });
    def_entry(m, "check_split", table::kCheckSplit,
              "ValueError when the test rows (a selector text evaluated after `frame`, as fit does, "
              "or a frame) hold a date from the first training date to `horizon` dates after the "
              "last one, where the training labels were earned.",
              [mod](const Args &a) {
                check_split(py::reinterpret_borrow<py::module_>(mod), a["frame"], a["train"],
                            a["test"], a.whole("horizon"));
              });
  }
}

}  // namespace

PYBIND11_MODULE(factorsearch, m) {
  m.doc() =
      "Random search for daily stock-selection formulas over open/high/low/close/volume, "
      "back-tested as long-short or long-only strategies.";
  // Operator names are resolved in this namespace (see bind_namespace).
  bind_namespace(m);
  // The built-in operators (delay_1, ts_mean_5, cs_rank, ...) join it by plain name.
  bind_builtin_operators(m);

  py::object cls = bind_factor_search(m);
  bind_workers(m);
  bind_hooks(m);
  bind_research(m, cls);
  bind_forecast(m);
}
