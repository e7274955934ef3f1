#include "simd_level.hpp"

#include <algorithm>
#include <atomic>

namespace tvdb {
namespace {

SimdLevel detected_level() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c") &&
        __builtin_cpu_supports("popcnt")) {
        return SimdLevel::Avx512;
    }
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c") &&
        __builtin_cpu_supports("popcnt")) {
        return SimdLevel::Avx2;
    }
#endif
    return SimdLevel::Baseline;
}

bool detected_vector_popcount() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    return detected_level() == SimdLevel::Avx512 && __builtin_cpu_supports("avx512vpopcntdq");
#else
    return false;
#endif
}

std::atomic<SimdLevel> limit{SimdLevel::Avx512};

}  // namespace

SimdLevel simd_level() {
    static const SimdLevel best = detected_level();
    return std::min(best, limit.load(std::memory_order_relaxed));
}

bool simd_has_vector_popcount() {
    static const bool has = detected_vector_popcount();
    return has && simd_level() == SimdLevel::Avx512;
}

void limit_simd_level(SimdLevel level) { limit.store(level, std::memory_order_relaxed); }

}  // namespace tvdb
