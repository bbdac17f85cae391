// Vector code paths picked at load time, one mechanism for every fused kernel. A kernel's hot
// code is written once, in a `.inc` file, and included once per instruction set inside a
// namespace compiled for it:
//
//   #if ALPHALOOM_X86
//   #pragma GCC push_options
//   #pragma GCC target("arch=x86-64-v3")
//   namespace avx2 {
//   #include "module/kernel.inc"
//   }
//   #pragma GCC pop_options
//   #endif
//   namespace base {
//   #include "module/kernel.inc"
//   }
//
// and the caller picks a copy with `isa_available` / `best_isa` (the processor is asked once per
// call, which costs nothing beside a kernel). Scalar code in the `.inc` is vectorised by the
// compiler for each target; code with explicit vectors gets its width from the namespace. The
// `base` copy is portable C++, so every processor and compiler has a path.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define ALPHALOOM_X86 1
#include <immintrin.h>
#else
#define ALPHALOOM_X86 0
#endif

namespace alphaloom {

// Best first. avx512: x86-64-v4; avx2: x86-64-v3 (AVX2 + FMA); base: anything.
enum class Isa { avx512 = 0, avx2 = 1, base = 2 };

inline bool isa_available(Isa isa) {
  switch (isa) {
    case Isa::base:
      return true;
#if ALPHALOOM_X86
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

inline Isa best_isa() {
  for (Isa isa : {Isa::avx512, Isa::avx2})
    if (isa_available(isa)) return isa;
  return Isa::base;
}

}  // namespace alphaloom
