#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "half_group_scan.hpp"
#include "slot_map.hpp"
#include "vector_index.hpp"

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
// that these already rule out.
class Fp16FlatIndex final : public VectorIndex {
public:
    Fp16FlatIndex(uint64_t dimensions, Metric metric);

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
    // Serialization for truncated or malformed content, or an entry whose component count is
    // not `dimensions`; Io when the file cannot be read.
    static Result<Fp16FlatIndex> load(const std::string& path);

    // The stored halves of one entry; nothing when the ID is absent.
    std::optional<std::vector<uint16_t>> stored(VectorId id) const;

private:
    // Returns the slot of `id`, growing the store when the slot is new.
    size_t place(VectorId id);
    void write_slot(size_t slot, const uint16_t* halves);
    void read_slot(size_t slot, uint16_t* halves) const;

    IndexConfig config_;
    HalfLayout layout_;
    SlotMap slots_;
    std::vector<uint16_t> halves_;  // whole chunks of layout_
};

}  // namespace tvdb
