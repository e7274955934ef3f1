#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "vector_index.hpp"

namespace tvdb {

// Finds the slot of an ID among slots that are never given up (a graph keeps the slot of a
// removed node for the ID's return). An open-addressing table of slot numbers whose keys are
// read from the owner's per-slot ID array: 4 bytes a cell at most half full, where a node-based
// map costs about 40 bytes an entry.
class IdSlotTable {
public:
    std::optional<uint32_t> find(VectorId id, std::span<const VectorId> ids) const {
        if (cells_.empty()) return std::nullopt;
        for (size_t cell = home(id);; cell = (cell + 1) & mask()) {
            const uint32_t slot = cells_[cell];
            if (slot == kEmpty) return std::nullopt;
            if (ids[slot] == id) return slot;
        }
    }

    // Adds `slot`, whose ID (ids[slot]) is not in the table yet.
    void insert(uint32_t slot, std::span<const VectorId> ids) {
        reserve(count_ + 1, ids);
        place(slot, ids[slot]);
        ++count_;
    }

    // Room for `entries` without growing again.
    void reserve(size_t entries, std::span<const VectorId> ids) {
        if (2 * entries <= cells_.size()) return;
        size_t capacity = 16;
        while (capacity < 2 * entries) capacity *= 2;
        std::vector<uint32_t> old = std::move(cells_);
        cells_.assign(capacity, kEmpty);
        for (uint32_t slot : old) {
            if (slot != kEmpty) place(slot, ids[slot]);
        }
    }

private:
    static constexpr uint32_t kEmpty = UINT32_MAX;

    size_t mask() const { return cells_.size() - 1; }
    size_t home(VectorId id) const {
        uint64_t h = id + 0x9e3779b97f4a7c15ULL;  // one splitmix64 round
        h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ULL;
        h = (h ^ (h >> 27)) * 0x94d049bb133111ebULL;
        return static_cast<size_t>(h ^ (h >> 31)) & mask();
    }
    void place(uint32_t slot, VectorId id) {
        size_t cell = home(id);
        while (cells_[cell] != kEmpty) cell = (cell + 1) & mask();
        cells_[cell] = slot;
    }

    std::vector<uint32_t> cells_;
    size_t count_ = 0;
};

}  // namespace tvdb
