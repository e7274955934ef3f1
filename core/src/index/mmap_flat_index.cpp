#include "mmap_flat_index.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "codec.hpp"
#include "detail/bulk_rows.hpp"
#include "detail/top_k.hpp"
#include "detail/tvec_format.hpp"
#include "file_io.hpp"

namespace tvdb {
namespace {

// Rows measured per kernel call: long runs keep the stream of file reads going between the
// top-k passes over their distances.
constexpr size_t kScanBlock = 4096;
// Records reach the file in writes of this size at offsets that are multiples of it. The
// page cache then holds the file in huge folios that the mapping can use whole, which halves
// the scan time of a search against a file written in small pieces (fewer TLB misses).
constexpr size_t kWriteChunk = size_t{2} << 20;

template <typename T>
T load_le(const uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Checks a mapped TVEC file against the index's configuration; returns the record count.
Result<uint64_t> validate_header(std::span<const uint8_t> file, uint64_t dimensions,
                                 Metric metric) {
    if (file.size() < tvec::kHeaderSize) {
        return fail(VectorDbError::serialization("mmap file too small"));
    }
    if (std::memcmp(file.data() + tvec::kMagicOffset, tvec::kMagic, sizeof tvec::kMagic) != 0) {
        return fail(VectorDbError::serialization("invalid TVEC magic"));
    }
    auto file_dimensions = load_le<uint32_t>(file.data() + tvec::kDimensionsOffset);
    if (file_dimensions != dimensions) {
        return fail(VectorDbError::dimension_mismatch(dimensions, file_dimensions));
    }
    auto metric_id = load_le<uint32_t>(file.data() + tvec::kMetricOffset);
    auto file_metric = metric_from_id(metric_id);
    if (!file_metric) {
        return fail(VectorDbError::serialization("unknown metric id " + std::to_string(metric_id)));
    }
    if (*file_metric != metric) {
        return fail(VectorDbError::invalid_config(
            "metric mismatch: file=" + std::string(metric_debug_name(*file_metric)) +
            ", expected=" + std::string(metric_debug_name(metric))));
    }
    auto count = load_le<uint64_t>(file.data() + tvec::kCountOffset);
    uint64_t capacity = (file.size() - tvec::kHeaderSize) / tvec::record_size(dimensions);
    if (count > capacity) {
        return fail(VectorDbError::serialization(
            "TVEC count " + std::to_string(count) + " needs more than the " +
            std::to_string(file.size()) + " bytes of the file"));
    }
    return count;
}

Result<void> check_dimensions_fit(uint64_t dimensions) {
    if (dimensions > tvec::kMaxDimensions) {
        return fail(VectorDbError::invalid_config(
            "dimensions " + std::to_string(dimensions) +
            " do not fit the 32-bit field of the vector file"));
    }
    return {};
}

Result<void> write_at(int fd, const void* data, size_t size, uint64_t offset) {
    if (int code = write_fully_at(fd, data, size, offset); code != 0) {
        return fail(VectorDbError::io_errno(code));
    }
    return {};
}

}  // namespace

MmapFlatIndex::MmapFlatIndex(std::string path, uint64_t dimensions, Metric metric)
    : path_(std::move(path)), config_{.dimensions = dimensions, .metric = metric} {}

Result<MmapFlatIndex> MmapFlatIndex::open(std::string path, uint64_t dimensions, Metric metric) {
    if (auto fits = check_dimensions_fit(dimensions); !fits) return fail(fits.error());
    MmapFlatIndex index(std::move(path), dimensions, metric);
    auto mapped = MappedFile::map(index.path_);
    if (!mapped) {
        if (mapped.error().kind == ErrorKind::Io && mapped.error().os_code == ENOENT) return index;
        return fail(mapped.error());
    }
    auto count = validate_header(mapped->bytes(), dimensions, metric);
    if (!count) return fail(count.error());
    index.mapping_ = std::move(*mapped);
    index.has_file_ = true;
    index.file_count_ = *count;
    index.index_records(0);
    return index;
}

Result<MmapFlatIndex> MmapFlatIndex::open_discarding(std::string path, uint64_t dimensions,
                                                     Metric metric) {
    if (auto fits = check_dimensions_fit(dimensions); !fits) return fail(fits.error());
    MmapFlatIndex index(std::move(path), dimensions, metric);
    index.rewrite_required_ = true;
    return index;
}

const uint8_t* MmapFlatIndex::record(uint64_t i) const {
    return mapping_.bytes().data() + tvec::record_offset(i, config_.dimensions);
}

VectorId MmapFlatIndex::record_id(uint64_t i) const { return load_le<VectorId>(record(i)); }

const float* MmapFlatIndex::record_vector(uint64_t i) const {
    // The mapping is page aligned and every record is a multiple of 4 bytes long.
    return reinterpret_cast<const float*>(record(i) + tvec::kVectorOffsetInRecord);
}

void MmapFlatIndex::index_records(uint64_t first) {
    record_live_.resize(file_count_, 1);
    record_of_.reserve(file_count_);
    for (uint64_t i = first; i < file_count_; ++i) {
        auto [it, inserted] = record_of_.try_emplace(record_id(i), i);
        if (!inserted) {
            record_live_[it->second] = 0;
            it->second = i;
        }
    }
}

void MmapFlatIndex::kill_record(std::unordered_map<VectorId, uint64_t>::iterator it) {
    record_live_[it->second] = 0;
    record_of_.erase(it);
}

Result<void> MmapFlatIndex::add(VectorId id, std::span<const float> vector) {
    if (auto ok = check_dimensions(config_.dimensions, vector.size()); !ok) return ok;
    if (auto it = record_of_.find(id); it != record_of_.end()) kill_record(it);
    auto [slot, appended] = pending_ids_.place(id);
    if (appended) pending_vectors_.resize(pending_vectors_.size() + config_.dimensions);
    std::copy(vector.begin(), vector.end(), pending_vectors_.begin() + slot * config_.dimensions);
    return {};
}

Result<void> MmapFlatIndex::add_batch_contiguous(std::span<const float> data, VectorId start_id) {
    auto rows = raw_row_count(config_.dimensions, data.size(), start_id);
    if (!rows) return fail(rows.error());
    const size_t dims = config_.dimensions;
    pending_ids_.reserve(pending_ids_.size() + *rows);
    pending_vectors_.reserve(pending_vectors_.size() + *rows * dims);
    for (uint64_t i = 0; i < *rows; ++i) {
        if (auto added = add(start_id + i, data.subspan(i * dims, dims)); !added) return added;
    }
    return {};
}

bool MmapFlatIndex::remove(VectorId id) {
    bool was_pending = false;
    if (auto slot = pending_ids_.remove(id)) {
        move_last_row(pending_vectors_, config_.dimensions, *slot);
        was_pending = true;
    }
    if (auto it = record_of_.find(id); it != record_of_.end()) {
        kill_record(it);
        return true;
    }
    return was_pending;
}

Result<std::vector<SearchResult>> MmapFlatIndex::search(std::span<const float> query,
                                                        uint64_t k) const {
    return nearest(query, k, nullptr);
}

Result<std::vector<SearchResult>> MmapFlatIndex::search_filtered(std::span<const float> query,
                                                                 uint64_t k,
                                                                 const SearchFilter& filter) const {
    return nearest(query, k, &filter.admit);
}

Result<std::vector<SearchResult>> MmapFlatIndex::nearest(std::span<const float> query, uint64_t k,
                                                         const IdFilter* admit) const {
    if (auto ok = check_dimensions(config_.dimensions, query.size()); !ok) return fail(ok.error());
    if (k == 0 || len() == 0) return std::vector<SearchResult>{};
    const size_t dims = config_.dimensions;
    const size_t record_floats = tvec::record_size(dims) / sizeof(float);
    TopK top(std::min<uint64_t>(k, len()), admit);
    float distances[kScanBlock];
    for (uint64_t begin = 0; begin < file_count_; begin += kScanBlock) {
        uint64_t end = std::min<uint64_t>(file_count_, begin + kScanBlock);
        uint64_t i = begin;
        while (i < end) {
            if (!record_live_[i]) {
                ++i;
                continue;
            }
            uint64_t run_end = i;
            while (run_end < end && record_live_[run_end]) ++run_end;
            distance_rows_strided_ord(config_.metric, query, record_vector(i), record_floats,
                                      run_end - i, distances);
            for (uint64_t r = i; r < run_end; ++r) {
                // Most rows cannot be kept: their IDs are not read.
                if (top.accepts(distances[r - i])) top.push(record_id(r), distances[r - i]);
            }
            i = run_end;
        }
    }
    auto pending = pending_ids_.ids();
    for (size_t begin = 0; begin < pending.size(); begin += kScanBlock) {
        size_t n = std::min(kScanBlock, pending.size() - begin);
        distance_rows_ord(config_.metric, query, pending_vectors_.data() + begin * dims, n,
                          distances);
        for (size_t s = 0; s < n; ++s) top.push(pending[begin + s], distances[s]);
    }
    auto hits = top.take_sorted();
    // Ranked by squared distance; the reported L2 distance is its square root.
    if (config_.metric == Metric::L2) {
        for (SearchResult& hit : hits) hit.distance = std::sqrt(hit.distance);
    }
    return hits;
}

void MmapFlatIndex::iter_vectors(const VectorVisitor& visit) const {
    const size_t dims = config_.dimensions;
    for (uint64_t i = 0; i < file_count_; ++i) {
        if (record_live_[i]) visit(record_id(i), std::span(record_vector(i), dims));
    }
    auto pending = pending_ids_.ids();
    for (size_t s = 0; s < pending.size(); ++s) {
        visit(pending[s], std::span(pending_vectors_.data() + s * dims, dims));
    }
}

void MmapFlatIndex::iter_ids(const std::function<void(VectorId)>& visit) const {
    for (uint64_t i = 0; i < file_count_; ++i) {
        if (record_live_[i]) visit(record_id(i));
    }
    for (VectorId id : pending_ids_.ids()) visit(id);
}

std::optional<std::vector<float>> MmapFlatIndex::vector_of(VectorId id) const {
    auto found = find(id);
    if (!found) return std::nullopt;
    return std::vector<float>(found->begin(), found->end());
}

std::optional<std::span<const float>> MmapFlatIndex::find(VectorId id) const {
    const size_t dims = config_.dimensions;
    if (auto slot = pending_ids_.find(id)) {
        return std::span(pending_vectors_.data() + *slot * dims, dims);
    }
    if (auto it = record_of_.find(id); it != record_of_.end()) {
        return std::span(record_vector(it->second), dims);
    }
    return std::nullopt;
}

size_t MmapFlatIndex::drop_if(const std::function<bool(VectorId)>& drop) {
    std::vector<VectorId> doomed;
    for (const auto& [id, record] : record_of_) {
        if (drop(id)) doomed.push_back(id);
    }
    for (VectorId id : pending_ids_.ids()) {
        if (drop(id)) doomed.push_back(id);
    }
    for (VectorId id : doomed) remove(id);
    return doomed.size();
}

Result<void> MmapFlatIndex::persist() {
    if (!has_unflushed_changes()) return {};
    if (!has_file_ || rewrite_required_ || dead_records() > 0) return rewrite();
    return append_pending();
}

Result<void> MmapFlatIndex::append_pending() {
    const size_t dims = config_.dimensions;
    const uint64_t new_count = file_count_ + pending_ids_.size();
    auto file = open_for_writing(path_);
    if (!file) return fail(file.error());
    const int fd = file->get();
    Result<void> written;
    uint64_t offset = tvec::record_offset(file_count_, dims);
    std::vector<uint8_t> buffer;
    buffer.reserve(kWriteChunk + tvec::record_size(dims));
    // Writes up to the next chunk boundary, keeping what lies past it for the next write.
    auto drain = [&](bool everything) {
        size_t size = std::min<size_t>(buffer.size(), kWriteChunk - offset % kWriteChunk);
        if (everything) size = buffer.size();
        if (written && size > 0) written = write_at(fd, buffer.data(), size, offset);
        offset += size;
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(size));
    };
    auto pending = pending_ids_.ids();
    for (size_t s = 0; s < pending.size() && written; ++s) {
        const auto* id = reinterpret_cast<const uint8_t*>(&pending[s]);
        const auto* vector = reinterpret_cast<const uint8_t*>(pending_vectors_.data() + s * dims);
        buffer.insert(buffer.end(), id, id + sizeof(VectorId));
        buffer.insert(buffer.end(), vector, vector + dims * sizeof(float));
        if (offset % kWriteChunk + buffer.size() >= kWriteChunk) drain(false);
    }
    drain(true);
    // The count goes last: a failure before it leaves the old count, and the bytes written
    // past the old records are ignored by every reader.
    if (written) written = write_at(fd, &new_count, sizeof new_count, tvec::kCountOffset);
    if (const int closed = file->close(); closed != 0 && written) {
        written = fail(VectorDbError::io_errno(closed));
    }
    if (!written) return written;
    return adopt_file(new_count, file_count_);
}

Result<void> MmapFlatIndex::rewrite() {
    const size_t dims = config_.dimensions;
    const uint64_t count = len();
    const std::string temp_path = path_ + ".tmp";
    auto file = FileEncoder::create_fresh(temp_path, kWriteChunk);
    if (!file) return fail(file.error());
    file->raw(tvec::kMagic, sizeof tvec::kMagic);
    file->u32(tvec::kVersion);
    file->u32(static_cast<uint32_t>(dims));
    file->u32(static_cast<uint32_t>(config_.metric));
    file->u64(count);
    file->u64(0);  // reserved
    for (uint64_t i = 0; i < file_count_; ++i) {
        if (record_live_[i]) file->raw(record(i), tvec::record_size(dims));
    }
    auto pending = pending_ids_.ids();
    for (size_t s = 0; s < pending.size(); ++s) {
        file->u64(pending[s]);
        file->raw(pending_vectors_.data() + s * dims, dims * sizeof(float));
    }
    if (auto finished = file->finish(); !finished) {
        ::unlink(temp_path.c_str());
        return fail(VectorDbError::io_message(finished.error().text));
    }
    if (auto renamed = rename_over(temp_path, path_); !renamed) return fail(renamed.error());
    return adopt_file(count, 0);
}

Result<void> MmapFlatIndex::adopt_file(uint64_t count, uint64_t first_new) {
    auto mapped = MappedFile::map(path_);
    if (!mapped) return fail(mapped.error());
    if (mapped->size() < tvec::record_offset(count, config_.dimensions)) {
        return fail(VectorDbError::io_message("the vector file is shorter than just written"));
    }
    mapping_ = std::move(*mapped);
    has_file_ = true;
    file_count_ = count;
    if (first_new == 0) {
        record_of_.clear();
        record_live_.clear();
    }
    index_records(first_new);
    pending_ids_ = SlotMap();
    pending_vectors_.clear();
    rewrite_required_ = false;
    return {};
}

}  // namespace tvdb
