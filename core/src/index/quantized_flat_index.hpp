#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "slot_map.hpp"
#include "vector_index.hpp"

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
// in slot order, which is also the order of iteration and of saved entries.
class QuantizedFlatIndex final : public VectorIndex {
public:
    QuantizedFlatIndex(uint64_t dimensions, Metric metric);

    Result<void> add(VectorId id, std::span<const float> vector) override;
    Result<std::vector<SearchResult>> search(std::span<const float> query,
                                             uint64_t k) const override;
    bool remove(VectorId id) override;
    uint64_t len() const override { return slots_.size(); }
    const IndexConfig& config() const override { return config_; }
    void iter_vectors(const VectorVisitor& visit) const override;

    // Row i of `data` is stored under start_id + i, replacing an existing entry; nothing is
    // stored when the float count is not a whole number of rows.
    Result<void> add_batch_contiguous(std::span<const float> data, VectorId start_id);
    // The whole index encoded in memory, then written in place; Io on a write failure.
    Result<void> save(const std::string& path) const;
    // Serialization for truncated or malformed content, an entry whose code count is not
    // `dimensions` or a code of -128; Io when the file cannot be read.
    static Result<QuantizedFlatIndex> load(const std::string& path);

    // The stored form of one entry; nothing when the ID is absent.
    std::optional<QuantizedVector> stored(VectorId id) const;

private:
    void store(VectorId id, std::span<const float> vector);
    void store_codes(VectorId id, std::span<const int8_t> codes, float scale);
    const int8_t* slot_codes(size_t slot) const {
        return codes_.data() + slot * config_.dimensions;
    }

    IndexConfig config_;
    SlotMap slots_;
    std::vector<int8_t> codes_;  // dimensions codes per slot
    std::vector<float> scales_;  // one per slot
    std::vector<uint32_t> code_norms_;  // sum of squared codes per slot, for search bounds
};

}  // namespace tvdb
