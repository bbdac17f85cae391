#include "factorsearch/arguments.hpp"

#include "factorsearch/expr/formula_parser.hpp"

static_assert(factorsearch::table::kMaxDepth ==
                  static_cast<std::int64_t>(factorsearch::kMaxFormulaDepth),
              "evolve's max_depth bound is the parser's depth");

namespace factorsearch::table {

namespace {

const char *rule_name(Rule rule) {
  switch (rule) {
    case Rule::Any: return "any";
    case Rule::Whole: return "whole";
    case Rule::Switch: return "switch";
    case Rule::Seed: return "seed";
    case Rule::Probability: return "probability";
    case Rule::Progress: return "progress";
    case Rule::Correlation: return "correlation";
  }
  return "any";
}

py::list rows(std::span<const Param> params) {
  py::list out;
  for (const Param &p : params)
    out.append(py::make_tuple(p.name, p.default_text ? py::object(py::str(p.default_text))
                                                     : py::object(py::none()),
                              rule_name(p.rule), p.minimum, p.maximum, p.keyword_only));
  return out;
}

}  // namespace

py::dict describe() {
  py::dict d;
  d["FactorSearch.f"] = rows(kAttempt);
  d["FactorSearch.f1"] = rows(kAttempt);
  d["FactorSearch.hedge"] = rows(kDrive);
  d["FactorSearch.long"] = rows(kDrive);
  d["FactorSearch.mine"] = rows(kMine);
  d["FactorSearch.evolve"] = rows(kEvolve);
  d["FactorSearch.pool"] = rows(kPool);
  d["FactorSearch.combine"] = rows(kCombine);
  d["FactorSearch.lookahead"] = rows(kLookahead);
  d["report"] = rows(kReport);
  d["window_features"] = rows(kWindowFeatures);
  d["split_dates"] = rows(kSplitDates);
  d["check_split"] = rows(kCheckSplit);
  return d;
}

}  // namespace factorsearch::table
