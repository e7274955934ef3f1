#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstddef>
#include <vector>

#include "vector_index.hpp"

namespace tvdb {

// Keeps the k nearest of a stream of candidates in a max-heap, so a scan over N vectors
// costs O(N log k) and allocates k entries once. NaN distances never displace a kept hit.
// With a filter, only IDs it admits are kept; it is asked only about candidates near enough
// to be kept, so a scan pays for it on few rows.
class TopK {
public:
    explicit TopK(size_t k, const IdFilter* admit = nullptr) : k_(k), admit_(admit) {
        heap_.reserve(k);
    }

    float worst() const { return heap_.front().distance; }
    bool full() const { return heap_.size() == k_; }
    // Whether a candidate at this distance would be kept.
    bool accepts(float distance) const {
        return k_ > 0 && (!full() || rank(distance) < rank(worst()));
    }

    void push(VectorId id, float distance) {
        if (!accepts(distance)) return;
        if (admit_ != nullptr && !(*admit_)(id)) return;
        if (full()) {
            std::pop_heap(heap_.begin(), heap_.end(), farther);
            heap_.back() = {id, distance};
        } else {
            heap_.push_back({id, distance});
        }
        std::push_heap(heap_.begin(), heap_.end(), farther);
    }

    // Offers `n` candidates in order, passing over cheaply those that cannot be kept: once
    // the heap is full, only a distance below the worst kept one (never NaN) can enter.
    void push_all(const VectorId* ids, const float* distances, size_t n) {
        size_t i = 0;
        for (; i < n && !full(); ++i) push(ids[i], distances[i]);
        if (k_ == 0) return;
        float bound = rank(worst());
        for (; i < n; ++i) {
            if (distances[i] < bound) {
                push(ids[i], distances[i]);
                bound = rank(worst());
            }
        }
    }

    // The kept hits, nearest first.
    std::vector<SearchResult> take_sorted() {
        std::sort_heap(heap_.begin(), heap_.end(), farther);
        return std::move(heap_);
    }

private:
    // NaN ranks as the farthest so that the heap keeps a strict weak order.
    static float rank(float distance) {
        return std::isnan(distance) ? std::numeric_limits<float>::infinity() : distance;
    }
    static bool farther(const SearchResult& a, const SearchResult& b) {
        return rank(a.distance) < rank(b.distance);
    }
    size_t k_;
    const IdFilter* admit_;
    std::vector<SearchResult> heap_;
};

}  // namespace tvdb
