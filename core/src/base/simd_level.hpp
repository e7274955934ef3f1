#pragma once

#include <cstdint>

namespace tvdb {

// The vector instruction sets the kernels are built for. One build runs everywhere: each
// kernel is compiled for every level it has and picks, at run time, the best one the
// processor offers. Every level yields the same bits.
enum class SimdLevel : uint8_t {
    Baseline,  // what every x86-64 processor has
    Avx2,      // AVX2, F16C and POPCNT
    Avx512,    // AVX-512 F, BW, DQ and VL
};

// The level kernels use now: the processor's best, or lower when limited.
SimdLevel simd_level();

// Whether the processor counts bits of 512-bit registers (AVX-512 VPOPCNTDQ); false below
// the Avx512 level.
bool simd_has_vector_popcount();

// Makes kernels use at most `level` (never more than the processor has) until called
// again, so that tests can check the lower paths on a newer machine. Not meant to change
// while searches run.
void limit_simd_level(SimdLevel level);

// Function attributes that compile one kernel for a level; its caller checks `simd_level()`
// first. (GCC 12 reports the deliberately undefined lanes inside its AVX-512 intrinsics as
// maybe uninitialised: files with AVX-512 kernels turn that warning off.)
#if defined(__GNUC__)
#define TVDB_TARGET_AVX2 __attribute__((target("avx2,f16c,popcnt")))
#define TVDB_TARGET_AVX512 \
    __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx2,f16c,popcnt")))
#define TVDB_TARGET_AVX512_POPCOUNT \
    __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx512vpopcntdq,avx2,f16c,popcnt")))
#endif

}  // namespace tvdb
