#include "training_buffer.hpp"

#include <algorithm>
#include <string>


namespace tvdb {

Result<TrainingBuffer> TrainingBuffer::from_parts(uint64_t dims, std::vector<VectorId> ids,
                                                  std::vector<float> vectors) {
    if (!holds_rows(vectors.size(), ids.size(), dims)) {
        return fail(VectorDbError::serialization(
            "buffer holds " + std::to_string(vectors.size()) + " floats for " +
            std::to_string(ids.size()) + " IDs of dimension " + std::to_string(dims)));
    }
    TrainingBuffer buffer(dims);
    buffer.ids_ = std::move(ids);
    buffer.vectors_.assign(vectors.begin(), vectors.end());
    return buffer;
}

void TrainingBuffer::append(VectorId id, std::span<const float> vector) {
    ids_.push_back(id);
    vectors_.insert(vectors_.end(), vector.begin(), vector.end());
}

void TrainingBuffer::append_rows(std::span<const float> rows, uint64_t count, VectorId first_id) {
    ids_.reserve(ids_.size() + count);
    for (uint64_t i = 0; i < count; ++i) ids_.push_back(first_id + i);
    vectors_.insert(vectors_.end(), rows.begin(), rows.begin() + count * dims_);
}

std::optional<std::span<const float>> TrainingBuffer::find(VectorId id) const {
    auto found = std::find(ids_.begin(), ids_.end(), id);
    if (found == ids_.end()) return std::nullopt;
    return vector(static_cast<size_t>(found - ids_.begin()));
}

bool TrainingBuffer::remove(VectorId id) {
    auto found = std::find(ids_.begin(), ids_.end(), id);
    if (found == ids_.end()) return false;
    const size_t position = found - ids_.begin();
    const size_t last = ids_.size() - 1;
    ids_[position] = ids_[last];
    std::copy_n(vectors_.begin() + last * dims_, dims_, vectors_.begin() + position * dims_);
    ids_.pop_back();
    vectors_.resize(last * dims_);
    return true;
}

void TrainingBuffer::clear() {
    ids_.clear();
    ids_.shrink_to_fit();
    vectors_.clear();
    vectors_.shrink_to_fit();
}

void TrainingBuffer::search(Metric metric, ScanDistance kind, std::span<const float> query,
                            TopK& top) const {
    scan_rows(metric, kind, query, ids_.data(), vectors_.data(), ids_.size(), top);
}

void TrainingBuffer::visit(const VectorVisitor& visit) const {
    for (size_t i = 0; i < ids_.size(); ++i) visit(ids_[i], vector(i));
}

}  // namespace tvdb
