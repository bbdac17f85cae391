// Genetic search over formula programs: ramped half-and-half initial trees, tournament selection,
// subtree crossover and the subtree, hoist and point mutations. Pure C++ over the pre-order
// programs of program.hpp (operators of any arity, field terminals). Every draw comes from a
// generator keyed by (run key, generation, individual), so the child at a position of a generation
// is the same wherever and in whatever order it is bred.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "factorsearch/expr/program.hpp"

namespace factorsearch::gp {

// xoshiro256** seeded through splitmix64 from the key and the (generation, individual) position.
// Integer draws use rejection, never the standard library's distributions, whose results differ
// between library versions.
class Rng {
 public:
  Rng(const std::array<std::uint64_t, 4> &key, std::uint64_t generation, std::uint64_t individual);
  std::uint64_t next();
  std::uint64_t below(std::uint64_t n);  // uniform in [0, n); n >= 1
  double uniform();                      // uniform in [0, 1)

 private:
  std::array<std::uint64_t, 4> s_{};
};

struct OpChoice {
  std::int64_t op = 0;     // the index the Element carries (the caller's operator list)
  std::int64_t arity = 1;  // >= 1
};

struct Config {
  std::vector<OpChoice> ops;  // the operators trees are built from (distinct), not empty
  std::int64_t n_fields = 5;
  std::int64_t init_min = 2, init_max = 4;  // depth of the initial trees
  std::int64_t max_depth = 6;               // no child is deeper
  std::int64_t tournament = 20;
  double p_crossover = 0.9, p_subtree = 0.01, p_hoist = 0.01, p_point = 0.01;
  double point_rate = 0.1;  // share of nodes a point mutation replaces (at least one)
};

// Depth counts operator levels: `A(close)` has depth 1, `A(B(close), open)` depth 2. A formula is
// always an operator call, so every program here has depth >= 1.
std::size_t subtree_end(const Program &p, std::size_t i);  // one past the subtree starting at i
std::vector<std::int64_t> node_levels(const Program &p);    // operators above each node
std::int64_t subtree_depth(const Program &p, std::size_t i);
std::int64_t depth(const Program &p);

// A complete tree, rooted at an operator, within `max_depth`, over the configured operators and
// fields.
bool valid(const Program &p, const Config &cfg);

// Full (every branch reaches `depth`) or grow (branches may stop early at a field) tree; the root
// is an operator unless `allow_field_root`.
Program random_tree(Rng &rng, const Config &cfg, std::int64_t depth, bool full,
                    bool allow_field_root = false);
// Ramped half-and-half: depth uniform in [init_min, init_max], full or grow with equal odds.
Program ramped(Rng &rng, const Config &cfg);

// The subtree at a random point of `parent` (operators nine times in ten) replaced by a random
// subtree of `donor` that keeps the child within max_depth and rooted at an operator.
Program crossover(Rng &rng, const Program &parent, const Program &donor, const Config &cfg);
// Crossover with a fresh random (grow) tree as the donor.
Program subtree_mutation(Rng &rng, const Program &parent, const Config &cfg);
// A random operator subtree replaced by one of its own subtrees: shrinks the program.
Program hoist_mutation(Rng &rng, const Program &parent, const Config &cfg);
// Nodes replaced in place by another operator of the same arity or another field.
Program point_mutation(Rng &rng, const Program &parent, const Config &cfg);

// The best of `size` positions drawn with replacement (the first drawn among equals).
std::size_t tournament(Rng &rng, std::span<const double> score, std::int64_t size);

enum class Variation { Crossover, Subtree, Hoist, Point, Copy };

struct Child {
  Program program;
  Variation how = Variation::Copy;
};

// One individual of the next generation from the scored population (higher score is better).
Child breed(Rng &rng, std::span<const Program> population, std::span<const double> score,
            const Config &cfg);

}  // namespace factorsearch::gp
