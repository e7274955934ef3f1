#include "batch_search.hpp"

#include <tbb/blocked_range.h>
#include <tbb/info.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <exception>
#include <mutex>
#include <optional>
#include <string>

namespace tvdb {
namespace {

// Remembers the failure of the lowest query index, whichever worker reports first.
class FirstFailure {
public:
    void report(size_t index, VectorDbError error) {
        std::lock_guard lock(mutex_);
        if (!error_ || index < index_) {
            index_ = index;
            error_ = std::move(error);
        }
    }
    Result<void> result() const {
        if (error_) return fail(*error_);
        return {};
    }

private:
    std::mutex mutex_;
    size_t index_ = 0;
    std::optional<VectorDbError> error_;
};

}  // namespace

size_t worker_count(size_t num_threads) {
    if (num_threads == 0) return static_cast<size_t>(tbb::info::default_concurrency());
    // More workers than oneTBB can reserve would only be refused.
    return std::min<size_t>(num_threads, 1 << 16);
}

Result<void> for_each_query(size_t count, size_t num_threads,
                            const std::function<Result<void>(size_t)>& run) {
    FirstFailure failure;
    auto run_range = [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            if (auto done = run(i); !done) failure.report(i, done.error());
        }
    };
    const size_t workers = worker_count(num_threads);
    try {
        if (workers <= 1 || count <= 1) {
            run_range(0, count);
        } else {
            tbb::task_arena arena(static_cast<int>(workers));
            arena.execute([&] {
                tbb::parallel_for(tbb::blocked_range<size_t>(0, count, 1),
                                  [&](const auto& range) { run_range(range.begin(), range.end()); });
            });
        }
    } catch (const std::exception& error) {
        return fail(VectorDbError::io_message(std::string("batch search failed: ") + error.what()));
    }
    return failure.result();
}

void write_answer_row(std::span<const SearchResult> hits, uint64_t k, VectorId* ids,
                      float* distances) {
    const size_t n = std::min<size_t>(hits.size(), k);
    for (size_t j = 0; j < n; ++j) {
        ids[j] = hits[j].id;
        distances[j] = hits[j].distance;
    }
    std::fill(ids + n, ids + k, kPaddingId);
    std::fill(distances + n, distances + k, kPaddingDistance);
}

Result<void> search_rows(const QueryRows& queries, uint64_t dimensions, uint64_t k,
                         size_t num_threads, const QuerySearch& search, VectorId* ids,
                         float* distances) {
    if (queries.dims != dimensions) {
        return fail(VectorDbError::dimension_mismatch(dimensions, queries.dims));
    }
    return for_each_query(queries.rows, num_threads, [&](size_t i) -> Result<void> {
        auto hits = search(queries.row(i));
        if (!hits) return fail(hits.error());
        write_answer_row(*hits, k, ids + i * k, distances + i * k);
        return {};
    });
}

}  // namespace tvdb
