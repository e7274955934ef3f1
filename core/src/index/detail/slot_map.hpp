#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "vector_index.hpp"

namespace tvdb {

// Assigns each ID a dense slot so that the per-slot arrays of an index (codes, scales,
// norms) stay back to back and a scan streams memory. Deleting moves the last slot into the
// freed one: slots never have holes, and a slot's position is an implementation detail.
class SlotMap {
public:
    struct Placement {
        size_t slot;
        bool appended;  // true when the slot is new: the caller grows its arrays by one slot
    };

    // The slot of `id`, or a new slot at the end.
    Placement place(VectorId id) {
        auto [it, inserted] = slot_of_.try_emplace(id, ids_.size());
        if (inserted) ids_.push_back(id);
        return {it->second, inserted};
    }

    // Removes `id` and returns the slot it held; the caller then moves the data of the last
    // slot (index size()) into it, see `move_last_row`. Nothing when the ID is absent.
    std::optional<size_t> remove(VectorId id) {
        auto it = slot_of_.find(id);
        if (it == slot_of_.end()) return std::nullopt;
        size_t slot = it->second;
        slot_of_.erase(it);
        VectorId last_id = ids_.back();
        ids_.pop_back();
        if (slot != ids_.size()) {
            ids_[slot] = last_id;
            slot_of_[last_id] = slot;
        }
        return slot;
    }

    std::optional<size_t> find(VectorId id) const {
        auto it = slot_of_.find(id);
        if (it == slot_of_.end()) return std::nullopt;
        return it->second;
    }

    void reserve(size_t slots) {
        ids_.reserve(slots);
        slot_of_.reserve(slots);
    }

    size_t size() const { return ids_.size(); }
    std::span<const VectorId> ids() const { return ids_; }

private:
    std::vector<VectorId> ids_;
    std::unordered_map<VectorId, size_t> slot_of_;
};

// After SlotMap::remove returned `slot`: copies the last row of `rows` (rows of `width`
// elements) into that slot and drops the last row.
template <typename T>
void move_last_row(std::vector<T>& rows, size_t width, size_t slot) {
    if (width == 0) return;
    size_t last = rows.size() / width - 1;
    if (slot != last) {
        std::copy_n(rows.begin() + last * width, width, rows.begin() + slot * width);
    }
    rows.resize(last * width);
}

}  // namespace tvdb
