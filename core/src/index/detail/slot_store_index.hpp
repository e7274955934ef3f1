#pragma once

// The skeleton of the compressed brute-force kinds (QuantizedFlatIndex, Fp16FlatIndex,
// BinaryFlatIndex): IDs held in a SlotMap, each slot's encoded vector in arrays of the kind's
// own layout, the same add, bulk add, remove, iteration, save and load around that encoding.
// A kind keeps only its encoding and its search.
//
// The saved file, all fields in the record encoding:
//   dimensions u64, metric variant u32, entry count u64,
//   then per entry in slot order: ID u64, followed by the kind's encoded vector.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec.hpp"
#include "detail/bulk_rows.hpp"
#include "detail/slot_map.hpp"
#include "vector_index.hpp"

namespace tvdb {

// `Kind` derives from SlotStoreIndex<Kind> and provides, for the slot arrays it owns:
//   static constexpr size_t kEntryMinBytes;                 smallest saved entry, ID included
//   void append_slot();                                     grows every array by one slot
//   void reserve_slots(size_t extra);                       room for `extra` more slots
//   void encode_slot(size_t slot, std::span<const float>);  stores a vector in a slot
//   void move_last_slot_into(size_t slot);                  after SlotMap::remove gave `slot`
//   void decode_slot(size_t slot, float* out) const;        the vector iteration yields
//   void write_entry(ByteEncoder&, size_t slot) const;      the saved form after the ID
//   Result<void> read_entry(RecordDecoder&, uint64_t entry, VectorId id);
//       reads what write_entry wrote, checks it, and stores it in place(id)
template <typename Kind>
class SlotStoreIndex : public VectorIndex {
public:
    Result<void> add(VectorId id, std::span<const float> vector) override {
        if (auto ok = check_dimensions(config_.dimensions, vector.size()); !ok) return ok;
        kind().encode_slot(place(id), vector);
        return {};
    }

    // Row i of `data` is stored under start_id + i, replacing an existing entry; nothing is
    // stored when the float count is not a whole number of rows.
    Result<void> add_batch_contiguous(std::span<const float> data, VectorId start_id) {
        auto rows = raw_row_count(config_.dimensions, data.size(), start_id);
        if (!rows) return fail(rows.error());
        const size_t dims = config_.dimensions;
        slots_.reserve(slots_.size() + *rows);
        kind().reserve_slots(*rows);
        for (uint64_t i = 0; i < *rows; ++i) {
            kind().encode_slot(place(start_id + i), data.subspan(i * dims, dims));
        }
        return {};
    }

    bool remove(VectorId id) override {
        auto slot = slots_.remove(id);
        if (!slot) return false;
        kind().move_last_slot_into(*slot);
        return true;
    }

    uint64_t len() const override { return slots_.size(); }
    const IndexConfig& config() const override { return config_; }

    void iter_vectors(const VectorVisitor& visit) const override {
        // An empty index may carry any dimension count: nothing is sized by it.
        if (slots_.size() == 0) return;
        std::vector<float> decoded(config_.dimensions);
        auto ids = slots_.ids();
        for (size_t s = 0; s < ids.size(); ++s) {
            kind().decode_slot(s, decoded.data());
            visit(ids[s], decoded);
        }
    }

    void iter_ids(const std::function<void(VectorId)>& visit) const override {
        for (VectorId id : slots_.ids()) visit(id);
    }

    std::optional<std::vector<float>> vector_of(VectorId id) const override {
        auto slot = slots_.find(id);
        if (!slot) return std::nullopt;
        std::vector<float> decoded(config_.dimensions);
        kind().decode_slot(*slot, decoded.data());
        return decoded;
    }

    // The saved file's bytes, in memory.
    std::vector<uint8_t> to_bytes() const {
        ByteEncoder out;
        out.u64(config_.dimensions);
        out.u32(static_cast<uint32_t>(config_.metric));
        out.count(slots_.size());
        auto ids = slots_.ids();
        for (size_t s = 0; s < ids.size(); ++s) {
            out.u64(ids[s]);
            kind().write_entry(out, s);
        }
        return out.take();
    }

    // The whole index encoded in memory, then written in place; Io on a write failure.
    Result<void> save(const std::string& path) const { return write_file(path, to_bytes()); }

    // Serialization for truncated or malformed content or an entry the kind rejects; Io
    // when the file cannot be read.
    static Result<Kind> load(const std::string& path) {
        auto bytes = read_file(path);
        if (!bytes) return fail(bytes.error());
        return from_bytes(*bytes);
    }

    static Result<Kind> from_bytes(std::span<const uint8_t> bytes) {
        RecordDecoder in(bytes);
        uint64_t dimensions = in.u64();
        auto metric = static_cast<Metric>(in.variant(kMetricCount));
        uint64_t entries = in.count(Kind::kEntryMinBytes);
        if (!in.ok()) return fail(in.error());
        Kind index(dimensions, metric);
        for (uint64_t e = 0; e < entries; ++e) {
            VectorId id = in.u64();
            if (auto read = index.read_entry(in, e, id); !read) return fail(read.error());
        }
        return index;
    }

protected:
    SlotStoreIndex(uint64_t dimensions, Metric metric)
        : config_{.dimensions = dimensions, .metric = metric} {}

    // The slot of `id`, the arrays grown by one slot when it is new.
    size_t place(VectorId id) {
        auto [slot, appended] = slots_.place(id);
        if (appended) kind().append_slot();
        return slot;
    }

    // The element bytes of one saved entry: a u64 element count that must equal `expected`,
    // then that many elements of `element_size` bytes. Empty, with `in` failed, when either
    // is wrong.
    static std::span<const uint8_t> read_entry_elements(RecordDecoder& in, uint64_t entry,
                                                        size_t element_size, uint64_t expected,
                                                        std::string_view unit) {
        uint64_t count = in.count(element_size);
        if (in.ok() && count != expected) {
            in.fail("entry " + std::to_string(entry) + " has " + std::to_string(count) + " " +
                    std::string(unit) + ", expected " + std::to_string(expected));
        }
        return in.raw(count * element_size);  // count() bounded it by the remaining bytes
    }

    IndexConfig config_;
    SlotMap slots_;

private:
    Kind& kind() { return static_cast<Kind&>(*this); }
    const Kind& kind() const { return static_cast<const Kind&>(*this); }
};

}  // namespace tvdb
