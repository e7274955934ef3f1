#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

namespace tvdb {

// A small set of slots in one heap block: count, capacity, then the entries. An empty set
// holds no block and costs one pointer.
class SlotSet {
public:
    std::span<const uint32_t> entries() const {
        if (!block_) return {};
        return {block_.get() + kHeader, block_[0]};
    }
    bool empty() const { return !block_; }
    void add(uint32_t slot);
    void remove(uint32_t slot);

private:
    static constexpr size_t kHeader = 2;
    std::unique_ptr<uint32_t[]> block_;
};

// For every node and layer, the nodes that list it while it does not list them back.
//
// A removal must find every list that holds the removed node, and searching for them means
// scanning the graph. Most links run both ways (about 85 % on layer 0 at m = 12), and the
// node's own list already names the other ends of those; so only the one-way rest is
// recorded here. Most nodes have no one-way sources at all, and cost one pointer.
//
// The graph keeps the records true. Layer 0, where every node is, has one set per slot;
// upper layers, which hold few nodes, keep theirs in a map keyed by slot and layer.
class OneWayLinks {
public:
    // One more slot, with no links.
    void add_slot() { layer0_.emplace_back(); }
    // Room for `slots` slots in all, grown at least geometrically.
    void reserve(size_t slots);
    // Forgets every record; the slots stay.
    void clear();

    // Records that `source` lists `target` one way, or that it no longer does.
    void set(uint32_t target, size_t layer, uint32_t source, bool one_way);
    std::span<const uint32_t> of(uint32_t target, size_t layer) const;

private:
    static uint64_t upper_key(uint32_t target, size_t layer) {
        return (uint64_t{target} << 8) | static_cast<uint64_t>(layer);
    }

    std::vector<SlotSet> layer0_;
    std::unordered_map<uint64_t, SlotSet> upper_;
};

}  // namespace tvdb
