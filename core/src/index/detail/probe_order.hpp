#pragma once

#include <cstdint>
#include <limits>
#include <span>

#include "detail/kmeans.hpp"
#include "detail/top_k.hpp"

namespace tvdb {

// Which lists an inverted-file search visits. An unfiltered search scans the `nprobe`
// nearest lists. A filtered one may find too few admitted vectors there, so it ranks every
// list and keeps scanning, nearest list first, until k hits are kept or no list is left.

// How many ranked lists to ask for.
inline uint64_t probe_count(const IdFilter* admit, uint64_t nprobe) {
    return admit == nullptr ? nprobe : std::numeric_limits<uint64_t>::max();
}

// Scans the first `nprobe` ranked lists.
template <typename Scan>
void for_each_probe(std::span<const RankedCentroid> probes, uint64_t nprobe, Scan&& scan) {
    for (uint64_t i = 0; i < probes.size() && i < nprobe; ++i) scan(probes[i]);
}

// Scans the lists after the first `nprobe` while fewer than k hits are kept (only filtered
// searches rank more than `nprobe` lists).
template <typename Scan>
void for_each_extra_probe(std::span<const RankedCentroid> probes, uint64_t nprobe,
                          const TopK& top, Scan&& scan) {
    for (uint64_t i = nprobe; i < probes.size() && !top.full(); ++i) scan(probes[i]);
}

}  // namespace tvdb
