#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "detail/huge_page_allocator.hpp"
#include "detail/row_group_scan.hpp"
#include "detail/slot_store_index.hpp"

namespace tvdb {

// IEEE 754 binary16 conversion: round to nearest, ties to even; overflow to infinity,
// subnormal halves kept, NaN stays NaN (quiet). Widening is exact.
uint16_t float_to_half(float value);
float half_to_float(uint16_t half);
// Widens n halves; uses F16C when the processor has it (bit-identical to half_to_float).
void halves_to_floats(const uint16_t* halves, size_t n, float* out);

// Brute force over half-precision vectors: half the memory of FlatIndex. Searches widen each
// stored vector and measure it against the full-precision query, with exactly the sums of
// `distance`. A repeated ID replaces the stored vector. Slot order is the order of iteration
// and of saved entries.
//
// Halves are stored in chunks of slots laid out for scanning (see HalfLayout): an L2 search
// reads the first sixteen components of many slots as one run and stops measuring the slots
// that these already rule out. Loading rejects an entry whose component count is not
// `dimensions`.
class Fp16FlatIndex final : public SlotStoreIndex<Fp16FlatIndex> {
public:
    Fp16FlatIndex(uint64_t dimensions, Metric metric)
        : SlotStoreIndex(dimensions, metric), layout_(dimensions) {}

    Result<std::vector<SearchResult>> search(std::span<const float> query,
                                             uint64_t k) const override;
    Result<std::vector<SearchResult>> search_filtered(std::span<const float> query, uint64_t k,
                                                      const SearchFilter& filter) const override;

    // The stored halves of one entry; nothing when the ID is absent.
    std::optional<std::vector<uint16_t>> stored(VectorId id) const;

private:
    // The k nearest admitted vectors; every vector is admitted without a filter.
    Result<std::vector<SearchResult>> nearest(std::span<const float> query, uint64_t k,
                                              const IdFilter* admit) const;
    friend class SlotStoreIndex<Fp16FlatIndex>;
    static constexpr size_t kEntryMinBytes = 8 + 8;  // ID, component count

    void append_slot();
    void reserve_slots(size_t extra);
    void encode_slot(size_t slot, std::span<const float> vector);
    void move_last_slot_into(size_t slot);
    void decode_slot(size_t slot, float* out) const;
    // Entry after the ID: the halves as a u16 sequence (count, then the values).
    void write_entry(ByteEncoder& out, size_t slot) const;
    Result<void> read_entry(RecordDecoder& in, uint64_t entry, VectorId id);
    void read_slot(size_t slot, uint16_t* halves) const;

    HalfLayout layout_;
    std::vector<uint16_t, HugePageAllocator<uint16_t>> halves_;  // whole chunks of layout_
};

}  // namespace tvdb
