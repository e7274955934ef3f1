#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "detail/hnsw_one_way_links.hpp"
#include "detail/huge_page_allocator.hpp"
#include "detail/id_slot_table.hpp"
#include "vector_index.hpp"

namespace tvdb {

// One entry of a layer search: an ordering distance (squared for L2) and the node's slot.
struct Candidate {
    float distance;
    uint32_t slot;
};

// Scratch state of one search or insertion. Visit marks carry the generation of the search
// that set them, so nothing is cleared between searches; the heaps reuse their storage.
struct VisitedTracker {
    // Two bytes keep the marks of a large graph in the core's cache beside the vectors.
    using Mark = uint16_t;
    std::vector<Mark> marks;
    std::vector<Candidate> candidates;
    std::vector<Candidate> results;
    Mark generation = 1;

    // Grows the marks (with zeros) so that every slot below `slots` has one.
    void cover(size_t slots) {
        if (marks.size() < slots) marks.resize(slots, 0);
    }
    // Starts a new visit generation; when the counter wraps, old marks are cleared first so
    // that no stale mark can equal the new generation.
    void next_generation();
};

// The neighbours chosen for one node while the graph is read-only: entry l holds its list
// on layer l, for l = 0 .. min(node level, entry-point level).
struct ParallelSearchResult {
    std::vector<std::vector<uint32_t>> layers;
    uint32_t slot = 0;
};

// Hierarchical navigable small-world graph over vectors stored in the graph itself.
//
// Nodes live in dense slots; a map takes the caller's 64-bit IDs to slots, and a slot keeps
// its ID for answers and tie-breaks. A slot is a hole (given to an ID, not yet inserted),
// live, or removed (lists emptied, vector and level kept); re-inserting an ID reuses its slot.
// Lists hold only live nodes that are on the list's layer, each at most once, never the
// owner itself. A link that runs one way only is also recorded at its far end, so that the
// nodes listing a node are found without a scan: they are its one-way sources plus the
// nodes of its own list that list it back.
//
// Layout, chosen for the search loop: vectors back to back (slot s at s * dimension);
// layer-0 lists in one array with a fixed stride of m0 + 2 words per slot, the count first
// and then room for m0 + 1 entries (the spare one takes a back-link before pruning); upper
// layers, which few nodes have, in one small array per slot with a stride of m + 2 words
// per layer laid out the same way. A node is on layer l exactly when its level is >= l.
//
// Linking: a new node keeps, from the nearest candidates its layer search found, those that
// are closer to it than to every neighbour kept before them (nearest first, at most m0 or
// m). Keeping only the nearest would link each dense cluster to itself alone and leave the
// descent unable to leave the cluster it enters; the kept far candidates are the bridges.
// Each kept neighbour gets a back-link; a list that overflows is chosen again from its
// entries by the same rule, except that, when nodes are linked one at a time, an entry no
// other list holds stays (in place of the farthest entry held elsewhere when the list is
// full): dropping it would leave that node without a way in.
//
// Removal: every node that listed the removed one chooses its list again, as an
// overflowing list is chosen, from the entries it keeps plus the removed node's
// neighbours, and tops it up with the nearest of the others to the length it had; so the
// paths that ran through the removed node still exist and the graph keeps its density.
// When the entry point goes, the live node of highest level takes its place (the largest
// ID on a tie), found in a set of the nodes above layer 0.
//
// All distances are ordering distances (distance_ord). Pairs are ordered by distance, then
// by ID; a NaN distance ranks after every number. The graph is not thread-safe: reads may
// run concurrently only while nobody writes.
class HnswGraph {
public:
    static constexpr uint64_t kMaxM = 32;
    // Layer-0 lists are gathered into a fixed buffer during searches.
    static constexpr uint64_t kMaxM0 = 64;
    static constexpr size_t kMaxSlots = UINT32_MAX;
    // Never a slot: kMaxSlots slots are numbered below it.
    static constexpr uint32_t kNoSlot = UINT32_MAX;

    // An empty graph with m0 = 2m and level multiplier 1 / ln(max(m, 2)).
    HnswGraph(uint64_t dimension, uint64_t m, uint64_t ef_construction);
    // An empty graph with explicit parameters (a loaded graph keeps its saved ones).
    // Requires 1 <= m <= kMaxM and m0 <= kMaxM0.
    HnswGraph(uint64_t dimension, uint64_t m, uint64_t m0, uint64_t ef_construction,
              double level_multiplier);

    uint64_t dimension() const { return dimension_; }
    uint64_t m() const { return m_; }
    uint64_t m0() const { return m0_; }
    uint64_t ef_construction() const { return ef_construction_; }
    double level_multiplier() const { return level_multiplier_; }
    uint64_t node_count() const { return node_count_; }
    size_t slot_count() const { return ids_.size(); }
    std::optional<uint32_t> entry_point() const { return entry_point_; }

    // The slot ever given to `id` (live, removed or a hole), if any.
    std::optional<uint32_t> slot_of(VectorId id) const;
    // The slot of `id`, appending a hole when the ID has none yet.
    uint32_t slot_for(VectorId id);
    // Room for `n` more slots in every per-slot array.
    void reserve(size_t n);

    VectorId id_of(uint32_t slot) const { return ids_[slot]; }
    bool is_live(uint32_t slot) const { return present_[slot] != 0; }
    uint8_t level_of(uint32_t slot) const { return levels_[slot]; }
    std::span<const float> vector_of(uint32_t slot) const {
        return {vectors_.data() + slot * dimension_, dimension_};
    }
    // The node's list on `layer` (empty when the node is not on that layer).
    std::span<const uint32_t> neighbors(uint32_t slot, size_t layer) const {
        const uint32_t* head = list_head(slot, layer);
        if (head == nullptr) return {};
        return {head + 1, head[0]};
    }

    // A level drawn by the level rule: floor(-ln(r) * level_multiplier), r uniform in
    // [1e-15, 1) from 53 random bits.
    uint8_t draw_level();
    // Makes the following levels reproducible (the generator starts from OS randomness).
    void seed_levels(uint64_t seed) { rng_.seed(seed); }

    // Inserts the vector at a slot that is not live, linking it to its nearest neighbours.
    void insert(uint32_t slot, std::span<const float> vector, Metric metric,
                VisitedTracker& tracker);
    // Makes a slot live with the given vector and level and no links yet.
    void stage(uint32_t slot, std::span<const float> vector, uint8_t level);
    // Read-only neighbour searches and choices for a staged node (safe to run concurrently).
    void search_neighbors(uint32_t slot, Metric metric, VisitedTracker& tracker,
                          ParallelSearchResult& out) const;
    // Links a staged node to its chosen neighbours: own lists, back-links with pruning, and
    // the entry point when the node's level is the highest.
    void link_planned(const ParallelSearchResult& planned, Metric metric);

    // The steps of link_planned, for a caller that applies many nodes' links at once. Each
    // writes only the list of its first argument on `layer` (and reads vectors, levels and
    // presence), so calls on different lists may run concurrently; calls on one list must
    // come in the order the nodes are linked. They leave the one-way records alone: once
    // the concurrent writes are over, the caller passes every written list, with its
    // entries from before the first write, to sync_one_way.
    void set_own_list(uint32_t slot, size_t layer, std::span<const uint32_t> chosen);
    void add_back_link(uint32_t target, size_t layer, uint32_t slot, Metric metric);
    void sync_one_way(uint32_t slot, size_t layer, std::span<const uint32_t> before);
    // The node becomes the entry point when its level is the highest (or there is none).
    void raise_entry_point(uint32_t slot);

    // Greedy walk on one layer >= 1, never moving to a removed node.
    uint32_t greedy_closest(std::span<const float> query, uint32_t entry, size_t layer,
                            Metric metric) const;
    // Beam search of one layer from a live entry: at most `ef` pairs, nearest first, held in
    // the tracker until its next use. Empty when the entry is not live.
    std::span<const Candidate> search_layer(std::span<const float> query, uint32_t entry,
                                            size_t ef, size_t layer, Metric metric,
                                            VisitedTracker& tracker) const;
    // Beam search of layer 0 that walks through live nodes whether `admit` accepts them or
    // not but keeps only accepted ones: at most `ef` pairs, nearest first, held in the
    // tracker until its next use. `admit` is asked only about nodes near enough to be kept.
    std::span<const Candidate> search_layer_admitted(std::span<const float> query,
                                                     uint32_t entry, size_t ef, Metric metric,
                                                     const IdFilter& admit,
                                                     VisitedTracker& tracker) const;
    // Removes a live node: every list that held it is chosen again around the gap (see the
    // class comment), its own lists are emptied and the entry point is repaired. False when
    // the slot is not live.
    bool unlink(uint32_t slot, Metric metric);
    // The nodes whose list on `layer` holds the node, in no particular order.
    std::vector<uint32_t> listed_by(uint32_t slot, size_t layer) const;

    // Loaders only: replace a live node's list on a layer it is on (entries that are not
    // live nodes of that layer, repeats and the node itself are skipped; the rest is cut to
    // the list's capacity), record the one-way links once every list is set, and set the
    // entry point.
    void set_neighbors(uint32_t slot, size_t layer, std::span<const uint32_t> entries);
    void record_one_way_links() const;
    // Loaders only, instead of record_one_way_links: the records are made by the first call
    // that changes the graph (slot_for, reserve, insert, unlink) or asks listed_by, from the
    // same lists, so a loaded graph that is only searched never pays for them.
    void defer_one_way_links() { one_way_pending_ = true; }
    // Drops the one-way records, to be made again from the lists as after a load; until
    // then sync_one_way must not be called. For a bulk insertion that writes more lists
    // than the graph had: one pass over the final lists costs less than following every
    // write.
    void rebuild_one_way_links_later() {
        one_way_.clear();
        one_way_pending_ = true;
    }
    void set_entry_point(std::optional<uint32_t> slot) { entry_point_ = slot; }

    // The pair order of searches: distance (NaN last), then ID.
    bool closer(const Candidate& a, const Candidate& b) const {
        if (a.distance < b.distance) return true;
        if (b.distance < a.distance) return false;
        return closer_tied(a, b);
    }

private:
    // Equal or unordered distances: a number before NaN, then the smaller ID.
    bool closer_tied(const Candidate& a, const Candidate& b) const;
    uint32_t* list_head(uint32_t slot, size_t layer);
    // Inline: searches call it once per expanded node.
    const uint32_t* list_head(uint32_t slot, size_t layer) const {
        if (layer == 0) return layer0_.data() + size_t{slot} * layer0_stride_;
        const auto& upper = upper_[slot];
        if (!upper || levels_[slot] < layer) return nullptr;
        return upper.get() + (layer - 1) * upper_stride_;
    }
    size_t capacity_of(size_t layer) const { return layer == 0 ? m0_ : m_; }
    // Whether a listed node counts on this layer: live and high enough.
    bool usable(uint32_t slot, size_t layer) const {
        return present_[slot] && (layer == 0 || levels_[slot] >= layer);
    }
    void prefetch_list(uint32_t slot, size_t layer) const;
    // Starts a layer search at `entry`: a new visit generation, empty heaps, the entry
    // marked. False when the entry is not live.
    bool start_layer_search(uint32_t entry, VisitedTracker& tracker) const;
    // Gathers the usable neighbours of `slot` on `layer` that this search has not visited.
    size_t gather_unvisited(uint32_t slot, size_t layer, VisitedTracker& tracker,
                            uint32_t* out) const;
    bool shadowed(const Candidate& candidate, std::span<const uint32_t> kept,
                  Metric metric) const;
    // Keeps the diverse nearest candidates (see the class comment); returns how many.
    size_t choose_neighbors(std::span<const Candidate> found, size_t capacity, Metric metric,
                            uint32_t* out) const;
    void link_layer(uint32_t slot, size_t layer, std::span<const uint32_t> chosen,
                    Metric metric);
    void append_link(uint32_t target, size_t layer, uint32_t slot, Metric metric,
                     bool keep_reachable);
    void prune(uint32_t slot, size_t layer, Metric metric, bool keep_reachable);
    bool lists(uint32_t owner, size_t layer, uint32_t node) const;
    // Brings the one-way records of the pair in line with both nodes' lists on `layer`.
    void reconcile(uint32_t a, uint32_t b, size_t layer);
    // Whether a list other than those of `owner` and `ignored` holds the node on `layer`.
    bool held_elsewhere(uint32_t node, size_t layer, uint32_t owner, uint32_t ignored) const;
    // The diverse choice for the list of `slot`, then, while room is left, the candidates
    // that no other list holds (`ignored` aside), so that none loses its last way in.
    size_t choose_reachable(uint32_t slot, size_t layer, std::span<const Candidate> found,
                            uint32_t ignored, Metric metric, uint32_t* out) const;
    // Runs `change` on one list, then brings the one-way records of its entries in line.
    template <typename Change>
    void change_list(uint32_t slot, size_t layer, Change&& change);
    void reconnect_around(uint32_t removed, size_t layer, Metric metric);
    void relink(uint32_t slot, size_t layer, uint32_t removed,
                std::span<const uint32_t> bridges, Metric metric);
    void repair_entry_point();
    // Const for listed_by: the records are a cache of what the lists say. Never reached by
    // searches, so concurrent readers do not race on it.
    void settle_one_way_links() const;

    uint64_t dimension_;
    uint64_t m_;
    uint64_t m0_;
    uint64_t ef_construction_;
    double level_multiplier_;
    size_t layer0_stride_;
    size_t upper_stride_;

    // Searches reach vectors and layer-0 lists at random: huge pages spare most TLB misses.
    std::vector<float, HugePageAllocator<float>> vectors_;
    std::vector<uint8_t> levels_;
    std::vector<uint32_t, HugePageAllocator<uint32_t>> layer0_;
    // Lists above layer 0, levels_[slot] of them back to back; none for a layer-0 node.
    std::vector<std::unique_ptr<uint32_t[]>> upper_;
    std::vector<uint8_t> present_;
    std::vector<VectorId> ids_;
    IdSlotTable slot_of_id_;
    mutable OneWayLinks one_way_;
    mutable bool one_way_pending_ = false;
    // Live nodes above layer 0 as (level, ID, slot): the last is the entry point's heir.
    std::set<std::tuple<uint8_t, VectorId, uint32_t>> upper_nodes_;
    std::optional<uint32_t> entry_point_;
    uint64_t node_count_ = 0;
    // Until a node is removed, every layer-0 list names live nodes only (holes are never
    // listed), so searches skip the presence check there.
    bool any_removed_ = false;
    std::mt19937_64 rng_;
};

}  // namespace tvdb
