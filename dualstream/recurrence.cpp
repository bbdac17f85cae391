#include "dualstream/recurrence.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <thread>
#include <utility>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define DUALSTREAM_X86 1
#include <immintrin.h>
#else
#define DUALSTREAM_X86 0
#endif

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

// One call's shared state: shape, packed weights, buffers, and the early-stop flag that the
// calling thread raises when `check` reports a pending interrupt.
struct Job {
  const StackShape& s;
  const Packed& p;
  const StackForward* fwd;
  const StackBackward* bwd;
  std::int64_t block;
  const StopCheck* check;
  std::atomic<bool> stop{false};
  std::chrono::steady_clock::time_point last_check = std::chrono::steady_clock::now();

  bool keep_going(int tid) {
    if (stop.load(std::memory_order_relaxed)) return false;
    if (tid != 0 || !check || !*check) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_check < std::chrono::milliseconds(20)) return true;
    last_check = now;
    if ((*check)()) {
      stop.store(true);
      return false;
    }
    return true;
  }
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

using RangeFn = void (*)(Job&, std::int64_t, std::int64_t, int);

}  // namespace

// ---- one copy of the passes per instruction set. Register tiles: rows x vectors of the
// accumulator block, sized to the register file (32 x 512-bit, 16 x 256-bit, 16 x 128-bit).

#if DUALSTREAM_X86
#pragma GCC push_options
#pragma GCC target("arch=x86-64-v4")
namespace lanes16 {
constexpr int W = 16, kRows = 6, kCols = 4;
typedef float V __attribute__((vector_size(64)));
typedef int VI __attribute__((vector_size(64)));
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
#if DUALSTREAM_X86
  if (isa == Isa::avx512) return &lanes16::forward_range;
  if (isa == Isa::avx2) return &lanes8::forward_range;
#endif
  (void)isa;
  return &lanes4::forward_range;
}

RangeFn backward_fn(Isa isa) {
#if DUALSTREAM_X86
  if (isa == Isa::avx512) return &lanes16::backward_range;
  if (isa == Isa::avx2) return &lanes8::backward_range;
#endif
  (void)isa;
  return &lanes4::backward_range;
}

// Rows per block: enough for full register tiles, few enough that a block's states and gate
// rows stay in the core's private cache.
std::int64_t block_rows(const StackShape& s) {
  const std::int64_t per_row = (s.L * (s.lstm ? 3 : 2) + 3) * s.Gp() * 4;
  return std::clamp<std::int64_t>((std::int64_t{1} << 18) / std::max<std::int64_t>(per_row, 1),
                                  6, 48) /
         6 * 6;
}

// Splits [0, n) into contiguous ranges, one per thread; the caller's thread takes the first
// (and is the one that polls for interrupts). Small batches stay on one thread.
bool run_rows(Job& job, RangeFn fn, int threads) {
  const StackShape& s = job.s;
  const std::int64_t n = s.N;
  const std::int64_t work_per_row = s.T * s.L * s.Gp() * (s.Hp() + s.Dp());
  constexpr std::int64_t kMinWorkPerThread = std::int64_t{1} << 24;  // a few ms of work
  const std::int64_t by_work = std::max<std::int64_t>(1, n * work_per_row / kMinWorkPerThread);
  const std::int64_t by_rows = std::max<std::int64_t>(1, n / job.block);
  const int k = static_cast<int>(std::clamp<std::int64_t>(
      std::min<std::int64_t>({std::int64_t{threads}, by_work, by_rows}), 1, 1024));
  if (k <= 1) {
    fn(job, 0, n, 0);
    return !job.stop.load();
  }
  auto range = [n, k](int t) {
    return std::pair<std::int64_t, std::int64_t>{n * t / k, n * (t + 1) / k};
  };
  std::vector<std::exception_ptr> errors(k);
  std::vector<std::thread> pool;
  pool.reserve(k - 1);
  for (int t = 1; t < k; ++t)
    pool.emplace_back([&, t] {
      try {
        auto [b, e] = range(t);
        fn(job, b, e, t);
      } catch (...) {
        errors[t] = std::current_exception();
        job.stop.store(true);
      }
    });
  try {
    auto [b, e] = range(0);
    fn(job, b, e, 0);
  } catch (...) {
    errors[0] = std::current_exception();
    job.stop.store(true);
  }
  for (auto& th : pool) th.join();
  for (auto& err : errors)
    if (err) std::rethrow_exception(err);
  return !job.stop.load();
}

}  // namespace

bool isa_available(Isa isa) {
  switch (isa) {
    case Isa::base:
      return true;
#if DUALSTREAM_X86
    case Isa::avx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case Isa::avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
             __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
             isa_available(Isa::avx2);
#endif
    default:
      return false;
  }
}

Isa best_isa() {
  for (Isa isa : {Isa::avx512, Isa::avx2})
    if (isa_available(isa)) return isa;
  return Isa::base;
}

bool stack_forward(const StackShape& s, const StackWeights& w, const StackForward& io, int threads,
                   Isa isa, const StopCheck& stop) {
  if (s.T <= 0 || s.N <= 0 || s.L <= 0) return true;
  const Packed p = pack(s, w, false);
  Job job{s, p, &io, nullptr, block_rows(s), &stop};
  return run_rows(job, forward_fn(isa_available(isa) ? isa : Isa::base), threads);
}

bool stack_backward(const StackShape& s, const StackWeights& w, const StackBackward& io,
                    int threads, Isa isa, const StopCheck& stop) {
  if (s.T <= 0 || s.N <= 0 || s.L <= 0) return true;
  const Packed p = pack(s, w, true);
  Job job{s, p, nullptr, &io, block_rows(s), &stop};
  return run_rows(job, backward_fn(isa_available(isa) ? isa : Isa::base), threads);
}

}  // namespace dualstream
