// Reads a formula text, as the miner renders and saves it, back into a program. Pure C++: the
// caller supplies the operator names (exactly as listed, dotted or not) and the field names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "factorsearch/expr/program.hpp"

namespace factorsearch {

struct OperatorSpec {
  std::string name;
  std::int64_t arity = 0;
};

// Every rejection says where: the message names the 0-based character position, and the unknown
// operator or the arity mismatch when that is the fault.
class FormulaError : public std::invalid_argument {
 public:
  FormulaError(const std::string &msg, std::size_t position)
      : std::invalid_argument(msg), position_(position) {}
  std::size_t position() const { return position_; }

 private:
  std::size_t position_;
};

// Formulas nest at most this deep; deeper text is refused instead of exhausting the stack.
inline constexpr std::size_t kMaxFormulaDepth = 512;

// `name(arg, arg, ...)` with fields as terminals; the whole text is one operator call. Blanks
// between tokens are allowed. Operator names are matched literally, the longest listed name
// first, so names holding punctuation (a lambda text) read back as they were rendered. Where
// several entries share a name, the one whose arity equals the argument count is taken (the
// first such, in list order). Elements come back in pre-order with `op` indexing `ops`. `text`
// is UTF-8; positions in messages count its characters, not its bytes.
Program parse_formula(std::string_view text, std::span<const OperatorSpec> ops,
                      std::span<const std::string> fields);

}  // namespace factorsearch
