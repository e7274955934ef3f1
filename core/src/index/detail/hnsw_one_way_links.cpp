#include "hnsw_one_way_links.hpp"

#include <algorithm>

namespace tvdb {

void SlotSet::add(uint32_t slot) {
    const auto present = entries();
    if (std::find(present.begin(), present.end(), slot) != present.end()) return;
    const uint32_t count = block_ ? block_[0] : 0;
    const uint32_t capacity = block_ ? block_[1] : 0;
    if (count == capacity) {
        // Small steps: most sets stay short, and a block is copied only when it grows.
        const uint32_t grown = capacity + std::max<uint32_t>(4, capacity / 2);
        auto block = std::make_unique<uint32_t[]>(kHeader + grown);
        std::copy(present.begin(), present.end(), block.get() + kHeader);
        block[1] = grown;
        block_ = std::move(block);
    }
    block_[kHeader + count] = slot;
    block_[0] = count + 1;
}

void SlotSet::remove(uint32_t slot) {
    if (!block_) return;
    uint32_t* first = block_.get() + kHeader;
    uint32_t* last = first + block_[0];
    uint32_t* found = std::find(first, last, slot);
    if (found == last) return;
    *found = *(last - 1);
    if (--block_[0] == 0) block_.reset();
}

void OneWayLinks::reserve(size_t slots) {
    if (slots > layer0_.capacity()) layer0_.reserve(std::max(slots, 2 * layer0_.capacity()));
}

void OneWayLinks::clear() {
    for (SlotSet& sources : layer0_) sources = SlotSet();
    upper_.clear();
}

void OneWayLinks::set(uint32_t target, size_t layer, uint32_t source, bool one_way) {
    if (layer == 0) {
        if (one_way) {
            layer0_[target].add(source);
        } else {
            layer0_[target].remove(source);
        }
        return;
    }
    const uint64_t key = upper_key(target, layer);
    if (one_way) {
        upper_[key].add(source);
        return;
    }
    auto it = upper_.find(key);
    if (it == upper_.end()) return;
    it->second.remove(source);
    if (it->second.empty()) upper_.erase(it);
}

std::span<const uint32_t> OneWayLinks::of(uint32_t target, size_t layer) const {
    if (layer == 0) return layer0_[target].entries();
    auto it = upper_.find(upper_key(target, layer));
    if (it == upper_.end()) return {};
    return it->second.entries();
}

}  // namespace tvdb
