#include "wavecell/memory_scan.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/isa.hpp"
#include "common/parallel.hpp"

namespace wavecell {
namespace {

struct Dims {
  std::int64_t H, F, G;
  const float *u_a, *b_a;
};

// Per-thread work rows, allocated once per call.
struct Scratch {
  std::vector<float> fre, amp, gate_i, gate_ste, cand, gate_o, a_pre, tc, g_a_pre, g_cand, g_ste;
  std::vector<double> g_re, g_im, g_forget, g_fre;
  Scratch(std::int64_t H, std::int64_t F)
      : fre(F),
        amp(F),
        gate_i(H),
        gate_ste(H),
        cand(H),
        gate_o(H),
        a_pre(H),
        tc(H),
        g_a_pre(H),
        g_cand(H),
        g_ste(H),
        g_re(F),
        g_im(F),
        g_forget(F),
        g_fre(F) {}
};

// What every range of rows of one call shares.
struct ForwardJob {
  const ScanShape& s;
  const ScanForward& io;
  std::int64_t block;
};

struct BackwardJob {
  const ScanShape& s;
  const ScanBackward& io;
  std::int64_t block;
  const float* UT;                  // (G, H): the recurrent weights transposed
  alphaloom::PartialSums* sums;     // per thread: grad U (H, G), grad u_a (F), grad b_a (H)
};

// Between blocks: the caller's thread (range 0) polls, the others only read the outcome.
template <typename Io>
inline bool stop_now(const Io& io, int tid) {
  return io.stop && io.stop->stop_here(tid);
}

// Rows per block: a block's two state generations should fit a core's private cache.
std::int64_t block_rows(const ScanShape& s) {
  const std::int64_t bytes = 2 * s.state_size() * static_cast<std::int64_t>(sizeof(double));
  return std::clamp<std::int64_t>((std::int64_t{1} << 18) / std::max<std::int64_t>(bytes, 1), 1,
                                  64);
}

}  // namespace

// ---- one copy of the row passes per instruction set
#if ALPHALOOM_X86
#pragma GCC push_options
#pragma GCC target("arch=x86-64-v3")
namespace avx2 {
namespace {
#include "wavecell/memory_scan_rows.inc"
}  // namespace
}  // namespace avx2
#pragma GCC pop_options
#endif

namespace base {
namespace {
#include "wavecell/memory_scan_rows.inc"
}  // namespace
}  // namespace base

namespace {

// The AVX2/FMA copy where the processor has it (x86-64-v3 and up), else the portable one.
bool use_avx2() {
#if ALPHALOOM_X86
  return alphaloom::isa_available(alphaloom::Isa::avx2);
#else
  return false;
#endif
}

// Threads as the batch pays for: a state element costs about eight float32 vector
// multiply-adds' time (a complex update and an amplitude in double).
int threads_for(const ScanShape& s, int threads) {
  return alphaloom::kernel_threads(s.n, s.T * s.H * s.F * 8, threads);
}

}  // namespace

std::int64_t ScanShape::segment() const {
  std::int64_t k = 1;
  while (k * k < T) ++k;
  return k;
}

std::int64_t ScanShape::checkpoints() const { return T > 0 ? (T - 1) / segment() : 0; }

void scan_forward(const ScanShape& s, const ScanForward& io, int threads) {
  if (s.T <= 0 || s.n <= 0) return;
  const ForwardJob job{s, io, block_rows(s)};
  const bool avx2 = use_avx2();
  alphaloom::split_ranges(
      s.n, threads_for(s, threads),
      [&](std::int64_t begin, std::int64_t end, int tid) {
#if ALPHALOOM_X86
        if (avx2) return avx2::forward_rows(job, begin, end, tid);
#endif
        (void)avx2;
        base::forward_rows(job, begin, end, tid);
      },
      [] {});
}

void scan_backward(const ScanShape& s, const ScanBackward& io, int threads) {
  const std::int64_t H = s.H, F = s.F, G = s.gates();
  std::vector<float> UT(G * H);
  for (std::int64_t k = 0; k < H; ++k)
    for (std::int64_t g = 0; g < G; ++g) UT[g * H + k] = io.U[k * G + g];
  // Per-thread sums of the shared-parameter gradients, in double, reduced at the end.
  alphaloom::PartialSums sums(threads, H * G + F + H);
  const BackwardJob job{s, io, block_rows(s), UT.data(), &sums};
  const bool avx2 = use_avx2();
  if (s.T > 0 && s.n > 0)
    alphaloom::split_ranges(
        s.n, threads_for(s, std::max(threads, 1)),
        [&](std::int64_t begin, std::int64_t end, int tid) {
#if ALPHALOOM_X86
          if (avx2) return avx2::backward_rows(job, begin, end, tid);
#endif
          (void)avx2;
          base::backward_rows(job, begin, end, tid);
        },
        [] {});
  for (std::int64_t i = 0; i < H * G; ++i) io.grad_U[i] = static_cast<float>(sums.total(i));
  for (std::int64_t f = 0; f < F; ++f)
    io.grad_u_a[f] = static_cast<float>(sums.total(H * G + f));
  for (std::int64_t k = 0; k < H; ++k)
    io.grad_b_a[k] = static_cast<float>(sums.total(H * G + F + k));
}

}  // namespace wavecell
