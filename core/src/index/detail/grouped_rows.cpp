#include "grouped_rows.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tvdb {

void GroupedRows::reserve(size_t rows) {
    const size_t groups = (rows + GroupLayout::kGroupRows - 1) / GroupLayout::kGroupRows;
    if (groups > capacity_groups_) regroup(groups);
}

void GroupedRows::push_back(const float* row) {
    if (rows_ == capacity_groups_ * GroupLayout::kGroupRows) {
        regroup(std::max<size_t>(1, 2 * capacity_groups_));
    }
    for (size_t c = 0; c < layout_.dimensions; ++c) {
        data_[layout_.offset(capacity_groups_, rows_, c)] = row[c];
    }
    ++rows_;
}

void GroupedRows::move_last_into(size_t row) {
    const size_t last = rows_ - 1;
    for (size_t c = 0; c < layout_.dimensions; ++c) {
        float& vacated = data_[layout_.offset(capacity_groups_, last, c)];
        if (row != last) data_[layout_.offset(capacity_groups_, row, c)] = vacated;
        vacated = 0.0f;
    }
    rows_ = last;
}

void GroupedRows::swap_rows(size_t a, size_t b) {
    for (size_t c = 0; c < layout_.dimensions; ++c) {
        std::swap(data_[layout_.offset(capacity_groups_, a, c)],
                  data_[layout_.offset(capacity_groups_, b, c)]);
    }
}

void GroupedRows::read(size_t row, float* out) const {
    for (size_t c = 0; c < layout_.dimensions; ++c) {
        out[c] = data_[layout_.offset(capacity_groups_, row, c)];
    }
}

// Each segment's groups move whole into the larger region.
void GroupedRows::regroup(size_t groups) {
    std::vector<float, CacheLineAllocator<float>> wider(layout_.region_elements(groups), 0.0f);
    for (size_t segment = 0; segment < layout_.segments && capacity_groups_ > 0; ++segment) {
        const size_t group_elements =
            layout_.blocks_in_segment(segment) * GroupLayout::kBlockElements;
        std::memcpy(wider.data() + segment * groups * GroupLayout::kSegmentElements,
                    data_.data() + segment * capacity_groups_ * GroupLayout::kSegmentElements,
                    capacity_groups_ * group_elements * sizeof(float));
    }
    data_ = std::move(wider);
    capacity_groups_ = groups;
}

}  // namespace tvdb
