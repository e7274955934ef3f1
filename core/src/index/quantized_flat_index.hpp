#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "detail/slot_store_index.hpp"

namespace tvdb {

// One vector as signed 8-bit codes: code_i = round(x_i * scale) clamped to -127..127, with
// scale = 127 / max|x_i| (1.0 for an all-zero vector). Decoding is code_i / scale.
struct QuantizedVector {
    std::vector<int8_t> codes;
    float scale = 1.0f;
};

// Writes the codes of `vector` to `codes` (vector.size() of them) and returns the scale.
float quantize_into(std::span<const float> vector, int8_t* codes);
QuantizedVector quantize(std::span<const float> vector);
// out_i = codes_i / scale, exactly one f32 division per component.
void dequantize_into(const int8_t* codes, size_t n, float scale, float* out);

// Brute force over int8 codes: a quarter of the memory of FlatIndex. Searches decode every
// stored vector and measure it against the full-precision query, so the answer is exact over
// the decoded vectors. A repeated ID replaces the stored vector. Codes are kept back to back
// in slot order, which is also the order of iteration and of saved entries. Loading rejects
// an entry whose code count is not `dimensions` or that holds the code -128.
class QuantizedFlatIndex final : public SlotStoreIndex<QuantizedFlatIndex> {
public:
    QuantizedFlatIndex(uint64_t dimensions, Metric metric)
        : SlotStoreIndex(dimensions, metric) {}

    Result<std::vector<SearchResult>> search(std::span<const float> query,
                                             uint64_t k) const override;
    Result<std::vector<SearchResult>> search_filtered(std::span<const float> query, uint64_t k,
                                                      const SearchFilter& filter) const override;

    // The stored form of one entry; nothing when the ID is absent.
    std::optional<QuantizedVector> stored(VectorId id) const;

private:
    // The k nearest admitted vectors; every vector is admitted without a filter.
    Result<std::vector<SearchResult>> nearest(std::span<const float> query, uint64_t k,
                                              const IdFilter* admit) const;
    friend class SlotStoreIndex<QuantizedFlatIndex>;
    static constexpr size_t kEntryMinBytes = 8 + 8 + 4;  // ID, code count, scale

    void append_slot();
    void reserve_slots(size_t extra);
    void encode_slot(size_t slot, std::span<const float> vector);
    void move_last_slot_into(size_t slot);
    void decode_slot(size_t slot, float* out) const;
    // Entry after the ID: code count u64, the int8 codes, scale f32.
    void write_entry(ByteEncoder& out, size_t slot) const;
    Result<void> read_entry(RecordDecoder& in, uint64_t entry, VectorId id);
    int8_t* slot_codes(size_t slot) { return codes_.data() + slot * config_.dimensions; }
    const int8_t* slot_codes(size_t slot) const {
        return codes_.data() + slot * config_.dimensions;
    }

    std::vector<int8_t> codes_;  // dimensions codes per slot
    std::vector<float> scales_;  // one per slot
    std::vector<uint32_t> code_norms_;  // sum of squared codes per slot, for search bounds
};

}  // namespace tvdb
