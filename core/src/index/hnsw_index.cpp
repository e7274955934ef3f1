#include "hnsw_index.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tbb/blocked_range.h>
#include <tbb/info.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <tuple>
#include <unordered_set>
#include <utility>

#include "codec.hpp"
#include "detail/hnsw_format.hpp"
#include "detail/row_scan.hpp"
#include "detail/top_k.hpp"
#include "file_io.hpp"
#include "mapped_file.hpp"

namespace tvdb {
namespace {

constexpr size_t kDefaultMicroBatch = 256;
// Slots sampled to estimate how many nodes a filter admits.
constexpr size_t kShareSample = 128;
constexpr size_t kScanBlock = 256;
// Cost of measuring one candidate of a filtered search, in scanned vectors.
constexpr double kCandidateCost = 3.0;

// One write of the linking phase: the own list of `target` (source = kOwnList) or a
// back-link from `source` to `target`, on one layer, for the node of one row.
struct LinkStep {
    uint32_t target;
    uint32_t layer;
    uint32_t row;
    uint32_t source;
};
constexpr uint32_t kOwnList = UINT32_MAX;

// Links a micro-batch as linking its rows one after another would, with the lists written
// in parallel: every list's writes are applied in row order by one worker, and a list's
// writes never read another list. Whether a link runs one way depends on two lists, which
// different workers may write, so the one-way records follow afterwards on this thread,
// from each list's entries before the batch (unless the graph will make them all again).
void link_in_parallel(HnswGraph& graph, std::span<const ParallelSearchResult> planned,
                      Metric metric, tbb::task_arena& arena, bool follow_one_way,
                      std::vector<LinkStep>& steps) {
    steps.clear();
    for (uint32_t row = 0; row < planned.size(); ++row) {
        const auto& node = planned[row];
        for (uint32_t layer = 0; layer < node.layers.size(); ++layer) {
            steps.push_back({node.slot, layer, row, kOwnList});
            for (uint32_t neighbor : node.layers[layer]) {
                if (neighbor != node.slot) steps.push_back({neighbor, layer, row, node.slot});
            }
        }
    }
    std::sort(steps.begin(), steps.end(), [](const LinkStep& a, const LinkStep& b) {
        return std::tie(a.target, a.layer, a.row) < std::tie(b.target, b.layer, b.row);
    });
    std::vector<size_t> list_starts;
    for (size_t i = 0; i < steps.size(); ++i) {
        if (i == 0 || steps[i].target != steps[i - 1].target ||
            steps[i].layer != steps[i - 1].layer) {
            list_starts.push_back(i);
        }
    }
    list_starts.push_back(steps.size());
    const size_t list_count = list_starts.size() - 1;
    std::vector<uint32_t> before;
    std::vector<size_t> before_starts{0};
    before_starts.reserve(list_count + 1);
    for (size_t list = 0; follow_one_way && list < list_count; ++list) {
        const LinkStep& first = steps[list_starts[list]];
        auto entries = graph.neighbors(first.target, first.layer);
        before.insert(before.end(), entries.begin(), entries.end());
        before_starts.push_back(before.size());
    }
    arena.execute([&] {
        tbb::parallel_for(tbb::blocked_range<size_t>(0, list_count, 32),
                          [&](const auto& lists) {
            for (size_t list = lists.begin(); list < lists.end(); ++list) {
                for (size_t i = list_starts[list]; i < list_starts[list + 1]; ++i) {
                    const LinkStep& step = steps[i];
                    if (step.source == kOwnList) {
                        graph.set_own_list(step.target, step.layer,
                                           planned[step.row].layers[step.layer]);
                    } else {
                        graph.add_back_link(step.target, step.layer, step.source, metric);
                    }
                }
            }
        });
    });
    for (size_t list = 0; follow_one_way && list < list_count; ++list) {
        const LinkStep& first = steps[list_starts[list]];
        graph.sync_one_way(first.target, first.layer,
                            std::span(before).subspan(before_starts[list],
                                                      before_starts[list + 1] - before_starts[list]));
    }
    for (const auto& node : planned) graph.raise_entry_point(node.slot);
}

// A graph file lives in a collection directory, where symbolic links are not followed.
Result<HnswGraph> read_graph_file(const std::string& path, uint64_t dimension) {
    auto file = MappedFile::map(path, Symlinks::Refuse);
    if (!file) return fail(file.error());
    return hnsw_format::read_graph(file->bytes(), dimension);
}

}  // namespace

// Borrows a visit tracker from the index's pool for one operation and returns it after.
class HnswIndex::ScratchLease {
public:
    explicit ScratchLease(const HnswIndex& index) : index_(index) {
        {
            std::lock_guard lock(index.scratch_mutex_);
            if (!index.spare_trackers_.empty()) {
                tracker_ = std::move(index.spare_trackers_.back());
                index.spare_trackers_.pop_back();
            }
        }
        if (!tracker_) tracker_ = std::make_unique<VisitedTracker>();
        tracker_->cover(index.graph_.slot_count());
    }
    ~ScratchLease() {
        std::lock_guard lock(index_.scratch_mutex_);
        index_.spare_trackers_.push_back(std::move(tracker_));
    }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;
    VisitedTracker& operator*() { return *tracker_; }

private:
    const HnswIndex& index_;
    std::unique_ptr<VisitedTracker> tracker_;
};

HnswIndex::HnswIndex(const IndexConfig& config, const HnswConfig& hnsw_config, HnswGraph graph)
    : graph_(std::move(graph)), config_(config), hnsw_config_(hnsw_config) {}

Result<void> HnswIndex::check_config(const HnswConfig& config) {
    if (config.m < 1 || config.m > HnswGraph::kMaxM) {
        return fail(VectorDbError::invalid_config("m must be between 1 and 32, got " +
                                                  std::to_string(config.m)));
    }
    return {};
}

Result<std::unique_ptr<HnswIndex>> HnswIndex::create(uint64_t dimensions, Metric metric,
                                                     const HnswConfig& config) {
    if (auto ok = check_config(config); !ok) return fail(ok.error());
    return std::make_unique<HnswIndex>(
        IndexConfig{.dimensions = dimensions, .metric = metric}, config,
        HnswGraph(dimensions, config.m, config.ef_construction));
}

Result<void> HnswIndex::check_room(size_t rows) const {
    if (rows > HnswGraph::kMaxSlots - graph_.slot_count()) {
        return fail(VectorDbError::invalid_config("an HNSW index holds at most " +
                                                  std::to_string(HnswGraph::kMaxSlots) +
                                                  " vectors"));
    }
    return {};
}

bool HnswIndex::is_live(VectorId id) const {
    auto slot = graph_.slot_of(id);
    return slot && graph_.is_live(*slot);
}

Result<void> HnswIndex::check_new_range(VectorId start_id, uint64_t rows) const {
    for (uint64_t i = 0; i < rows; ++i) {
        if (is_live(start_id + i)) return fail(VectorDbError::duplicate_id(start_id + i));
    }
    return {};
}

std::vector<uint32_t> HnswIndex::assign_slots(VectorId start_id, size_t rows) {
    graph_.reserve(rows);
    std::vector<uint32_t> slots(rows);
    for (size_t i = 0; i < rows; ++i) slots[i] = graph_.slot_for(start_id + i);
    return slots;
}

Result<void> HnswIndex::add(VectorId id, std::span<const float> vector) {
    if (auto ok = check_dimensions(config_.dimensions, vector.size()); !ok) return ok;
    if (is_live(id)) return fail(VectorDbError::duplicate_id(id));
    if (auto ok = check_room(1); !ok) return ok;
    const uint32_t slot = graph_.slot_for(id);
    ScratchLease tracker(*this);
    graph_.insert(slot, vector, config_.metric, *tracker);
    return {};
}

Result<void> HnswIndex::add_batch(std::span<const VectorEntry> entries) {
    std::unordered_set<VectorId> batch;
    batch.reserve(entries.size());
    for (const auto& [id, vector] : entries) {
        if (auto ok = check_dimensions(config_.dimensions, vector.size()); !ok) return ok;
        if (is_live(id) || !batch.insert(id).second) {
            return fail(VectorDbError::duplicate_id(id));
        }
    }
    if (auto ok = check_room(entries.size()); !ok) return ok;
    graph_.reserve(entries.size());
    ScratchLease tracker(*this);
    for (const auto& [id, vector] : entries) {
        graph_.insert(graph_.slot_for(id), vector, config_.metric, *tracker);
    }
    return {};
}

Result<void> HnswIndex::add_batch_contiguous(std::span<const float> data, VectorId start_id) {
    auto rows = bulk_row_count(config_.dimensions, data.size(), start_id);
    if (!rows) return fail(rows.error());
    if (auto ok = check_new_range(start_id, *rows); !ok) return ok;
    if (auto ok = check_room(*rows); !ok) return ok;
    if (*rows == 0) return {};
    const auto slots = assign_slots(start_id, *rows);
    ScratchLease tracker(*this);
    const size_t dims = config_.dimensions;
    for (size_t i = 0; i < slots.size(); ++i) {
        graph_.insert(slots[i], data.subspan(i * dims, dims), config_.metric, *tracker);
    }
    return {};
}

namespace {

// Workers for a parallel build of `rows` rows, started before the graph changes so that a
// failure changes nothing; none when one micro-batch holds every row.
Result<std::optional<tbb::task_arena>> start_workers(size_t rows, size_t micro_batch,
                                                     size_t num_threads) {
    std::optional<tbb::task_arena> arena;
    if (rows <= micro_batch) return arena;
    try {
        const int threads = num_threads == 0
                                ? tbb::info::default_concurrency()
                                : static_cast<int>(std::min<size_t>(num_threads, 1 << 16));
        arena.emplace(threads);
        arena->initialize();
    } catch (const std::exception& error) {
        return fail(VectorDbError::io_message(std::string("cannot start worker threads: ") +
                                              error.what()));
    }
    return arena;
}

}  // namespace

Result<void> HnswIndex::add_batch_parallel(std::span<const float> data, VectorId start_id,
                                           size_t num_threads, size_t micro_batch_size) {
    auto rows = bulk_row_count(config_.dimensions, data.size(), start_id);
    if (!rows) return fail(rows.error());
    if (auto ok = check_new_range(start_id, *rows); !ok) return ok;
    if (auto ok = check_room(*rows); !ok) return ok;
    if (*rows == 0) return {};
    const size_t batch = micro_batch_size == 0 ? kDefaultMicroBatch : micro_batch_size;
    auto arena = start_workers(*rows, batch, num_threads);
    if (!arena) return fail(arena.error());
    insert_in_parallel(assign_slots(start_id, *rows), data, *arena, batch);
    return {};
}

Result<void> HnswIndex::add_rows_in_bulk(std::span<const VectorId> ids,
                                         std::span<const float> rows) {
    if (auto ok = check_row_ids(config_.dimensions, ids.size(), rows.size()); !ok) return ok;
    std::unordered_set<VectorId> batch;
    batch.reserve(ids.size());
    for (VectorId id : ids) {
        if (is_live(id) || !batch.insert(id).second) return fail(VectorDbError::duplicate_id(id));
    }
    if (auto ok = check_room(ids.size()); !ok) return ok;
    if (ids.empty()) return {};
    auto arena = start_workers(ids.size(), kDefaultMicroBatch, 0);
    if (!arena) return fail(arena.error());
    graph_.reserve(ids.size());
    std::vector<uint32_t> slots(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) slots[i] = graph_.slot_for(ids[i]);
    insert_in_parallel(slots, rows, *arena, kDefaultMicroBatch);
    return {};
}

void HnswIndex::insert_in_parallel(std::span<const uint32_t> slots, std::span<const float> rows,
                                   std::optional<tbb::task_arena>& arena, size_t micro_batch) {
    const size_t count = slots.size();
    const size_t bootstrap = std::min(count, micro_batch);
    const size_t dims = config_.dimensions;
    const Metric metric = config_.metric;
    auto row = [&](size_t i) { return rows.subspan(i * dims, dims); };
    {
        ScratchLease tracker(*this);
        for (size_t i = 0; i < bootstrap; ++i) graph_.insert(slots[i], row(i), metric, *tracker);
    }
    if (!arena) return;

    // Linking in parallel never reads the one-way records, so when the rest writes more
    // lists than the graph holds, they are made once from the final lists instead.
    const bool follow_one_way = count - bootstrap < graph_.node_count();
    if (!follow_one_way) graph_.rebuild_one_way_links_later();
    std::vector<VisitedTracker> worker_trackers(static_cast<size_t>(arena->max_concurrency()));
    std::vector<ParallelSearchResult> planned(micro_batch);
    std::vector<LinkStep> steps;
    for (size_t begin = bootstrap; begin < count; begin += micro_batch) {
        const size_t end = std::min(count, begin + micro_batch);
        std::vector<uint8_t> levels(end - begin);
        for (auto& level : levels) level = graph_.draw_level();
        for (size_t i = begin; i < end; ++i) graph_.stage(slots[i], row(i), levels[i - begin]);
        // Read-only phase: nobody writes the graph until every search of the batch is done.
        arena->execute([&] {
            tbb::parallel_for(tbb::blocked_range<size_t>(begin, end, 1), [&](const auto& range) {
                auto& tracker = worker_trackers[tbb::this_task_arena::current_thread_index()];
                for (size_t i = range.begin(); i < range.end(); ++i) {
                    graph_.search_neighbors(slots[i], metric, tracker, planned[i - begin]);
                }
            });
        });
        link_in_parallel(graph_, std::span(planned).first(end - begin), metric, *arena,
                         follow_one_way, steps);
    }
}

Result<std::vector<SearchResult>> HnswIndex::search(std::span<const float> query,
                                                    uint64_t k) const {
    return search_with_ef(query, k, hnsw_config_.ef_search);
}

Result<std::vector<SearchResult>> HnswIndex::search_with_ef(std::span<const float> query,
                                                            uint64_t k, uint64_t ef_search) const {
    if (auto ok = check_dimensions(config_.dimensions, query.size()); !ok) return fail(ok.error());
    if (k == 0 || graph_.node_count() == 0) return std::vector<SearchResult>{};
    auto entry_point = graph_.entry_point();
    if (!entry_point) return std::vector<SearchResult>{};
    ScratchLease tracker(*this);
    uint32_t entry = *entry_point;
    for (size_t layer = graph_.level_of(entry); layer >= 1; --layer) {
        entry = graph_.greedy_closest(query, entry, layer, config_.metric);
    }
    const uint64_t ef = std::max(k, ef_search);
    return report(graph_.search_layer(query, entry, ef, 0, config_.metric, *tracker), k);
}

std::vector<SearchResult> HnswIndex::report(std::span<const Candidate> found,
                                            uint64_t k) const {
    const size_t n = std::min<uint64_t>(found.size(), k);
    std::vector<SearchResult> hits;
    hits.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        float d = found[i].distance;
        if (config_.metric == Metric::L2) d = std::sqrt(d);
        hits.push_back({graph_.id_of(found[i].slot), d});
    }
    return hits;
}

double HnswIndex::admitted_share(const IdFilter& admit) const {
    const size_t slots = graph_.slot_count();
    const size_t stride = std::max<size_t>(1, slots / kShareSample);
    size_t live = 0;
    size_t admitted = 0;
    for (size_t slot = stride / 2; slot < slots; slot += stride) {
        if (!graph_.is_live(static_cast<uint32_t>(slot))) continue;
        ++live;
        if (admit(graph_.id_of(static_cast<uint32_t>(slot)))) ++admitted;
    }
    // Nothing admitted in the sample still allows up to about one in `live`.
    if (live == 0) return 1.0;
    return std::max<double>(admitted, 0.5) / static_cast<double>(live);
}

std::vector<SearchResult> HnswIndex::scan_admitted(std::span<const float> query, uint64_t k,
                                                   const IdFilter& admit) const {
    const size_t slots = graph_.slot_count();
    TopK top(std::min<uint64_t>(k, graph_.node_count()), &admit);
    float distances[kScanBlock];
    for (size_t begin = 0; begin < slots; begin += kScanBlock) {
        const size_t end = std::min(slots, begin + kScanBlock);
        size_t slot = begin;
        while (slot < end) {
            if (!graph_.is_live(static_cast<uint32_t>(slot))) {
                ++slot;
                continue;
            }
            size_t run_end = slot;
            while (run_end < end && graph_.is_live(static_cast<uint32_t>(run_end))) ++run_end;
            distance_rows_ord(config_.metric, query,
                              graph_.vector_of(static_cast<uint32_t>(slot)).data(),
                              run_end - slot, distances);
            for (size_t s = slot; s < run_end; ++s) {
                top.push(graph_.id_of(static_cast<uint32_t>(s)), distances[s - slot]);
            }
            slot = run_end;
        }
    }
    auto hits = top.take_sorted();
    report_ordering_distances(config_.metric, hits);
    return hits;
}

std::vector<SearchResult> HnswIndex::measure_candidates(std::span<const float> query,
                                                        uint64_t k,
                                                        std::span<const VectorId> candidates,
                                                        const IdFilter& admit) const {
    TopK top(std::min<uint64_t>(k, graph_.node_count()), &admit);
    for (VectorId id : candidates) {
        auto slot = graph_.slot_of(id);
        if (!slot || !graph_.is_live(*slot)) continue;
        top.push(id, distance_ord(config_.metric, query, graph_.vector_of(*slot).data()));
    }
    auto hits = top.take_sorted();
    report_ordering_distances(config_.metric, hits);
    return hits;
}

Result<std::vector<SearchResult>> HnswIndex::search_filtered(std::span<const float> query,
                                                             uint64_t k,
                                                             const SearchFilter& filter) const {
    if (auto ok = check_dimensions(config_.dimensions, query.size()); !ok) return fail(ok.error());
    if (k == 0 || graph_.node_count() == 0) return std::vector<SearchResult>{};
    auto entry_point = graph_.entry_point();
    if (!entry_point) return std::vector<SearchResult>{};
    const uint64_t ef = std::max(k, hnsw_config_.ef_search);
    const double live = static_cast<double>(graph_.node_count());
    const double share = admitted_share(filter.admit);
    // The walk keeps `walk_ef` matches and so expands about walk_ef / share nodes, measuring
    // up to m0 neighbours of each. The k nearest matches lie among the k / share nearest
    // nodes: the beam narrows with the share, more slowly, so recall stays at the level of
    // an unfiltered search.
    const uint64_t walk_ef = std::max<uint64_t>(
        k, static_cast<uint64_t>(std::ceil(static_cast<double>(ef) * std::sqrt(share))));
    const double walk_cost =
        static_cast<double>(walk_ef) / share * static_cast<double>(graph_.m0());
    // Measuring candidates costs kCandidateCost each, a scan one per live vector.
    std::optional<std::vector<VectorId>> candidates;
    if (filter.candidates && kCandidateCost * share * live <= walk_cost) {
        candidates = filter.candidates(static_cast<size_t>(walk_cost / kCandidateCost));
    }
    if (candidates) return measure_candidates(query, k, *candidates, filter.admit);
    if (walk_cost >= live) return scan_admitted(query, k, filter.admit);
    std::vector<SearchResult> hits;
    {
        ScratchLease tracker(*this);
        uint32_t entry = *entry_point;
        for (size_t layer = graph_.level_of(entry); layer >= 1; --layer) {
            entry = graph_.greedy_closest(query, entry, layer, config_.metric);
        }
        hits = report(graph_.search_layer_admitted(query, entry, walk_ef, config_.metric,
                                                   filter.admit, *tracker),
                      k);
    }
    if (hits.size() < k) return scan_admitted(query, k, filter.admit);
    return hits;
}

bool HnswIndex::stores_vector(VectorId id, std::span<const float> vector) const {
    auto slot = graph_.slot_of(id);
    if (!slot || !graph_.is_live(*slot) || vector.size() != config_.dimensions) return false;
    const auto stored = graph_.vector_of(*slot);
    return std::memcmp(stored.data(), vector.data(), stored.size_bytes()) == 0;
}

bool HnswIndex::remove(VectorId id) {
    auto slot = graph_.slot_of(id);
    return slot && graph_.unlink(*slot, config_.metric);
}

void HnswIndex::iter_vectors(const VectorVisitor& visit) const {
    std::vector<std::pair<VectorId, uint32_t>> live;
    live.reserve(graph_.node_count());
    for (uint32_t slot = 0; slot < graph_.slot_count(); ++slot) {
        if (graph_.is_live(slot)) live.emplace_back(graph_.id_of(slot), slot);
    }
    std::sort(live.begin(), live.end());
    for (const auto& [id, slot] : live) visit(id, graph_.vector_of(slot));
}

void HnswIndex::iter_ids(const std::function<void(VectorId)>& visit) const {
    for (uint32_t slot = 0; slot < graph_.slot_count(); ++slot) {
        if (graph_.is_live(slot)) visit(graph_.id_of(slot));
    }
}

std::optional<std::vector<float>> HnswIndex::vector_of(VectorId id) const {
    auto slot = graph_.slot_of(id);
    if (!slot || !graph_.is_live(*slot)) return std::nullopt;
    auto vector = graph_.vector_of(*slot);
    return std::vector<float>(vector.begin(), vector.end());
}

Result<void> HnswIndex::save_graph(const std::string& path) const {
    if (graph_.node_count() == 0) return {};
    // A crash or a full disk mid-write leaves the previous graph file intact.
    const std::string temporary = path + ".tmp";
    auto file = FileEncoder::create_fresh(temporary);
    if (!file) return fail(file.error());
    hnsw_format::write_graph(*file, graph_);
    if (auto written = file->finish(); !written) {
        ::unlink(temporary.c_str());
        return written;
    }
    return rename_over(temporary, path);
}

Result<void> HnswIndex::load_graph_mmap(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    auto graph = read_graph_file(path, config_.dimensions);
    if (!graph) return fail(graph.error());
    graph_ = std::move(*graph);
    return {};
}

Result<std::unique_ptr<HnswIndex>> HnswIndex::load_graph_file(const std::string& path,
                                                              const IndexConfig& config,
                                                              const HnswConfig& hnsw_config) {
    if (auto ok = check_config(hnsw_config); !ok) return fail(ok.error());
    auto graph = read_graph_file(path, config.dimensions);
    if (!graph) return fail(graph.error());
    return std::make_unique<HnswIndex>(config, hnsw_config, std::move(*graph));
}

template <typename Sink>
void HnswIndex::write_to(RecordEncoder<Sink>& out) const {
    hnsw_format::write_header(out, {.dimension = config_.dimensions,
                                    .metric = config_.metric,
                                    .config = hnsw_config_});
    hnsw_format::write_graph(out, graph_);
}

Result<void> HnswIndex::save(const std::string& path) const {
    auto file = FileEncoder::create(path);
    if (!file) return fail(file.error());
    write_to(*file);
    return file->finish();
}

std::vector<uint8_t> HnswIndex::to_bytes() const {
    ByteEncoder out;
    write_to(out);
    return out.take();
}

namespace {

Result<std::unique_ptr<HnswIndex>> load_current(std::span<const uint8_t> bytes) {
    RecordDecoder in(bytes);
    auto header = hnsw_format::read_header(in);
    if (!in.ok()) return fail(in.error());
    if (!HnswIndex::check_config(header.config)) {
        return fail(VectorDbError::serialization("m = " + std::to_string(header.config.m) +
                                                 " is outside 1..32"));
    }
    auto graph = hnsw_format::read_graph(bytes.subspan(in.position()), header.dimension);
    if (!graph) return fail(graph.error());
    return std::make_unique<HnswIndex>(
        IndexConfig{.dimensions = header.dimension, .metric = header.metric}, header.config,
        std::move(*graph));
}

Result<std::unique_ptr<HnswIndex>> load_older(std::span<const uint8_t> bytes) {
    RecordDecoder in(bytes);
    auto header = hnsw_format::read_header(in);
    auto entries = hnsw_format::read_older_vectors(in, header.dimension);
    if (!entries) return fail(entries.error());
    auto index = HnswIndex::create(header.dimension, header.metric, header.config);
    if (!index) return fail(VectorDbError::serialization(index.error().text));
    if (auto added = (*index)->add_batch(*entries); !added) return fail(added.error());
    return index;
}

}  // namespace

Result<std::unique_ptr<HnswIndex>> HnswIndex::load(const std::string& path) {
    auto bytes = read_file(path);
    if (!bytes) return fail(bytes.error());
    return from_bytes(*bytes);
}

Result<std::unique_ptr<HnswIndex>> HnswIndex::from_bytes(std::span<const uint8_t> bytes) {
    if (auto index = load_current(bytes)) return index;
    return load_older(bytes);
}

}  // namespace tvdb
