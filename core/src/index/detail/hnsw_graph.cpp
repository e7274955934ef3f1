#include "hnsw_graph.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tvdb {
namespace {

constexpr size_t kCacheLine = 64;

// NaN ranks after every number, so that "d < worst" never admits it into a full beam.
inline float rank(float distance) {
    return std::isnan(distance) ? std::numeric_limits<float>::infinity() : distance;
}

inline void prefetch_vector(const float* vector, size_t bytes) {
    const char* p = reinterpret_cast<const char*>(vector);
    for (size_t offset = 0; offset < bytes; offset += kCacheLine) __builtin_prefetch(p + offset);
}

// Measures the listed slots against `query` four at a time, calling visit(distance, index)
// in list order; the next group's vectors are fetched while the current group is measured.
template <typename Visit>
void measure(Metric metric, std::span<const float> query, const float* vectors,
             size_t dimension, const uint32_t* slots, size_t n, Visit&& visit) {
    const size_t bytes = dimension * sizeof(float);
    auto vector_at = [&](size_t i) { return vectors + size_t{slots[i]} * dimension; };
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (size_t next = i + 4; next < std::min(n, i + 8); ++next) {
            prefetch_vector(vector_at(next), bytes);
        }
        auto d = distance_ord_batch4(metric, query,
                                     {vector_at(i), vector_at(i + 1), vector_at(i + 2),
                                      vector_at(i + 3)});
        for (size_t j = 0; j < 4; ++j) visit(d[j], i + j);
    }
    for (; i < n; ++i) visit(distance_ord(metric, query, vector_at(i)), i);
}

// The heap orders of a layer search (nearest or farthest on top) as std heaps take them:
// whether x sits below y. Distinct numbers decide it without a branch; equal distances and
// NaN, which are rare, take the full pair order.
template <bool kNearestOnTop>
struct HeapOrder {
    const HnswGraph* graph;
    bool operator()(const Candidate& x, const Candidate& y) const {
        const float lower = kNearestOnTop ? y.distance : x.distance;
        const float higher = kNearestOnTop ? x.distance : y.distance;
        const bool below = lower < higher;
        if (!(below | (higher < lower))) [[unlikely]] {
            return kNearestOnTop ? graph->closer(y, x) : graph->closer(x, y);
        }
        return below;
    }
};

// std::pop_heap for the heaps of a layer search: the top goes to the back, its hole sinks
// to a leaf along the higher children and the former last entry rises from there. Which
// child is higher is a coin toss, so it is picked arithmetically rather than by a branch
// the processor would mispredict half the time.
template <typename Below>
void pop_top(Candidate* heap, size_t entries, Below below) {
    const size_t size = entries - 1;
    const Candidate last = heap[size];
    heap[size] = heap[0];
    size_t hole = 0;
    size_t child = 2;
    for (; child < size; child = 2 * hole + 2) {
        child -= static_cast<size_t>(below(heap[child], heap[child - 1]));
        heap[hole] = heap[child];
        hole = child;
    }
    if (child == size) {
        heap[hole] = heap[child - 1];
        hole = child - 1;
    }
    while (hole > 0) {
        const size_t parent = (hole - 1) / 2;
        if (!below(heap[parent], last)) break;
        heap[hole] = heap[parent];
        hole = parent;
    }
    heap[hole] = last;
}

template <typename Below>
void pop_top(std::vector<Candidate>& heap, Below below) {
    pop_top(heap.data(), heap.size(), below);
}

// std::sort_heap by the same branch-free pops: the heap's entries in order, lowest first.
template <typename Below>
void sort_heap_entries(std::vector<Candidate>& heap, Below below) {
    for (size_t entries = heap.size(); entries > 1; --entries) pop_top(heap.data(), entries, below);
}

// Whether a (short) list holds the value; without an early exit the loop vectorises.
inline bool holds(std::span<const uint32_t> list, uint32_t value) {
    bool found = false;
    for (uint32_t entry : list) found |= entry == value;
    return found;
}

}  // namespace

void VisitedTracker::next_generation() {
    if (generation == std::numeric_limits<Mark>::max()) {
        std::fill(marks.begin(), marks.end(), 0);
        generation = 1;
    } else {
        ++generation;
    }
}

HnswGraph::HnswGraph(uint64_t dimension, uint64_t m, uint64_t ef_construction)
    : HnswGraph(dimension, m, 2 * m, ef_construction,
                1.0 / std::log(static_cast<double>(std::max<uint64_t>(m, 2)))) {}

HnswGraph::HnswGraph(uint64_t dimension, uint64_t m, uint64_t m0, uint64_t ef_construction,
                     double level_multiplier)
    : dimension_(dimension),
      m_(m),
      m0_(m0),
      ef_construction_(ef_construction),
      level_multiplier_(level_multiplier),
      layer0_stride_(m0 + 2),
      upper_stride_(m + 2),
      rng_(std::random_device{}()) {}

std::optional<uint32_t> HnswGraph::slot_of(VectorId id) const {
    return slot_of_id_.find(id, ids_);
}

uint32_t HnswGraph::slot_for(VectorId id) {
    settle_one_way_links();
    if (auto slot = slot_of_id_.find(id, ids_)) return *slot;
    const auto slot = static_cast<uint32_t>(ids_.size());
    ids_.push_back(id);
    slot_of_id_.insert(slot, ids_);
    vectors_.resize(vectors_.size() + dimension_, 0.0f);
    levels_.push_back(0);
    layer0_.resize(layer0_.size() + layer0_stride_, 0);
    upper_.emplace_back();
    present_.push_back(0);
    one_way_.add_slot();
    return slot;
}

namespace {

// Reserving exactly what one batch needs would move every array on every batch (a
// quadratic fill in batches); grow at least geometrically instead.
template <typename Sequence>
void reserve_at_least(Sequence& sequence, size_t needed) {
    if (needed > sequence.capacity()) sequence.reserve(std::max(needed, 2 * sequence.capacity()));
}

}  // namespace

void HnswGraph::reserve(size_t n) {
    settle_one_way_links();
    const size_t slots = ids_.size() + n;
    reserve_at_least(vectors_, slots * dimension_);
    reserve_at_least(levels_, slots);
    reserve_at_least(layer0_, slots * layer0_stride_);
    reserve_at_least(upper_, slots);
    reserve_at_least(present_, slots);
    reserve_at_least(ids_, slots);
    one_way_.reserve(slots);
    slot_of_id_.reserve(slots, ids_);
}

uint32_t* HnswGraph::list_head(uint32_t slot, size_t layer) {
    return const_cast<uint32_t*>(std::as_const(*this).list_head(slot, layer));
}

uint8_t HnswGraph::draw_level() {
    double r = static_cast<double>(rng_() >> 11) * 0x1p-53;
    r = std::max(r, 1e-15);
    double level = std::floor(-std::log(r) * level_multiplier_);
    // A loaded graph brings its own multiplier; keep any value of it inside the 8-bit range.
    if (!(level >= 0.0)) return 0;
    return static_cast<uint8_t>(std::min(level, 255.0));
}

bool HnswGraph::closer_tied(const Candidate& a, const Candidate& b) const {
    bool a_nan = std::isnan(a.distance);
    bool b_nan = std::isnan(b.distance);
    if (a_nan != b_nan) return b_nan;
    return ids_[a.slot] < ids_[b.slot];
}

void HnswGraph::stage(uint32_t slot, std::span<const float> vector, uint8_t level) {
    std::copy(vector.begin(), vector.end(), vectors_.begin() + size_t{slot} * dimension_);
    levels_[slot] = level;
    layer0_[size_t{slot} * layer0_stride_] = 0;
    upper_[slot] = level > 0 ? std::make_unique<uint32_t[]>(size_t{level} * upper_stride_) : nullptr;
    present_[slot] = 1;
    ++node_count_;
    if (level > 0) upper_nodes_.emplace(level, ids_[slot], slot);
}

void HnswGraph::insert(uint32_t slot, std::span<const float> vector, Metric metric,
                       VisitedTracker& tracker) {
    settle_one_way_links();
    const uint8_t level = draw_level();
    stage(slot, vector, level);
    if (!entry_point_) {
        entry_point_ = slot;
        return;
    }
    const auto query = vector_of(slot);
    uint32_t entry = *entry_point_;
    const size_t top = levels_[entry];
    for (size_t layer = top; layer > level; --layer) {
        entry = greedy_closest(query, entry, layer, metric);
    }
    uint32_t chosen[kMaxM0];
    for (size_t layer = std::min<size_t>(top, level) + 1; layer-- > 0;) {
        auto found = search_layer(query, entry, ef_construction_, layer, metric, tracker);
        const size_t n = choose_neighbors(found, capacity_of(layer), metric, chosen);
        link_layer(slot, layer, {chosen, n}, metric);
        if (!found.empty()) entry = found[0].slot;
    }
    if (level > top) entry_point_ = slot;
}

void HnswGraph::search_neighbors(uint32_t slot, Metric metric, VisitedTracker& tracker,
                                 ParallelSearchResult& out) const {
    out.slot = slot;
    if (!entry_point_) {
        out.layers.clear();
        return;
    }
    const auto query = vector_of(slot);
    const size_t level = levels_[slot];
    uint32_t entry = *entry_point_;
    const size_t top = levels_[entry];
    for (size_t layer = top; layer > level; --layer) {
        entry = greedy_closest(query, entry, layer, metric);
    }
    out.layers.resize(std::min(top, level) + 1);
    uint32_t chosen[kMaxM0];
    for (size_t layer = out.layers.size(); layer-- > 0;) {
        auto found = search_layer(query, entry, ef_construction_, layer, metric, tracker);
        const size_t n = choose_neighbors(found, capacity_of(layer), metric, chosen);
        out.layers[layer].assign(chosen, chosen + n);
        if (!found.empty()) entry = found[0].slot;
    }
}

void HnswGraph::link_planned(const ParallelSearchResult& planned, Metric metric) {
    for (size_t layer = 0; layer < planned.layers.size(); ++layer) {
        link_layer(planned.slot, layer, planned.layers[layer], metric);
    }
    raise_entry_point(planned.slot);
}

void HnswGraph::raise_entry_point(uint32_t slot) {
    if (!entry_point_ || levels_[slot] > levels_[*entry_point_]) entry_point_ = slot;
}

// Whether some kept neighbour is nearer to the candidate than the new node is; stops at
// the first group of four that holds one.
bool HnswGraph::shadowed(const Candidate& candidate, std::span<const uint32_t> kept,
                         Metric metric) const {
    const auto vector = vector_of(candidate.slot);
    auto kept_vector = [&](size_t i) { return vectors_.data() + size_t{kept[i]} * dimension_; };
    size_t i = 0;
    for (; i + 4 <= kept.size(); i += 4) {
        auto d = distance_ord_batch4(metric, vector,
                                     {kept_vector(i), kept_vector(i + 1), kept_vector(i + 2),
                                      kept_vector(i + 3)});
        if (d[0] < candidate.distance || d[1] < candidate.distance ||
            d[2] < candidate.distance || d[3] < candidate.distance) {
            return true;
        }
    }
    for (; i < kept.size(); ++i) {
        if (distance_ord(metric, vector, kept_vector(i)) < candidate.distance) return true;
    }
    return false;
}

size_t HnswGraph::choose_neighbors(std::span<const Candidate> found, size_t capacity,
                                   Metric metric, uint32_t* out) const {
    size_t kept = 0;
    for (const Candidate& candidate : found) {
        if (kept == capacity) break;
        if (!shadowed(candidate, {out, kept}, metric)) out[kept++] = candidate.slot;
    }
    return kept;
}

template <typename Change>
void HnswGraph::change_list(uint32_t slot, size_t layer, Change&& change) {
    uint32_t before[kMaxM0 + 1];
    const auto list = neighbors(slot, layer);
    std::copy(list.begin(), list.end(), before);
    change();
    sync_one_way(slot, layer, {before, list.size()});
}

bool HnswGraph::lists(uint32_t owner, size_t layer, uint32_t node) const {
    return holds(neighbors(owner, layer), node);
}

void HnswGraph::reconcile(uint32_t a, uint32_t b, size_t layer) {
    const bool a_lists_b = lists(a, layer, b);
    const bool b_lists_a = lists(b, layer, a);
    one_way_.set(b, layer, a, a_lists_b && !b_lists_a);
    one_way_.set(a, layer, b, b_lists_a && !a_lists_b);
}

// Only pairs of the owner and an entry it dropped or gained can have changed.
void HnswGraph::sync_one_way(uint32_t slot, size_t layer, std::span<const uint32_t> before) {
    const auto after = neighbors(slot, layer);
    // The most common change, one entry appended: the owner did not list it before, so
    // the pair holds at most the record of the entry listing the owner one way.
    if (after.size() == before.size() + 1 && std::equal(before.begin(), before.end(), after.begin())) {
        const uint32_t added = after.back();
        if (lists(added, layer, slot)) {
            one_way_.set(slot, layer, added, false);
        } else {
            one_way_.set(added, layer, slot, true);
        }
        return;
    }
    for (uint32_t entry : before) {
        if (!holds(after, entry)) reconcile(slot, entry, layer);
    }
    for (uint32_t entry : after) {
        if (!holds(before, entry)) reconcile(slot, entry, layer);
    }
}

std::vector<uint32_t> HnswGraph::listed_by(uint32_t slot, size_t layer) const {
    settle_one_way_links();
    const auto one_way = one_way_.of(slot, layer);
    std::vector<uint32_t> holders(one_way.begin(), one_way.end());
    for (uint32_t neighbor : neighbors(slot, layer)) {
        if (lists(neighbor, layer, slot)) holders.push_back(neighbor);
    }
    return holders;
}

// The node being linked has no links yet, so no records either: a back-link appended
// without a prune makes a pair mutual, which needs no record, and only pruned lists and
// the own links whose back-link was pruned away leave something to record.
void HnswGraph::link_layer(uint32_t slot, size_t layer, std::span<const uint32_t> chosen,
                           Metric metric) {
    set_own_list(slot, layer, chosen);
    uint32_t before[kMaxM0 + 1];
    for (uint32_t neighbor : chosen) {
        const auto list = neighbors(neighbor, layer);
        const size_t count = list.size();
        const bool overflows = count == capacity_of(layer);
        if (overflows) std::copy(list.begin(), list.end(), before);
        append_link(neighbor, layer, slot, metric, true);
        if (overflows) sync_one_way(neighbor, layer, {before, count});
    }
    for (uint32_t neighbor : chosen) {
        if (!lists(neighbor, layer, slot)) one_way_.set(neighbor, layer, slot, true);
    }
}

void HnswGraph::set_own_list(uint32_t slot, size_t layer, std::span<const uint32_t> chosen) {
    uint32_t* own = list_head(slot, layer);
    std::copy(chosen.begin(), chosen.end(), own + 1);
    own[0] = static_cast<uint32_t>(chosen.size());
}

// Concurrent linking cannot tell which entries other lists hold: it prunes by the diversity
// rule alone.
void HnswGraph::add_back_link(uint32_t target, size_t layer, uint32_t slot, Metric metric) {
    append_link(target, layer, slot, metric, false);
}

void HnswGraph::append_link(uint32_t target, size_t layer, uint32_t slot, Metric metric,
                            bool keep_reachable) {
    uint32_t* head = list_head(target, layer);
    if (head == nullptr) return;
    head[1 + head[0]] = slot;
    ++head[0];
    if (head[0] > capacity_of(layer)) prune(target, layer, metric, keep_reachable);
}

// Shrinks an overflowing list: the entries are chosen again by the diversity rule, as if
// the list's owner were new and had found them, so the far links that bridge clusters
// survive.
void HnswGraph::prune(uint32_t slot, size_t layer, Metric metric, bool keep_reachable) {
    uint32_t* head = list_head(slot, layer);
    uint32_t* entries = head + 1;
    const size_t count = head[0];
    Candidate by_distance[kMaxM0 + 1];
    measure(metric, vector_of(slot), vectors_.data(), dimension_, entries, count,
            [&](float d, size_t i) { by_distance[i] = {d, entries[i]}; });
    std::sort(by_distance, by_distance + count,
              [this](const Candidate& a, const Candidate& b) { return closer(a, b); });
    const std::span<const Candidate> found(by_distance, count);
    head[0] = static_cast<uint32_t>(
        keep_reachable ? choose_reachable(slot, layer, found, kNoSlot, metric, entries)
                       : choose_neighbors(found, capacity_of(layer), metric, entries));
}

bool HnswGraph::held_elsewhere(uint32_t node, size_t layer, uint32_t owner,
                               uint32_t ignored) const {
    auto other = [&](uint32_t holder) { return holder != owner && holder != ignored; };
    for (uint32_t holder : one_way_.of(node, layer)) {
        if (other(holder)) return true;
    }
    for (uint32_t neighbor : neighbors(node, layer)) {
        if (other(neighbor) && lists(neighbor, layer, node)) return true;
    }
    return false;
}

size_t HnswGraph::choose_reachable(uint32_t slot, size_t layer, std::span<const Candidate> found,
                                   uint32_t ignored, Metric metric, uint32_t* out) const {
    const size_t capacity = capacity_of(layer);
    size_t kept = choose_neighbors(found, capacity, metric, out);
    for (const Candidate& candidate : found) {
        if (std::find(out, out + kept, candidate.slot) != out + kept) continue;
        if (held_elsewhere(candidate.slot, layer, slot, ignored)) continue;
        if (kept < capacity) {
            out[kept++] = candidate.slot;
            continue;
        }
        // A full list gives up its farthest entry that another list also holds.
        for (size_t i = kept; i-- > 1;) {
            if (held_elsewhere(out[i], layer, slot, ignored)) {
                out[i] = candidate.slot;
                break;
            }
        }
    }
    return kept;
}

uint32_t HnswGraph::greedy_closest(std::span<const float> query, uint32_t entry, size_t layer,
                                   Metric metric) const {
    uint32_t current = entry;
    float best = distance_ord(metric, query, vector_of(current).data());
    uint32_t usable_entries[kMaxM0 + 1];
    for (;;) {
        size_t n = 0;
        for (uint32_t neighbor : neighbors(current, layer)) {
            if (usable(neighbor, layer)) usable_entries[n++] = neighbor;
        }
        uint32_t next = current;
        measure(metric, query, vectors_.data(), dimension_, usable_entries, n,
                [&](float d, size_t i) {
                    if (d < best) {
                        best = d;
                        next = usable_entries[i];
                    }
                });
        if (next == current) return current;
        current = next;
    }
}

void HnswGraph::prefetch_list(uint32_t slot, size_t layer) const {
    if (layer != 0) return;
    const uint32_t* head = layer0_.data() + size_t{slot} * layer0_stride_;
    __builtin_prefetch(head);
    __builtin_prefetch(head + layer0_stride_ - 1);
}

size_t HnswGraph::gather_unvisited(uint32_t slot, size_t layer, VisitedTracker& tracker,
                                   uint32_t* out) const {
    const uint32_t* head = list_head(slot, layer);
    if (head == nullptr) return 0;
    const uint32_t count = head[0];
    const VisitedTracker::Mark generation = tracker.generation;
    VisitedTracker::Mark* marks = tracker.marks.data();
    const bool check_usable = layer > 0 || any_removed_;
    for (uint32_t i = 0; i < count; ++i) __builtin_prefetch(marks + head[1 + i]);
    size_t n = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t neighbor = head[1 + i];
        if (marks[neighbor] == generation) continue;
        marks[neighbor] = generation;
        if (check_usable && !usable(neighbor, layer)) continue;
        __builtin_prefetch(vectors_.data() + size_t{neighbor} * dimension_);
        out[n++] = neighbor;
    }
    return n;
}

bool HnswGraph::start_layer_search(uint32_t entry, VisitedTracker& tracker) const {
    tracker.cover(slot_count());
    tracker.next_generation();
    tracker.candidates.clear();
    tracker.results.clear();
    tracker.marks[entry] = tracker.generation;
    return present_[entry] != 0;
}

std::span<const Candidate> HnswGraph::search_layer(std::span<const float> query,
                                                   uint32_t entry, size_t ef, size_t layer,
                                                   Metric metric,
                                                   VisitedTracker& tracker) const {
    if (!start_layer_search(entry, tracker)) return {};
    auto& candidates = tracker.candidates;
    auto& results = tracker.results;

    // `results` is a max-heap (farthest on top), `candidates` a min-heap (nearest on top).
    const HeapOrder<true> nearer_on_top{this};
    const HeapOrder<false> farther_on_top{this};

    const Candidate start{distance_ord(metric, query, vector_of(entry).data()), entry};
    candidates.push_back(start);
    results.push_back(start);
    float worst = rank(start.distance);
    uint32_t gathered[kMaxM0 + 1];
    while (!candidates.empty()) {
        pop_top(candidates, nearer_on_top);
        const Candidate current = candidates.back();
        candidates.pop_back();
        if (rank(current.distance) > worst && results.size() >= ef) break;
        // The list of the likely next candidate loads while this one is expanded.
        if (!candidates.empty()) prefetch_list(candidates.front().slot, layer);
        const size_t n = gather_unvisited(current.slot, layer, tracker, gathered);
        measure(metric, query, vectors_.data(), dimension_, gathered, n, [&](float d, size_t i) {
            if (results.size() >= ef && !(rank(d) < worst)) return;
            const Candidate found{d, gathered[i]};
            candidates.push_back(found);
            std::push_heap(candidates.begin(), candidates.end(), nearer_on_top);
            // The nearest new candidate is the next one expanded: start loading its list.
            if (candidates.front().slot == found.slot) prefetch_list(found.slot, layer);
            results.push_back(found);
            std::push_heap(results.begin(), results.end(), farther_on_top);
            if (results.size() > ef) {
                pop_top(results, farther_on_top);
                results.pop_back();
            }
            worst = rank(results.front().distance);
        });
    }
    candidates.clear();
    sort_heap_entries(results, farther_on_top);
    return results;
}

std::span<const Candidate> HnswGraph::search_layer_admitted(std::span<const float> query,
                                                            uint32_t entry, size_t ef,
                                                            Metric metric, const IdFilter& admit,
                                                            VisitedTracker& tracker) const {
    if (!start_layer_search(entry, tracker) || ef == 0) return {};
    auto& candidates = tracker.candidates;
    auto& results = tracker.results;

    const HeapOrder<true> nearer_on_top{this};
    const HeapOrder<false> farther_on_top{this};
    // Until `ef` accepted nodes are kept, every reached node is worth expanding.
    float worst = std::numeric_limits<float>::infinity();
    auto offer = [&](const Candidate& found) {
        candidates.push_back(found);
        std::push_heap(candidates.begin(), candidates.end(), nearer_on_top);
        if (!admit(ids_[found.slot])) return;
        results.push_back(found);
        std::push_heap(results.begin(), results.end(), farther_on_top);
        if (results.size() > ef) {
            pop_top(results, farther_on_top);
            results.pop_back();
        }
        if (results.size() == ef) worst = rank(results.front().distance);
    };
    offer({distance_ord(metric, query, vector_of(entry).data()), entry});
    uint32_t gathered[kMaxM0 + 1];
    while (!candidates.empty()) {
        pop_top(candidates, nearer_on_top);
        const Candidate current = candidates.back();
        candidates.pop_back();
        if (rank(current.distance) > worst) break;
        if (!candidates.empty()) prefetch_list(candidates.front().slot, 0);
        const size_t n = gather_unvisited(current.slot, 0, tracker, gathered);
        measure(metric, query, vectors_.data(), dimension_, gathered, n, [&](float d, size_t i) {
            if (rank(d) < worst) offer({d, gathered[i]});
        });
    }
    candidates.clear();
    sort_heap_entries(results, farther_on_top);
    return results;
}

bool HnswGraph::unlink(uint32_t slot, Metric metric) {
    settle_one_way_links();
    if (slot >= slot_count() || !present_[slot]) return false;
    present_[slot] = 0;
    any_removed_ = true;
    --node_count_;
    const uint8_t level = levels_[slot];
    if (level > 0) upper_nodes_.erase({level, ids_[slot], slot});
    for (size_t layer = 0; layer <= level; ++layer) reconnect_around(slot, layer, metric);
    upper_[slot].reset();
    if (entry_point_ == slot) repair_entry_point();
    return true;
}

void HnswGraph::reconnect_around(uint32_t removed, size_t layer, Metric metric) {
    uint32_t bridges[kMaxM0];
    const auto own = neighbors(removed, layer);
    const size_t bridge_count = own.size();
    std::copy(own.begin(), own.end(), bridges);
    // In ID order, so that the outcome does not depend on how the records are stored.
    std::vector<uint32_t> holders = listed_by(removed, layer);
    std::sort(holders.begin(), holders.end(),
              [this](uint32_t a, uint32_t b) { return ids_[a] < ids_[b]; });
    for (uint32_t node : holders) relink(node, layer, removed, {bridges, bridge_count}, metric);
    change_list(removed, layer, [&] { list_head(removed, layer)[0] = 0; });
}

// The node's new list on `layer`, chosen from what it kept besides the removed node plus
// the removed node's neighbours as an overflowing list is chosen, then topped up.
void HnswGraph::relink(uint32_t slot, size_t layer, uint32_t removed,
                       std::span<const uint32_t> bridges, Metric metric) {
    uint32_t pool[2 * kMaxM0];
    size_t n = 0;
    auto consider = [&](uint32_t candidate) {
        if (candidate == slot || candidate == removed || !usable(candidate, layer)) return;
        if (std::find(pool, pool + n, candidate) != pool + n) return;
        pool[n++] = candidate;
    };
    for (uint32_t kept : neighbors(slot, layer)) consider(kept);
    for (uint32_t bridge : bridges) consider(bridge);

    Candidate by_distance[2 * kMaxM0];
    measure(metric, vector_of(slot), vectors_.data(), dimension_, pool, n,
            [&](float d, size_t i) { by_distance[i] = {d, pool[i]}; });
    std::sort(by_distance, by_distance + n,
              [this](const Candidate& a, const Candidate& b) { return closer(a, b); });
    change_list(slot, layer, [&] {
        uint32_t* head = list_head(slot, layer);
        uint32_t* entries = head + 1;
        // The diverse choice alone would shorten the list at every repair and thin out the
        // graph; the nearest other candidates top it up to its former length.
        const size_t length = head[0];
        size_t kept = choose_reachable(slot, layer, {by_distance, n}, removed, metric, entries);
        for (size_t i = 0; i < n && kept < length; ++i) {
            const uint32_t candidate = by_distance[i].slot;
            if (std::find(entries, entries + kept, candidate) == entries + kept) {
                entries[kept++] = candidate;
            }
        }
        head[0] = static_cast<uint32_t>(kept);
    });
}

// The live node of highest level becomes the entry point; the largest ID wins a tie.
void HnswGraph::repair_entry_point() {
    if (!upper_nodes_.empty()) {
        entry_point_ = std::get<2>(*upper_nodes_.rbegin());
        return;
    }
    // Only layer-0 nodes are left, as a rule in a small graph.
    entry_point_.reset();
    for (uint32_t slot = 0; slot < slot_count(); ++slot) {
        if (present_[slot] && (!entry_point_ || ids_[slot] > ids_[*entry_point_])) {
            entry_point_ = slot;
        }
    }
}

void HnswGraph::set_neighbors(uint32_t slot, size_t layer, std::span<const uint32_t> entries) {
    uint32_t* head = list_head(slot, layer);
    if (head == nullptr) return;
    uint32_t* kept = head + 1;
    size_t count = 0;
    for (uint32_t entry : entries) {
        if (count == capacity_of(layer)) break;
        if (entry == slot || !usable(entry, layer)) continue;
        if (std::find(kept, kept + count, entry) != kept + count) continue;
        kept[count++] = entry;
    }
    head[0] = static_cast<uint32_t>(count);
}

void HnswGraph::settle_one_way_links() const {
    if (!one_way_pending_) return;
    one_way_pending_ = false;
    record_one_way_links();
}

// One pass over every list: cheaper than following each list as it is set, which records
// a link as one way until the other end's list arrives.
void HnswGraph::record_one_way_links() const {
    // Layer 0 holds nearly every link: its lists are read in place.
    auto layer0_list = [this](uint32_t slot) {
        const uint32_t* head = layer0_.data() + size_t{slot} * layer0_stride_;
        return std::span<const uint32_t>(head + 1, head[0]);
    };
    for (uint32_t slot = 0; slot < slot_count(); ++slot) {
        if (!present_[slot]) continue;
        for (uint32_t neighbor : layer0_list(slot)) {
            if (!holds(layer0_list(neighbor), slot)) one_way_.set(neighbor, 0, slot, true);
        }
        for (size_t layer = 1; layer <= levels_[slot]; ++layer) {
            for (uint32_t neighbor : neighbors(slot, layer)) {
                if (!lists(neighbor, layer, slot)) one_way_.set(neighbor, layer, slot, true);
            }
        }
    }
}

}  // namespace tvdb
