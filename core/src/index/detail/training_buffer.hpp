#pragma once

#include <optional>
#include <span>
#include <vector>

#include "detail/huge_page_allocator.hpp"
#include "detail/row_scan.hpp"
#include "vector_index.hpp"

namespace tvdb {

// Whether `floats` values are exactly `rows` rows of width `dims` (checked without overflow).
inline bool holds_rows(size_t floats, uint64_t rows, uint64_t dims) {
    if (dims == 0) return floats == 0;
    return floats % dims == 0 && floats / dims == rows;
}

// Vectors an inverted-file index holds back until it trains: IDs in insertion order and
// their vectors back to back in the same order. IDs are not checked for repeats.
class TrainingBuffer {
public:
    explicit TrainingBuffer(uint64_t dims) : dims_(dims) {}
    // Adopts decoded contents; Serialization unless there are `dims` floats per ID.
    static Result<TrainingBuffer> from_parts(uint64_t dims, std::vector<VectorId> ids,
                                             std::vector<float> vectors);

    uint64_t size() const { return ids_.size(); }
    bool empty() const { return ids_.empty(); }
    std::span<const VectorId> ids() const { return ids_; }
    std::span<const float> vectors() const { return vectors_; }
    std::span<const float> vector(size_t position) const {
        return std::span(vectors_).subspan(position * dims_, dims_);
    }

    void append(VectorId id, std::span<const float> vector);
    // `rows` holds `count` vectors, which get IDs first_id, first_id + 1, ...
    void append_rows(std::span<const float> rows, uint64_t count, VectorId first_id);
    // The vector of the first entry with this ID.
    std::optional<std::span<const float>> find(VectorId id) const;
    // Removes the first entry with this ID by moving the last entry into its place.
    bool remove(VectorId id);
    void clear();

    // Offers every buffered vector to `top` at the chosen kind of distance.
    void search(Metric metric, ScanDistance kind, std::span<const float> query, TopK& top) const;
    void visit(const VectorVisitor& visit) const;

private:
    uint64_t dims_;
    std::vector<VectorId> ids_;
    // Training reads these vectors many times, often scattered: huge pages spare most TLB
    // misses.
    std::vector<float, HugePageAllocator<float>> vectors_;
};

}  // namespace tvdb
