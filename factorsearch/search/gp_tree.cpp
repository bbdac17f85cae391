#include "factorsearch/search/gp_tree.hpp"

#include <algorithm>
#include <limits>

namespace factorsearch::gp {

namespace {

std::uint64_t splitmix(std::uint64_t &x) {
  std::uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

inline std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

// Nodes are picked among operators nine times in ten: picking uniformly among all nodes would
// mostly swap single fields, since about half the nodes of a tree are leaves.
constexpr double kOperatorBias = 0.9;

Element field_element(Rng &rng, const Config &cfg) {
  return {-1, static_cast<std::int64_t>(rng.below(static_cast<std::uint64_t>(cfg.n_fields))), 0};
}

Element op_element(Rng &rng, const Config &cfg) {
  const OpChoice &c = cfg.ops[rng.below(cfg.ops.size())];
  return {c.op, -1, c.arity};
}

void grow_into(Program &out, Rng &rng, const Config &cfg, std::int64_t left, bool full,
               bool field_allowed) {
  bool op = left > 0;
  if (op && !full && field_allowed) {
    // Grow: a field as likely as its share of the primitives.
    const auto n_ops = cfg.ops.size(), n_fields = static_cast<std::size_t>(cfg.n_fields);
    op = rng.below(n_ops + n_fields) < n_ops;
  }
  if (!op) {
    out.push_back(field_element(rng, cfg));
    return;
  }
  out.push_back(op_element(rng, cfg));
  const std::int64_t arity = out.back().arity;
  for (std::int64_t a = 0; a < arity; ++a) grow_into(out, rng, cfg, left - 1, full, true);
}

// One position of `p` among those `fits` accepts, operators favoured; npos when none fits.
template <typename Fits>
std::size_t pick(Rng &rng, const Program &p, Fits &&fits) {
  std::vector<std::size_t> ops, leaves;
  for (std::size_t i = 0; i < p.size(); ++i)
    if (fits(i)) (p[i].is_op() ? ops : leaves).push_back(i);
  if (ops.empty() && leaves.empty()) return static_cast<std::size_t>(-1);
  const bool from_ops = leaves.empty() || (!ops.empty() && rng.uniform() < kOperatorBias);
  const auto &from = from_ops ? ops : leaves;
  return from[rng.below(from.size())];
}

Program splice(const Program &p, std::size_t at, const Program &src, std::size_t from,
               std::size_t to) {
  Program out(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(at));
  out.insert(out.end(), src.begin() + static_cast<std::ptrdiff_t>(from),
             src.begin() + static_cast<std::ptrdiff_t>(to));
  const std::size_t end = subtree_end(p, at);
  out.insert(out.end(), p.begin() + static_cast<std::ptrdiff_t>(end), p.end());
  return out;
}

}  // namespace

Rng::Rng(const std::array<std::uint64_t, 4> &key, std::uint64_t generation,
         std::uint64_t individual) {
  std::uint64_t x = 0x6a09e667f3bcc909ULL;
  for (std::uint64_t k : key) {
    x ^= k;
    x = splitmix(x);
  }
  x ^= generation * 0xd1342543de82ef95ULL;
  x = splitmix(x);
  x ^= individual;
  for (auto &s : s_) s = splitmix(x);
}

std::uint64_t Rng::next() {
  const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
  const std::uint64_t t = s_[1] << 17;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = rotl(s_[3], 45);
  return result;
}

std::uint64_t Rng::below(std::uint64_t n) {
  // The largest multiple of n that fits: draws above it would favour small values.
  const std::uint64_t limit = std::numeric_limits<std::uint64_t>::max() -
                              std::numeric_limits<std::uint64_t>::max() % n;
  std::uint64_t x;
  do x = next();
  while (x >= limit);
  return x % n;
}

double Rng::uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

std::size_t subtree_end(const Program &p, std::size_t i) {
  std::int64_t open = 1;
  while (open > 0 && i < p.size()) open += p[i++].arity - 1;
  return i;
}

std::vector<std::int64_t> node_levels(const Program &p) {
  std::vector<std::int64_t> levels(p.size(), 0);
  std::vector<std::int64_t> pending;  // arguments still missing, per open operator
  for (std::size_t i = 0; i < p.size(); ++i) {
    levels[i] = static_cast<std::int64_t>(pending.size());
    if (p[i].is_op()) {
      pending.push_back(p[i].arity);
      continue;
    }
    while (!pending.empty() && --pending.back() == 0) pending.pop_back();
  }
  return levels;
}

std::int64_t subtree_depth(const Program &p, std::size_t i) {
  const std::size_t end = subtree_end(p, i);
  std::int64_t level = 0, deepest = 0;
  std::vector<std::int64_t> pending;
  for (std::size_t k = i; k < end; ++k) {
    level = static_cast<std::int64_t>(pending.size());
    if (p[k].is_op()) {
      deepest = std::max(deepest, level + 1);
      pending.push_back(p[k].arity);
      continue;
    }
    while (!pending.empty() && --pending.back() == 0) pending.pop_back();
  }
  return deepest;
}

std::int64_t depth(const Program &p) { return p.empty() ? 0 : subtree_depth(p, 0); }

bool valid(const Program &p, const Config &cfg) {
  if (p.empty() || !p[0].is_op()) return false;
  std::int64_t open = 1;
  for (const Element &e : p) {
    if (open <= 0) return false;
    if (e.is_op()) {
      auto it = std::find_if(cfg.ops.begin(), cfg.ops.end(),
                             [&](const OpChoice &c) { return c.op == e.op; });
      if (it == cfg.ops.end() || it->arity != e.arity) return false;
    } else if (e.field < 0 || e.field >= cfg.n_fields) {
      return false;
    }
    open += e.arity - 1;
  }
  return open == 0 && depth(p) <= cfg.max_depth;
}

Program random_tree(Rng &rng, const Config &cfg, std::int64_t depth, bool full,
                    bool allow_field_root) {
  Program out;
  if (depth <= 0 && allow_field_root) {
    out.push_back(field_element(rng, cfg));
    return out;
  }
  depth = std::max<std::int64_t>(depth, 1);
  if (!allow_field_root) {
    out.push_back(op_element(rng, cfg));
    const std::int64_t arity = out.back().arity;
    for (std::int64_t a = 0; a < arity; ++a) grow_into(out, rng, cfg, depth - 1, full, true);
    return out;
  }
  grow_into(out, rng, cfg, depth, full, true);
  return out;
}

Program ramped(Rng &rng, const Config &cfg) {
  const auto span = static_cast<std::uint64_t>(cfg.init_max - cfg.init_min + 1);
  const std::int64_t d = cfg.init_min + static_cast<std::int64_t>(rng.below(span));
  const bool full = rng.below(2) == 0;
  return random_tree(rng, cfg, d, full);
}

Program crossover(Rng &rng, const Program &parent, const Program &donor, const Config &cfg) {
  const std::size_t at = pick(rng, parent, [](std::size_t) { return true; });
  const std::int64_t room = cfg.max_depth - node_levels(parent)[at];
  const bool root = at == 0;
  const std::size_t from = pick(rng, donor, [&](std::size_t i) {
    return subtree_depth(donor, i) <= room && (!root || donor[i].is_op());
  });
  if (from == static_cast<std::size_t>(-1)) return parent;
  return splice(parent, at, donor, from, subtree_end(donor, from));
}

Program subtree_mutation(Rng &rng, const Program &parent, const Config &cfg) {
  const std::size_t at = pick(rng, parent, [](std::size_t) { return true; });
  const std::int64_t room = cfg.max_depth - node_levels(parent)[at];
  const std::int64_t d = std::min<std::int64_t>(
      room, cfg.init_min + static_cast<std::int64_t>(rng.below(
                               static_cast<std::uint64_t>(cfg.init_max - cfg.init_min + 1))));
  const Program fresh = random_tree(rng, cfg, d, false, at != 0);
  return splice(parent, at, fresh, 0, fresh.size());
}

Program hoist_mutation(Rng &rng, const Program &parent, const Config &cfg) {
  (void)cfg;
  std::vector<std::size_t> ops;
  for (std::size_t i = 0; i < parent.size(); ++i)
    if (parent[i].is_op()) ops.push_back(i);
  const std::size_t at = ops[rng.below(ops.size())];
  const std::size_t end = subtree_end(parent, at);
  // Strictly inside the chosen subtree; at the root, only an operator can take its place.
  const std::size_t from = pick(rng, parent, [&](std::size_t i) {
    return i > at && i < end && (at != 0 || parent[i].is_op());
  });
  if (from == static_cast<std::size_t>(-1)) return parent;
  return splice(parent, at, parent, from, subtree_end(parent, from));
}

Program point_mutation(Rng &rng, const Program &parent, const Config &cfg) {
  Program child = parent;
  std::vector<bool> hit(child.size(), false);
  bool any = false;
  for (std::size_t i = 0; i < child.size(); ++i) {
    hit[i] = rng.uniform() < cfg.point_rate;
    any = any || hit[i];
  }
  if (!any) hit[rng.below(child.size())] = true;
  for (std::size_t i = 0; i < child.size(); ++i) {
    if (!hit[i]) continue;
    Element &e = child[i];
    if (!e.is_op()) {
      if (cfg.n_fields > 1) {
        const auto other = static_cast<std::int64_t>(rng.below(static_cast<std::uint64_t>(cfg.n_fields - 1)));
        e.field = other >= e.field ? other + 1 : other;
      }
      continue;
    }
    std::vector<std::int64_t> same;
    for (const OpChoice &c : cfg.ops)
      if (c.arity == e.arity && c.op != e.op) same.push_back(c.op);
    if (!same.empty()) e.op = same[rng.below(same.size())];
  }
  return child;
}

std::size_t tournament(Rng &rng, std::span<const double> score, std::int64_t size) {
  std::size_t best = rng.below(score.size());
  for (std::int64_t k = 1; k < size; ++k) {
    const std::size_t c = rng.below(score.size());
    if (score[c] > score[best]) best = c;
  }
  return best;
}

Child breed(Rng &rng, std::span<const Program> population, std::span<const double> score,
            const Config &cfg) {
  const double u = rng.uniform();
  const Program &parent = population[tournament(rng, score, cfg.tournament)];
  double edge = cfg.p_crossover;
  if (u < edge) {
    const Program &donor = population[tournament(rng, score, cfg.tournament)];
    return {crossover(rng, parent, donor, cfg), Variation::Crossover};
  }
  if (u < (edge += cfg.p_subtree)) return {subtree_mutation(rng, parent, cfg), Variation::Subtree};
  if (u < (edge += cfg.p_hoist)) return {hoist_mutation(rng, parent, cfg), Variation::Hoist};
  if (u < (edge += cfg.p_point)) return {point_mutation(rng, parent, cfg), Variation::Point};
  return {parent, Variation::Copy};
}

}  // namespace factorsearch::gp
