#pragma once

// Runs a check once under every kernel level up to the processor's, so that the paths a
// newer machine would not take are tested there too.

#include <gtest/gtest.h>

#include "simd_level.hpp"

namespace tvdb {

template <typename Check>
void at_every_simd_level(Check check) {
    for (SimdLevel level : {SimdLevel::Baseline, SimdLevel::Avx2, SimdLevel::Avx512}) {
        limit_simd_level(level);
        SCOPED_TRACE("kernel level " + std::to_string(static_cast<int>(level)));
        check();
    }
    limit_simd_level(SimdLevel::Avx512);
}

}  // namespace tvdb
