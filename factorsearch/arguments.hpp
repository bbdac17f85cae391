// The argument table of factorsearch's entry points: each parameter written once, with its rule
// (market/arguments.hpp). module.cpp binds every entry point from its table (def_entry), which
// gives the signature text, the binding as Python binds a call, the checks in table order and
// the one message form; `factorsearch._arguments` exposes the tables to the tests.
#pragma once

#include <array>
#include <span>
#include <string>
#include <utility>

#include "factorsearch/market/arguments.hpp"

namespace factorsearch::table {

inline constexpr std::int64_t kMaxJobs = 1024;  // processes are started at once: beyond, a slip
inline constexpr std::int64_t kMaxDepth = 512;  // the parser's kMaxFormulaDepth (checked there)
inline constexpr std::int64_t kMaxPopulation = 10'000'000;

using R = Rule;
inline constexpr Param kData1{"data1"}, kPrice1{"price1"}, kZz500{"zz500"};
inline constexpr Param kLegs{"l", nullptr, R::Whole, 1};
inline constexpr Param kJobs{"n_jobs", "1", R::Whole, 1, kMaxJobs, true};
// Dates skipped before the first back-test day: 150, the warm-up f/f1 always use.
inline constexpr Param kWarmup{"warmup", "150", R::Whole, 0,
                               std::numeric_limits<std::int64_t>::max(), true};

inline constexpr std::array kAttempt{kData1, kPrice1, kZz500, kLegs};
inline constexpr std::array kDrive{kData1, kPrice1, kZz500, Param{"ct", nullptr, R::Whole, 0},
                                   kLegs};
inline constexpr std::array kMine{
    kData1, kPrice1, kZz500, Param{"ct", nullptr, R::Whole, 0}, kLegs,
    Param{"long_only", "False", R::Switch, 0, 0, true},
    Param{"seed", "None", R::Seed, 0, 0, true},
    kJobs,
    Param{"executor", "None", R::Any, 0, 0, true},
    Param{"max_attempts", "9999999", R::Whole, 0, std::numeric_limits<std::int64_t>::max(), true},
    Param{"progress", "None", R::Progress, 0, 0, true},
    Param{"holdout", "None", R::Any, 0, 0, true},
    Param{"directory", "None", R::Any, 0, 0, true},
    kWarmup,
    Param{"max_correlation", "None", R::Correlation, 0, 0, true}};
// The breeding parameters evolve and pool share.
inline constexpr Param kGenerations{"generations", "20", R::Whole, 1, std::numeric_limits<std::int64_t>::max(), true};
// Each member is a program held at once: beyond this, memory runs out before a message.
inline constexpr Param kPopulation{"population", "500", R::Whole, 1, kMaxPopulation, true};
inline constexpr Param kFitness{"fitness", "'rank_ic'", R::Any, 0, 0, true};
inline constexpr Param kLongOnlyKw{"long_only", "False", R::Switch, 0, 0, true};
inline constexpr Param kHoldout{"holdout", "None", R::Any, 0, 0, true};
inline constexpr Param kTournament{"tournament", "20", R::Whole, 1, std::numeric_limits<std::int64_t>::max(), true};
inline constexpr Param kPCrossover{"p_crossover", "0.9", R::Probability, 0, 0, true};
inline constexpr Param kPSubtree{"p_subtree", "0.01", R::Probability, 0, 0, true};
inline constexpr Param kPHoist{"p_hoist", "0.01", R::Probability, 0, 0, true};
inline constexpr Param kPPoint{"p_point", "0.01", R::Probability, 0, 0, true};
inline constexpr Param kParsimony{"parsimony", "0.001", R::Any, 0, 0, true};
inline constexpr Param kInitDepth{"init_depth", "(2, 4)", R::Any, 0, 0, true};
// Deeper trees could never be read back (every formula a miss, an empty hall of fame), and
// building 100000 levels overflowed the stack: at most the parser's depth.
inline constexpr Param kMaxDepthParam{"max_depth", "6", R::Whole, 1, kMaxDepth, true};
inline constexpr Param kSeed{"seed", "None", R::Seed, 0, 0, true};
inline constexpr Param kExecutor{"executor", "None", R::Any, 0, 0, true};
inline constexpr Param kProgress{"progress", "None", R::Progress, 0, 0, true};
inline constexpr std::array kEvolve{
    kData1, kPrice1, kZz500, kLegs,
    kGenerations,
    kPopulation,
    kFitness,
    kLongOnlyKw,
    kHoldout,
    kTournament,
    kPCrossover,
    kPSubtree,
    kPHoist,
    kPPoint,
    kParsimony,
    kInitDepth,
    kMaxDepthParam,
    Param{"hall_of_fame", "50", R::Whole, 1, std::numeric_limits<std::int64_t>::max(), true},
    kSeed,
    kJobs,
    kExecutor,
    kProgress,
    kWarmup,
    Param{"max_correlation", "0.9", R::Correlation, 0, 0, true}};
inline constexpr std::array kPool{
    kData1, kPrice1, kZz500, Param{"size", nullptr, R::Whole, 1}, kLegs,
    kGenerations,
    kPopulation,
    kFitness,
    kLongOnlyKw,
    kHoldout,
    Param{"max_correlation", "0.7", R::Correlation, 0, 0, true},
    kTournament,
    kPCrossover,
    kPSubtree,
    kPHoist,
    kPPoint,
    kParsimony,
    kInitDepth,
    kMaxDepthParam,
    kSeed,
    kJobs,
    kExecutor,
    kProgress,
    Param{"directory", "None", R::Any, 0, 0, true},
    kWarmup};
inline constexpr std::array kCombine{Param{"pool"}, kData1, kZz500, Param{"weights", "None"}};
inline constexpr std::array kLookahead{Param{"formula"}, kData1, kZz500,
                                       Param{"cuts", "5", R::Whole, 1}};
inline constexpr std::array kReport{
    Param{"factor"}, kPrice1, Param{"l", "20", R::Whole, 1},
    Param{"long_only", "False", R::Switch},
    Param{"quantiles", "5", R::Whole, 1, 1000},  // more buckets than a day can fill: memory only
    Param{"cost_bps", "0.0"}, Param{"start", "None"}, Param{"end", "None"}, kWarmup};
inline constexpr std::array kWindowFeatures{
    kData1, kZz500, Param{"window", "20", R::Whole, 1},
    Param{"fields", "('open', 'high', 'low', 'close', 'volume')"}, Param{"price1", "None"},
    Param{"label", "'rank'"}, Param{"extra", "None"}};
inline constexpr std::array kSplitDates{Param{"frame"}, Param{"valid_start"}, Param{"test_start"},
                                        Param{"test_end", "None"},
                                        Param{"horizon", "2", R::Whole, 0}};
inline constexpr std::array kCheckSplit{Param{"frame"}, Param{"train"}, Param{"test"},
                                        Param{"horizon", "2", R::Whole, 0}};

// Every table by the entry point's name, as `factorsearch._arguments` lists them.
py::dict describe();

}  // namespace factorsearch::table

namespace factorsearch {

// Binds `f(self, args)` as method `name` of `cls`, its parameters those of `params`.
template <typename F>
void def_entry(py::handle cls, const char *name, std::span<const Param> params, const char *doc,
               F &&f) {
  py::object signature = signature_of(params, true);
  const std::string text = alphaloom::sig_doc(signature_text(name, params, true).c_str(), doc);
  py::options opts;
  opts.disable_function_signatures();
  py::cpp_function cf(
      [signature, params, f](py::object self, py::args args, py::kwargs kwargs) {
        py::object bound = signature.attr("bind")(self, *args, **kwargs);
        bound.attr("apply_defaults")();
        return f(self, Args(params, bound.attr("arguments")));
      },
      py::name(name), py::is_method(cls), py::doc(text.c_str()));
  py::setattr(cls, name, cf);
}

// Binds `f(args)` as function `name` of module `mod`, its parameters those of `params`.
template <typename F>
void def_entry(py::module_ &mod, const char *name, std::span<const Param> params,
               const char *doc, F &&f) {
  py::object signature = signature_of(params, false);
  const std::string text = alphaloom::sig_doc(signature_text(name, params, false).c_str(), doc);
  py::options opts;
  opts.disable_function_signatures();
  py::cpp_function cf(
      [signature, params, f](py::args args, py::kwargs kwargs) {
        py::object bound = signature.attr("bind")(*args, **kwargs);
        bound.attr("apply_defaults")();
        return f(Args(params, bound.attr("arguments")));
      },
      py::name(name), py::scope(mod), py::sibling(py::getattr(mod, name, py::none())),
      py::doc(text.c_str()));
  mod.add_object(name, cf, true);
}

}  // namespace factorsearch
