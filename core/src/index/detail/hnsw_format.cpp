#include "hnsw_format.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_set>

namespace tvdb::hnsw_format {
namespace {

// id, vector count, list count, one empty layer-0 list, level.
constexpr size_t kMinNodeBytes = 5 * sizeof(uint64_t);
constexpr uint64_t kMaxLevel = 255;

// Where a node's fields sit in the record, found by the first pass.
struct NodeRecord {
    VectorId id;
    size_t vector_at;
    size_t lists_at;
    uint8_t level;
};

VectorDbError bad_record(const std::string& text) { return VectorDbError::serialization(text); }

template <typename Sink>
void write_live_list(RecordEncoder<Sink>& out, const HnswGraph& graph, uint32_t slot,
                     size_t layer) {
    auto list = graph.neighbors(slot, layer);
    uint64_t live = 0;
    for (uint32_t n : list) live += graph.is_live(n) && graph.level_of(n) >= layer;
    out.count(live);
    for (uint32_t n : list) {
        if (graph.is_live(n) && graph.level_of(n) >= layer) out.u64(graph.id_of(n));
    }
}

// First pass: checks the node table's shape and finds each node's fields.
Result<std::vector<NodeRecord>> scan_nodes(RecordDecoder& in, uint64_t dimension) {
    const uint64_t n = in.count(kMinNodeBytes);
    std::vector<NodeRecord> nodes;
    nodes.reserve(n);
    for (uint64_t i = 0; i < n && in.ok(); ++i) {
        NodeRecord node{};
        node.id = in.u64();
        const uint64_t length = in.count(sizeof(float));
        if (in.ok() && length != dimension) {
            return fail(bad_record("node " + std::to_string(node.id) + " has a vector of length " +
                                   std::to_string(length) + ", expected " +
                                   std::to_string(dimension)));
        }
        node.vector_at = in.position();
        in.raw(length * sizeof(float));
        node.lists_at = in.position();
        const uint64_t lists = in.count(sizeof(uint64_t));
        for (uint64_t l = 0; l < lists && in.ok(); ++l) in.raw(in.count(sizeof(uint64_t)) * 8);
        const uint64_t level = in.u64();
        if (!in.ok()) break;
        if (level > kMaxLevel || lists != level + 1) {
            return fail(bad_record("node " + std::to_string(node.id) + " has level " +
                                   std::to_string(level) + " and " + std::to_string(lists) +
                                   " neighbour lists"));
        }
        node.level = static_cast<uint8_t>(level);
        nodes.push_back(node);
    }
    if (!in.ok()) return fail(in.error());
    return nodes;
}

// Slots of the saved nodes by ID; a node's slot is its place in the node table. IDs below
// a small multiple of the node count (sequential IDs, some deleted) are looked up in a table
// indexed by ID, which is much cheaper than hashing every neighbour of every list.
class SavedSlots {
public:
    SavedSlots(const HnswGraph& graph, const std::vector<NodeRecord>& nodes) : graph_(graph) {
        VectorId highest = 0;
        for (const NodeRecord& node : nodes) highest = std::max(highest, node.id);
        if (nodes.empty() || highest / kMaxSpread >= nodes.size()) return;
        by_id_.assign(highest + 1, HnswGraph::kNoSlot);
        for (uint32_t slot = 0; slot < nodes.size(); ++slot) by_id_[nodes[slot].id] = slot;
    }

    std::optional<uint32_t> operator()(VectorId id) const {
        if (by_id_.empty()) return graph_.slot_of(id);
        if (id >= by_id_.size() || by_id_[id] == HnswGraph::kNoSlot) return std::nullopt;
        return by_id_[id];
    }

private:
    static constexpr uint64_t kMaxSpread = 4;
    const HnswGraph& graph_;
    std::vector<uint32_t> by_id_;
};

// Second pass: the neighbour lists, as slots of saved nodes.
// `slots` is scratch space kept between calls.
Result<void> read_lists(std::span<const uint8_t> bytes, const NodeRecord& node, uint32_t slot,
                        const SavedSlots& slot_of, HnswGraph& graph, std::vector<uint32_t>& slots) {
    RecordDecoder in(bytes.subspan(node.lists_at));
    const uint64_t lists = in.u64();
    for (uint64_t layer = 0; layer < lists; ++layer) {
        const uint64_t count = in.count(sizeof(uint64_t));
        if (layer > 0 && count > graph.m()) {
            return fail(bad_record("node " + std::to_string(node.id) + " has " +
                                   std::to_string(count) + " neighbours on layer " +
                                   std::to_string(layer) + ", more than m = " +
                                   std::to_string(graph.m())));
        }
        const auto saved_ids = in.raw(count * sizeof(uint64_t));
        slots.clear();
        for (size_t at = 0; at < saved_ids.size(); at += sizeof(uint64_t)) {
            uint64_t id = 0;
            std::memcpy(&id, saved_ids.data() + at, sizeof id);
            if (auto neighbor = slot_of(id)) slots.push_back(*neighbor);
        }
        graph.set_neighbors(slot, layer, slots);
    }
    return {};
}

}  // namespace

template <typename Sink>
void write_graph(RecordEncoder<Sink>& out, const HnswGraph& graph) {
    out.count(graph.node_count());
    for (uint32_t slot = 0; slot < graph.slot_count(); ++slot) {
        if (!graph.is_live(slot)) continue;
        out.u64(graph.id_of(slot));
        out.f32_seq(graph.vector_of(slot));
        const size_t level = graph.level_of(slot);
        out.count(level + 1);
        for (size_t layer = 0; layer <= level; ++layer) write_live_list(out, graph, slot, layer);
        out.u64(level);
    }
    auto entry = graph.entry_point();
    out.boolean(entry.has_value());
    if (entry) out.u64(graph.id_of(*entry));
    out.u64(graph.m());
    out.u64(graph.m0());
    out.u64(graph.ef_construction());
    out.f64(graph.level_multiplier());
}

template <typename Sink>
void write_header(RecordEncoder<Sink>& out, const IndexHeader& header) {
    out.u64(header.dimension);
    out.u32(static_cast<uint32_t>(header.metric));
    out.u64(header.config.ef_construction);
    out.u64(header.config.ef_search);
    out.u64(header.config.m);
}

template void write_graph(RecordEncoder<FileEncoder>&, const HnswGraph&);
template void write_graph(RecordEncoder<ByteEncoder>&, const HnswGraph&);
template void write_header(RecordEncoder<FileEncoder>&, const IndexHeader&);
template void write_header(RecordEncoder<ByteEncoder>&, const IndexHeader&);

Result<HnswGraph> read_graph(std::span<const uint8_t> bytes, uint64_t dimension) {
    RecordDecoder in(bytes);
    auto nodes = scan_nodes(in, dimension);
    if (!nodes) return fail(nodes.error());
    const bool has_entry = in.boolean();
    const uint64_t entry_id = has_entry ? in.u64() : 0;
    const uint64_t m = in.u64();
    const uint64_t m0 = in.u64();
    const uint64_t ef_construction = in.u64();
    const double level_multiplier = in.f64();
    if (!in.ok()) return fail(in.error());
    if (m < 1 || m > HnswGraph::kMaxM || m0 > HnswGraph::kMaxM0) {
        return fail(bad_record("graph parameters m = " + std::to_string(m) + ", m0 = " +
                               std::to_string(m0) + " are outside 1..32 and 0..64"));
    }

    HnswGraph graph(dimension, m, m0, ef_construction, level_multiplier);
    graph.reserve(nodes->size());
    // Sized only when a node's vector was found in the bytes: a file with no nodes must not
    // make its declared dimension an allocation.
    std::vector<float> vector(nodes->empty() ? 0 : dimension);
    for (uint32_t next_slot = 0; const NodeRecord& node : *nodes) {
        // Slots are handed out in order, so an ID saved before gets its earlier slot back.
        const uint32_t slot = graph.slot_for(node.id);
        if (slot != next_slot++) {
            return fail(bad_record("node " + std::to_string(node.id) + " is saved twice"));
        }
        if (dimension > 0) {
            std::memcpy(vector.data(), bytes.data() + node.vector_at, dimension * sizeof(float));
        }
        graph.stage(slot, vector, node.level);
    }
    const SavedSlots slot_of(graph, *nodes);
    std::vector<uint32_t> slots;
    for (uint32_t slot = 0; slot < nodes->size(); ++slot) {
        if (auto read = read_lists(bytes, (*nodes)[slot], slot, slot_of, graph, slots); !read) {
            return fail(read.error());
        }
    }
    graph.defer_one_way_links();
    if (!nodes->empty() || has_entry) {
        auto entry = has_entry ? graph.slot_of(entry_id) : std::nullopt;
        if (!entry) {
            return fail(bad_record(has_entry ? "entry point " + std::to_string(entry_id) +
                                                   " is not a saved node"
                                             : "nodes are saved without an entry point"));
        }
        graph.set_entry_point(entry);
    }
    return graph;
}

IndexHeader read_header(RecordDecoder& in) {
    IndexHeader header;
    header.dimension = in.u64();
    header.metric = static_cast<Metric>(in.variant(kMetricCount));
    header.config.ef_construction = in.u64();
    header.config.ef_search = in.u64();
    header.config.m = in.u64();
    return header;
}

Result<std::vector<VectorEntry>> read_older_vectors(RecordDecoder& in, uint64_t dimension) {
    const uint64_t n = in.count(2 * sizeof(uint64_t));
    std::vector<VectorEntry> entries;
    entries.reserve(n);
    std::unordered_set<VectorId> seen;
    for (uint64_t i = 0; i < n && in.ok(); ++i) {
        const VectorId id = in.u64();
        auto vector = in.f32_seq();
        if (!in.ok()) break;
        if (vector.size() != dimension) {
            return fail(bad_record("vector " + std::to_string(id) + " has length " +
                                   std::to_string(vector.size()) + ", expected " +
                                   std::to_string(dimension)));
        }
        if (!seen.insert(id).second) {
            return fail(bad_record("vector " + std::to_string(id) + " is saved twice"));
        }
        entries.emplace_back(id, std::move(vector));
    }
    if (!in.ok()) return fail(in.error());
    return entries;
}

}  // namespace tvdb::hnsw_format
