#pragma once

#include <sys/random.h>

#include <chrono>
#include <cstdint>
#include <random>

namespace tvdb {

// Each thread draws from its own generator, seeded once from the operating system: no lock
// is needed, and random draws (k-means seeding, graph levels) differ from run to run.
inline std::mt19937_64& thread_rng() {
    thread_local std::mt19937_64 rng = [] {
        uint64_t seed = 0;
        if (getrandom(&seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed)) {
            // Without OS entropy the clock still gives each run its own sequence.
            seed = static_cast<uint64_t>(
                std::chrono::high_resolution_clock::now().time_since_epoch().count());
        }
        return std::mt19937_64(seed);
    }();
    return rng;
}

}  // namespace tvdb
