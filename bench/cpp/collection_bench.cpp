// Engine-level collection benchmark: the cost of the log, payloads and recovery around the
// index, measured without the Python layer. Prints a markdown section.
//
//   collection_bench [n] [dim] [work_dir] [flat]   ("flat" skips the hnsw measurements)

#include <ctime>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "collection.hpp"
#include "hnsw_index.hpp"

using namespace tvdb;
namespace fs = std::filesystem;

namespace {

// Thread CPU time (user and system): the machine the benchmark runs on is shared, and every
// measured operation runs on the calling thread only.
struct Clock {
    using time_point = double;
    static double now() {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
    }
};

double seconds_since(Clock::time_point start) { return Clock::now() - start; }

// Gaussian clusters, like the Python harness: dense regions with empty space between.
std::vector<float> clustered(size_t n, size_t dim, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_real_distribution<float> spread(0.15f, 0.45f);
    const size_t clusters = 100;
    std::vector<float> centres(clusters * dim);
    std::vector<float> spreads(clusters);
    for (auto& c : centres) c = normal(rng);
    for (auto& s : spreads) s = spread(rng);
    std::vector<float> data(n * dim);
    for (size_t i = 0; i < n; ++i) {
        size_t c = rng() % clusters;
        for (size_t d = 0; d < dim; ++d) data[i * dim + d] = centres[c * dim + d] + normal(rng) * spreads[c];
    }
    return data;
}

Payload small_payload(uint64_t id) {
    return Payload{{"category", id % 10}, {"title", "doc-" + std::to_string(id)}, {"score", double(id % 100) / 10.0}};
}

std::vector<UpsertEntry> entries_for(const std::vector<float>& data, size_t dim, size_t begin, size_t end) {
    std::vector<UpsertEntry> entries;
    entries.reserve(end - begin);
    for (size_t i = begin; i < end; ++i) {
        entries.push_back({.id = i,
                           .vector = std::vector<float>(data.begin() + long(i * dim), data.begin() + long((i + 1) * dim)),
                           .payload = small_payload(i),
                           .sparse = std::nullopt});
    }
    return entries;
}

Collection fresh_collection(const std::string& dir, IndexType type, size_t dim) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    auto c = Collection::create(dir, new_collection_meta("bench", dim, Metric::L2, type));
    if (!c) {
        std::fprintf(stderr, "create failed: %s\n", c.error().message().c_str());
        std::exit(1);
    }
    return std::move(*c);
}

// Batches of 1000 as a caller would send them; returns vectors per second (conversion of
// the entries is done beforehand and not timed).
double batch_upsert_rate(Collection& c, const std::vector<float>& data, size_t n, size_t dim) {
    const size_t batch = 1000;
    std::vector<std::vector<UpsertEntry>> batches;
    for (size_t begin = 0; begin < n; begin += batch) batches.push_back(entries_for(data, dim, begin, std::min(n, begin + batch)));
    auto start = Clock::now();
    for (auto& entries : batches) {
        if (!c.upsert_batch(std::move(entries))) std::exit(1);
    }
    return double(n) / seconds_since(start);
}

}  // namespace

int main(int argc, char** argv) {
    const size_t n = argc > 1 ? std::stoul(argv[1]) : 100000;
    const size_t dim = argc > 2 ? std::stoul(argv[2]) : 128;
    const std::string work = argc > 3 ? argv[3] : (fs::temp_directory_path() / "tvdb_collection_bench").string();
    const auto data = clustered(n, dim, 20261206);
    const auto queries = clustered(200, dim, 7);
    const bool flat_only = argc > 4 && std::string(argv[4]) == "flat";

    std::printf("## Collection engine (C++, %zu x %zu clustered, small JSON payloads; thread CPU time)\n\n", n, dim);

    // upsert_batch into a flat collection
    double flat_rate;
    {
        auto c = fresh_collection(work + "/flat", IndexType::Flat, dim);
        flat_rate = batch_upsert_rate(c, data, n, dim);
    }
    std::printf("- upsert_batch into a flat collection: %.0f vectors/s (target >= 300000)\n", flat_rate);
    std::fflush(stdout);

    // single upserts into a flat collection
    {
        auto c = fresh_collection(work + "/single", IndexType::Flat, dim);
        const size_t count = std::min<size_t>(n, 20000);
        auto start = Clock::now();
        for (size_t i = 0; i < count; ++i) {
            if (!c.upsert(i, std::span(data).subspan(i * dim, dim), small_payload(i))) return 1;
        }
        std::printf("- single upsert into a flat collection: %.2f us per call\n", seconds_since(start) / double(count) * 1e6);
    }

    // filtered against unfiltered search (flat collection, 10% of payloads pass)
    {
        auto c = fresh_collection(work + "/filter", IndexType::Flat, dim);
        batch_upsert_rate(c, data, n, dim);
        auto filter = parse_filter(Payload::parse(R"({"category": {"$eq": 3}})"));
        auto time_queries = [&](const FilterCondition* f) {
            auto start = Clock::now();
            for (size_t q = 0; q < 200; ++q) {
                if (!c.search(std::span(queries).subspan(q * dim, dim), 10, f)) std::exit(1);
            }
            return seconds_since(start) / 200.0;
        };
        double plain = time_queries(nullptr);
        double filtered = time_queries(&*filter);
        std::printf("- flat search k=10: %.3f ms unfiltered, %.3f ms with a 10%%-selective filter (%.2fx)\n",
                    plain * 1e3, filtered * 1e3, filtered / plain);
    }

    if (flat_only) return 0;

    // upsert_batch into an hnsw collection against HnswIndex::add alone
    double hnsw_collection_seconds, hnsw_alone_seconds;
    {
        auto index = HnswIndex::create(dim, Metric::L2, HnswConfig{});
        auto start = Clock::now();
        for (size_t i = 0; i < n; ++i) {
            if (!(*index)->add(i, std::span(data).subspan(i * dim, dim))) return 1;
        }
        hnsw_alone_seconds = seconds_since(start);
    }
    {
        auto c = fresh_collection(work + "/hnsw", IndexType::Hnsw, dim);
        hnsw_collection_seconds = double(n) / batch_upsert_rate(c, data, n, dim);
        if (!c.compact()) return 1;
    }
    std::printf("- hnsw collection upsert_batch: %.1f s; HnswIndex::add alone: %.1f s (%.2fx, target <= 1.2x)\n",
                hnsw_collection_seconds, hnsw_alone_seconds, hnsw_collection_seconds / hnsw_alone_seconds);

    // reopen with a matching hnsw.graph against a rebuild from the log
    double adopt_seconds, rebuild_seconds;
    {
        auto start = Clock::now();
        auto c = Collection::load(work + "/hnsw");
        adopt_seconds = seconds_since(start);
        if (!c || c->len() != n) return 1;
    }
    {
        fs::remove(work + "/hnsw/hnsw.graph");
        auto start = Clock::now();
        auto c = Collection::load(work + "/hnsw");
        rebuild_seconds = seconds_since(start);
        if (!c || c->len() != n) return 1;
    }
    std::printf("- reopen of the hnsw collection: %.2f s with its matching graph, %.1f s rebuilding from the log (%.1fx faster, target >= 5x)\n",
                adopt_seconds, rebuild_seconds, rebuild_seconds / adopt_seconds);
    fs::remove_all(work);
    return 0;
}
