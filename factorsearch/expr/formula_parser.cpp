#include "factorsearch/expr/formula_parser.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

namespace factorsearch {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_name_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
}

// The text arrives as UTF-8. Messages count characters, as the caller does (a pasted no-break
// space is one character, two bytes), and never cut a character in two.
bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::size_t characters(std::string_view text, std::size_t pos) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < pos && i < text.size(); ++i) n += !is_continuation(text[i]);
  return n;
}

std::string at(std::string_view text, std::size_t pos) {
  return " at position " + std::to_string(characters(text, pos));
}

FormulaError error(const std::string &msg, std::string_view text, std::size_t pos) {
  return FormulaError(msg + at(text, pos), characters(text, pos));
}

// The code point of the UTF-8 sequence text[pos, end) (well-formed: it came from a str).
std::uint32_t code_point(std::string_view text, std::size_t pos, std::size_t end) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  const std::size_t len = end - pos;
  std::uint32_t cp = len == 1 ? lead : len == 2 ? lead & 0x1F : len == 3 ? lead & 0x0F : lead & 0x07;
  for (std::size_t i = pos + 1; i < end; ++i) cp = (cp << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
  return cp;
}

// What the reader found at `pos`, for messages: the next name-like token or character. A
// character outside ASCII also gets its code point: a no-break space looks like a blank.
std::string found(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return "the end of the text";
  std::size_t end = pos;
  while (end < text.size() && is_name_char(text[end])) ++end;
  if (end > pos) return "'" + std::string(text.substr(pos, end - pos)) + "'";
  end = pos + 1;
  while (end < text.size() && is_continuation(text[end])) ++end;
  std::string shown = "'" + std::string(text.substr(pos, end - pos)) + "'";
  if (static_cast<unsigned char>(text[pos]) < 0x80) return shown;
  char code[16];
  std::snprintf(code, sizeof code, " (U+%04X)", static_cast<unsigned>(code_point(text, pos, end)));
  return shown + code;
}

class Reader {
 public:
  Reader(std::string_view text, std::span<const OperatorSpec> ops,
         std::span<const std::string> fields)
      : text_(text), ops_(ops), fields_(fields) {
    for (std::size_t k = 0; k < ops.size(); ++k)
      if (!ops[k].name.empty()) by_length_.push_back(k);
    std::stable_sort(by_length_.begin(), by_length_.end(), [&](std::size_t a, std::size_t b) {
      return ops_[a].name.size() > ops_[b].name.size();
    });
  }

  Program read() {
    skip();
    if (pos_ < text_.size() && field_here() >= 0 && operator_here().empty())
      throw error("a formula is an operator call, not a bare field", text_, pos_);
    call(0);
    skip();
    if (pos_ != text_.size())
      throw error("unexpected " + found(text_, pos_) + " after the formula", text_, pos_);
    return std::move(program_);
  }

 private:
  void skip() {
    while (pos_ < text_.size() && is_blank(text_[pos_])) ++pos_;
  }

  bool next_is(char c) {
    skip();
    return pos_ < text_.size() && text_[pos_] == c;
  }

  // The listed names spelled at pos_ and followed by "(", longest first (one name, all entries).
  std::string_view operator_here() const {
    for (std::size_t k : by_length_) {
      const std::string &name = ops_[k].name;
      if (text_.compare(pos_, name.size(), name) != 0) continue;
      std::size_t p = pos_ + name.size();
      while (p < text_.size() && is_blank(text_[p])) ++p;
      if (p < text_.size() && text_[p] == '(') return name;
    }
    return {};
  }

  // The field spelled at pos_ as a whole token, or -1.
  std::int64_t field_here() const {
    for (std::size_t f = 0; f < fields_.size(); ++f) {
      const std::string &name = fields_[f];
      if (name.empty() || text_.compare(pos_, name.size(), name) != 0) continue;
      std::size_t p = pos_ + name.size();
      if (p < text_.size() && is_name_char(text_[p])) continue;  // "opened" is not "open"
      return static_cast<std::int64_t>(f);
    }
    return -1;
  }

  void argument(std::size_t depth) {
    skip();
    if (!operator_here().empty()) return call(depth);
    std::int64_t f = field_here();
    if (f >= 0) {
      program_.push_back(Element{-1, f, 0});
      pos_ += fields_[static_cast<std::size_t>(f)].size();
      return;
    }
    call(depth);  // reports what stands here
  }

  void call(std::size_t depth) {
    skip();
    const std::size_t start = pos_;
    if (depth >= kMaxFormulaDepth)
      throw error("the formula nests deeper than " + std::to_string(kMaxFormulaDepth) + " calls",
                  text_, start);
    std::string_view name = operator_here();
    if (name.empty()) {
      std::size_t end = pos_;
      while (end < text_.size() && is_name_char(text_[end])) ++end;
      std::size_t p = end;
      while (p < text_.size() && is_blank(text_[p])) ++p;
      if (end > pos_ && p < text_.size() && text_[p] == '(')
        throw error("unknown operator '" + std::string(text_.substr(pos_, end - pos_)) + "'",
                    text_, start);
      throw error("expected an operator call or a field, found " + found(text_, pos_), text_,
                  start);
    }
    const std::size_t slot = program_.size();
    program_.push_back(Element{});
    pos_ += name.size();
    skip();
    ++pos_;  // "("
    std::int64_t count = 0;
    for (;;) {
      argument(depth + 1);
      ++count;
      if (next_is(',')) {
        ++pos_;
        continue;
      }
      if (next_is(')')) {
        ++pos_;
        break;
      }
      throw error("expected ',' or ')', found " + found(text_, pos_), text_, pos_);
    }
    std::int64_t chosen = -1;
    std::string arities;
    for (std::size_t k = 0; k < ops_.size(); ++k) {
      if (ops_[k].name != name) continue;
      if (ops_[k].arity == count) {
        chosen = static_cast<std::int64_t>(k);
        break;
      }
      arities += (arities.empty() ? "" : " or ") + std::to_string(ops_[k].arity);
    }
    if (chosen < 0)
      throw error("operator '" + std::string(name) + "' takes " + arities +
                      " argument(s), got " + std::to_string(count),
                  text_, start);
    program_[slot] = Element{chosen, -1, count};
  }

  std::string_view text_;
  std::span<const OperatorSpec> ops_;
  std::span<const std::string> fields_;
  std::vector<std::size_t> by_length_;
  std::size_t pos_ = 0;
  Program program_;
};

}  // namespace

Program parse_formula(std::string_view text, std::span<const OperatorSpec> ops,
                      std::span<const std::string> fields) {
  if (text.find_first_not_of(" \t\n\r") == std::string_view::npos)
    throw error("the formula is empty", text, text.size());
  return Reader(text, ops, fields).read();
}

}  // namespace factorsearch
