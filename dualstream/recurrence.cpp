#include "dualstream/recurrence.hpp"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "common/parallel.hpp"

// Vector types are passed between inlined helpers only; their argument ABI never matters.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace dualstream {
namespace {

// Weights rearranged for the row-block products: gate columns padded per gate block to Hp,
// inputs padded to Dp / Hp, zeros in every padding slot.
struct Packed {
  std::vector<std::vector<float>> w_ih, w_hh;      // (in_p, Gp), (Hp, Gp): forward
  std::vector<std::vector<float>> w_ih_t, w_hh_t;  // (Gp, in_p), (Gp, Hp): backward
  std::vector<std::vector<float>> b_ih, b_hh, b_sum;
  std::vector<float> fc, fc_b, fc_t;  // (Hp, Dp), (Dp), (Dp, Hp)
};

Packed pack(const StackShape& s, const StackWeights& w, bool backward) {
  const std::int64_t H = s.H, Hp = s.Hp(), Gp = s.Gp(), ng = s.lstm ? 4 : 3;
  Packed p;
  for (std::int64_t l = 0; l < s.L; ++l) {
    const std::int64_t in = l == 0 ? s.D : H, in_p = l == 0 ? s.Dp() : Hp;
    auto both = [&](const float* src, std::int64_t k_real, std::int64_t k_pad,
                    std::vector<float>& fwd, std::vector<float>& bwd) {
      fwd.assign(k_pad * Gp, 0.0f);
      if (backward) bwd.assign(Gp * k_pad, 0.0f);
      for (std::int64_t g = 0; g < ng; ++g)
        for (std::int64_t j = 0; j < H; ++j)
          for (std::int64_t k = 0; k < k_real; ++k) {
            const float v = src[(g * H + j) * k_real + k];
            fwd[k * Gp + g * Hp + j] = v;
            if (backward) bwd[(g * Hp + j) * k_pad + k] = v;
          }
    };
    p.w_ih.emplace_back(), p.w_hh.emplace_back(), p.w_ih_t.emplace_back(), p.w_hh_t.emplace_back();
    both(w.w_ih[l], in, in_p, p.w_ih.back(), p.w_ih_t.back());
    both(w.w_hh[l], H, Hp, p.w_hh.back(), p.w_hh_t.back());
    std::vector<float> bi(Gp, 0.0f), bh(Gp, 0.0f), bs(Gp, 0.0f);
    for (std::int64_t g = 0; g < ng; ++g)
      for (std::int64_t j = 0; j < H; ++j) {
        bi[g * Hp + j] = w.b_ih[l][g * H + j];
        bh[g * Hp + j] = w.b_hh[l][g * H + j];
        bs[g * Hp + j] = bi[g * Hp + j] + bh[g * Hp + j];
      }
    p.b_ih.push_back(std::move(bi)), p.b_hh.push_back(std::move(bh)), p.b_sum.push_back(std::move(bs));
  }
  if (s.feedback) {
    const std::int64_t D = s.D, Dp = s.Dp();
    p.fc.assign(Hp * Dp, 0.0f);
    p.fc_b.assign(Dp, 0.0f);
    if (backward) p.fc_t.assign(Dp * Hp, 0.0f);
    for (std::int64_t d = 0; d < D; ++d) {
      p.fc_b[d] = w.fc_b[d];
      for (std::int64_t k = 0; k < H; ++k) {
        p.fc[k * Dp + d] = w.fc_w[d * H + k];
        if (backward) p.fc_t[d * Hp + k] = w.fc_w[d * H + k];
      }
    }
  }
  return p;
}

// Offsets of the parameter gradients inside one flat block of sums: per layer w_ih (Gp, in_p),
// w_hh (Gp, Hp), b_ih, b_hh (Gp); then fc (Dp, Hp) and fc_b (Dp).
struct GradLayout {
  std::vector<std::int64_t> w_ih, w_hh, b_ih, b_hh;
  std::int64_t fc = 0, fc_b = 0, size = 0;
  explicit GradLayout(const StackShape& s) {
    const std::int64_t Hp = s.Hp(), Gp = s.Gp(), Dp = s.Dp();
    for (std::int64_t l = 0; l < s.L; ++l) {
      w_ih.push_back(size), size += Gp * (l == 0 ? Dp : Hp);
      w_hh.push_back(size), size += Gp * Hp;
      b_ih.push_back(size), size += Gp;
      b_hh.push_back(size), size += Gp;
    }
    fc = size, size += s.feedback ? Dp * Hp : 0;
    fc_b = size, size += s.feedback ? Dp : 0;
  }
};

// One call's shared state: shape, packed weights, inputs and outputs, the stop token (the
// caller's, else one of its own so that a failing thread still stops the others) and, backward,
// the per-thread sums of the parameter gradients in double over the blocks each thread ran.
struct Job {
  const StackShape& s;
  const Packed& p;
  const StackInputs& in;
  float* out_h = nullptr;
  float* out_c = nullptr;
  float* out_pred = nullptr;
  const StackGrads* grads = nullptr;
  const StackKept* keep = nullptr;
  std::int64_t block = 1;
  alphaloom::StopToken own_stop;
  alphaloom::StopToken* stop;
  alphaloom::PartialSums* sums = nullptr;

  Job(const StackShape& s_, const Packed& p_, const StackInputs& in_, std::int64_t block_,
      alphaloom::StopToken* stop_)
      : s(s_), p(p_), in(in_), block(block_), stop(stop_ ? stop_ : &own_stop) {}

  bool keep_going(int tid) { return !stop->stop_here(tid); }
};

class BufferPool {
 public:
  // The smallest free block that holds n floats, else a new one.
  std::vector<float> take(std::size_t n) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto best = free_.end();
      for (auto it = free_.begin(); it != free_.end(); ++it)
        if (it->capacity() >= n && (best == free_.end() || it->capacity() < best->capacity()))
          best = it;
      if (best != free_.end()) {
        std::vector<float> v = std::move(*best);
        free_.erase(best);
        held_ -= v.capacity();
        v.resize(n);
        return v;
      }
    }
    return std::vector<float>(n);
  }
  void give(std::vector<float>&& v) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (held_ + v.capacity() > kMaxHeld || free_.size() >= 32) return;  // v is freed
    held_ += v.capacity();
    free_.push_back(std::move(v));
  }

 private:
  static constexpr std::size_t kMaxHeld = std::size_t{1} << 28;  // floats: 1 GiB
  std::mutex mutex_;
  std::vector<std::vector<float>> free_;
  std::size_t held_ = 0;
};

BufferPool& pool() {
  static BufferPool* p = new BufferPool;  // never destroyed: threads may outlive statics
  return *p;
}

// One thread's work buffers, carved from one pooled allocation.
struct Scratch {
  std::vector<float> buf;
  float *h, *c, *in, *gx, *gh, *act, *pred, *tmp, *zero;
  // backward only
  float *hs = nullptr, *cs = nullptr, *acts = nullptr, *preds = nullptr, *dh = nullptr,
        *dc = nullptr, *dnext = nullptr, *dpred = nullptr, *grad_block = nullptr;
  std::int64_t grad_size = 0;
  std::vector<float*> g_w_ih, g_w_hh, g_b_ih, g_b_hh;
  float *g_fc = nullptr, *g_fc_b = nullptr;

  // backward: the buffers of the reverse pass; recompute: also the block's kept steps.
  Scratch(const Job& job, bool backward, bool recompute) {
    const StackShape& s = job.s;
    const std::int64_t B = job.block, T = s.T, L = s.L, Hp = s.Hp(), Dp = s.Dp(), Gp = s.Gp(),
                       Ap = s.Ap(), wide = std::max({Hp, Dp, Gp});
    std::vector<std::pair<float**, std::int64_t>> parts = {
        {&h, L * B * Hp}, {&c, L * B * Hp}, {&in, B * wide}, {&gx, B * Gp}, {&gh, B * Gp},
        {&act, B * Ap},   {&pred, B * Dp},  {&tmp, B * wide}, {&zero, wide}};
    const GradLayout layout(s);
    if (backward) {
      const std::int64_t kept_rows = recompute ? B : 0;
      parts.insert(parts.end(), {{&hs, L * (T + 1) * kept_rows * Hp},
                                 {&cs, s.lstm ? L * (T + 1) * kept_rows * Hp : 0},
                                 {&acts, L * T * kept_rows * Ap},
                                 {&preds, s.feedback ? T * kept_rows * Dp : 0},
                                 {&dh, L * B * Hp},
                                 {&dc, L * B * Hp},
                                 {&dnext, B * Dp},
                                 {&dpred, B * Dp},
                                 {&grad_block, layout.size}});
      grad_size = layout.size;
    }
    std::int64_t total = 0;
    for (auto& part : parts) total += (part.second + 15) / 16 * 16;
    buf = pool().take(static_cast<std::size_t>(total));
    std::int64_t at = 0;
    for (auto& part : parts) {
      *part.first = buf.data() + at;
      at += (part.second + 15) / 16 * 16;
    }
    std::fill_n(zero, wide, 0.0f);
    if (backward) {
      for (std::int64_t l = 0; l < L; ++l) {
        g_w_ih.push_back(grad_block + layout.w_ih[l]);
        g_w_hh.push_back(grad_block + layout.w_hh[l]);
        g_b_ih.push_back(grad_block + layout.b_ih[l]);
        g_b_hh.push_back(grad_block + layout.b_hh[l]);
      }
      g_fc = grad_block + layout.fc;
      g_fc_b = grad_block + layout.fc_b;
    }
  }
  ~Scratch() { pool().give(std::move(buf)); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  void clear_grads() { std::fill_n(grad_block, grad_size, 0.0f); }
};

// nb rows of width n (real) into rows of width n_pad, zeros after n (and everywhere when src
// is nullptr); and back.
void load_rows(const float* src, std::int64_t nb, std::int64_t n, std::int64_t n_pad, float* dst) {
  for (std::int64_t r = 0; r < nb; ++r) {
    float* d = dst + r * n_pad;
    if (src)
      std::copy_n(src + r * n, n, d);
    else
      std::fill_n(d, n, 0.0f);
    std::fill(d + n, d + n_pad, 0.0f);
  }
}

void store_rows(const float* src, std::int64_t nb, std::int64_t n, std::int64_t n_pad, float* dst) {
  for (std::int64_t r = 0; r < nb; ++r) std::copy_n(src + r * n_pad, n, dst + r * n);
}

// dst = src * mask on the first n lanes of each padded row, zeros after.
void mask_rows(const float* src, const float* mask, std::int64_t nb, std::int64_t n,
               std::int64_t n_pad, float* dst) {
  for (std::int64_t r = 0; r < nb; ++r)
    for (std::int64_t j = 0; j < n_pad; ++j)
      dst[r * n_pad + j] = j < n ? src[r * n_pad + j] * mask[r * n + j] : 0.0f;
}

using RangeFn = void (*)(Job&, std::int64_t, std::int64_t, int);

}  // namespace

// ---- one copy of the passes per instruction set. Register tiles: rows x vectors of the
// accumulator block, sized to the register file (32 x 512-bit, 16 x 256-bit, 16 x 128-bit).

#if ALPHALOOM_X86
#pragma GCC push_options
#pragma GCC target("arch=x86-64-v4")
namespace lanes16 {
constexpr int W = 16, kRows = 6, kCols = 4;
typedef float V __attribute__((vector_size(64)));
typedef int VI __attribute__((vector_size(64)));
inline V splat(float s) { return reinterpret_cast<V>(_mm512_set1_ps(s)); }
inline V load(const float* p) { return reinterpret_cast<V>(_mm512_loadu_ps(p)); }
inline void store(float* p, V v) { _mm512_storeu_ps(p, reinterpret_cast<__m512>(v)); }
inline V fmadd(V a, V b, V c) {
  return reinterpret_cast<V>(_mm512_fmadd_ps(reinterpret_cast<__m512>(a),
                                             reinterpret_cast<__m512>(b),
                                             reinterpret_cast<__m512>(c)));
}
#include "dualstream/recurrence_lanes.inc"
}  // namespace lanes16
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("arch=x86-64-v3")
namespace lanes8 {
constexpr int W = 8, kRows = 6, kCols = 2;
typedef float V __attribute__((vector_size(32)));
typedef int VI __attribute__((vector_size(32)));
inline V splat(float s) { return reinterpret_cast<V>(_mm256_set1_ps(s)); }
inline V load(const float* p) { return reinterpret_cast<V>(_mm256_loadu_ps(p)); }
inline void store(float* p, V v) { _mm256_storeu_ps(p, reinterpret_cast<__m256>(v)); }
inline V fmadd(V a, V b, V c) {
  return reinterpret_cast<V>(_mm256_fmadd_ps(reinterpret_cast<__m256>(a),
                                             reinterpret_cast<__m256>(b),
                                             reinterpret_cast<__m256>(c)));
}
#include "dualstream/recurrence_lanes.inc"
}  // namespace lanes8
#pragma GCC pop_options
#endif

namespace lanes4 {
constexpr int W = 4, kRows = 4, kCols = 3;
typedef float V __attribute__((vector_size(16)));
typedef int VI __attribute__((vector_size(16)));
inline V splat(float s) { return V{s, s, s, s}; }
inline V load(const float* p) {
  V v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}
inline void store(float* p, V v) { __builtin_memcpy(p, &v, sizeof v); }
inline V fmadd(V a, V b, V c) { return a * b + c; }
#include "dualstream/recurrence_lanes.inc"
}  // namespace lanes4

namespace {

RangeFn forward_fn(Isa isa) {
#if ALPHALOOM_X86
  if (isa == Isa::avx512) return &lanes16::forward_range;
  if (isa == Isa::avx2) return &lanes8::forward_range;
#endif
  (void)isa;
  return &lanes4::forward_range;
}

RangeFn backward_fn(Isa isa) {
#if ALPHALOOM_X86
  if (isa == Isa::avx512) return &lanes16::backward_range;
  if (isa == Isa::avx2) return &lanes8::backward_range;
#endif
  (void)isa;
  return &lanes4::backward_range;
}

// Rows per block: eight register tiles of six rows, few enough that a block's states and gate
// rows stay in the core's private cache (24 and 96 measured no better, forward or backward).
constexpr std::int64_t kBlockRows = 48;

// Row ranges on as many threads as the batch pays for, at least a block of rows each; the
// caller's thread takes the first range and is the one that polls for interrupts.
bool run_rows(Job& job, RangeFn fn, int threads) {
  const StackShape& s = job.s;
  const std::int64_t work_per_row = s.T * s.L * s.Gp() * (s.Hp() + s.Dp());
  const int k = alphaloom::kernel_threads(s.N, work_per_row, threads, job.block);
  alphaloom::split_ranges(
      s.N, k, [&](std::int64_t b, std::int64_t e, int t) { fn(job, b, e, t); },
      [&] { job.stop->request_stop(); });
  return !job.stop->stopped();
}

}  // namespace

std::size_t kept_floats(const StackShape& s) {
  const std::int64_t n = s.L * (s.T + 1) * s.N * s.Hp() * (s.lstm ? 2 : 1) +
                         s.L * s.T * s.N * s.Ap() + (s.feedback ? s.T * s.N * s.Dp() : 0);
  return static_cast<std::size_t>(n);
}

StackKept carve_kept(const StackShape& s, float* base) {
  StackKept k;
  const std::int64_t states = s.L * (s.T + 1) * s.N * s.Hp();
  k.hs = base;
  base += states;
  if (s.lstm) k.cs = base, base += states;
  k.acts = base;
  base += s.L * s.T * s.N * s.Ap();
  if (s.feedback) k.preds = base;
  return k;
}

std::shared_ptr<float> pooled_floats(std::size_t n) {
  auto* v = new std::vector<float>(pool().take(n));
  return std::shared_ptr<float>(v->data(), [v](float*) {
    pool().give(std::move(*v));
    delete v;
  });
}

bool stack_forward(const StackShape& s, const StackWeights& w, const StackInputs& in,
                   const StackOutputs& out, const StackKept* keep, int threads, Isa isa,
                   alphaloom::StopToken* stop) {
  if (s.T <= 0 || s.N <= 0 || s.L <= 0) return true;
  const Packed p = pack(s, w, false);
  Job job(s, p, in, kBlockRows, stop);
  job.keep = keep;
  job.out_h = out.h_last;
  job.out_c = out.c_last;
  job.out_pred = out.pred;
  return run_rows(job, forward_fn(isa_available(isa) ? isa : Isa::base), threads);
}

bool stack_backward(const StackShape& s, const StackWeights& w, const StackInputs& in,
                    const StackKept* kept, const StackGrads& g, int threads, Isa isa,
                    alphaloom::StopToken* stop) {
  const Packed p = pack(s, w, true);
  Job job(s, p, in, kBlockRows, stop);
  const GradLayout layout(s);
  alphaloom::PartialSums sums(threads, layout.size);
  job.keep = kept;
  job.grads = &g;
  job.sums = &sums;
  if (s.T > 0 && s.N > 0 && s.L > 0 &&
      !run_rows(job, backward_fn(isa_available(isa) ? isa : Isa::base), threads))
    return false;
  // Sum the threads' parts and unpad into the library's layouts.
  std::vector<double> total(layout.size);
  for (std::int64_t i = 0; i < layout.size; ++i) total[i] = sums.total(i);
  const std::int64_t H = s.H, Hp = s.Hp(), ng = s.lstm ? 4 : 3;
  auto unpack = [&](std::int64_t at, std::int64_t k_real, std::int64_t k_pad, float* dst) {
    for (std::int64_t q = 0; q < ng; ++q)
      for (std::int64_t j = 0; j < H; ++j)
        for (std::int64_t k = 0; k < k_real; ++k)
          dst[(q * H + j) * k_real + k] = static_cast<float>(total[at + (q * Hp + j) * k_pad + k]);
  };
  for (std::int64_t l = 0; l < s.L; ++l) {
    unpack(layout.w_ih[l], l == 0 ? s.D : H, l == 0 ? s.Dp() : Hp, g.w_ih[l]);
    unpack(layout.w_hh[l], H, Hp, g.w_hh[l]);
    unpack(layout.b_ih[l], 1, 1, g.b_ih[l]);
    unpack(layout.b_hh[l], 1, 1, g.b_hh[l]);
  }
  if (s.feedback)
    for (std::int64_t d = 0; d < s.D; ++d) {
      g.fc_b[d] = static_cast<float>(total[layout.fc_b + d]);
      for (std::int64_t k = 0; k < H; ++k)
        g.fc_w[d * H + k] = static_cast<float>(total[layout.fc + d * Hp + k]);
    }
  return true;
}

}  // namespace dualstream
