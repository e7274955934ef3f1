#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "detail/huge_page_allocator.hpp"
#include "detail/row_group_scan.hpp"

namespace tvdb {

// Float rows in one region laid out for `group_distances` (see GroupLayout), with room for a
// number of groups that doubles when full, as a vector's does. Rows are appended, read back
// whole, and removed by moving the last row into the hole; components past the last row and
// past the dimensions stay zero.
class GroupedRows {
public:
    explicit GroupedRows(uint64_t dimensions = 0) : layout_(dimensions) {}

    size_t size() const { return rows_; }
    const GroupLayout& layout() const { return layout_; }
    const float* region() const { return data_.data(); }
    size_t region_groups() const { return capacity_groups_; }

    void reserve(size_t rows);
    void push_back(const float* row);
    // The last row takes the place of `row`, and the rows shrink by one.
    void move_last_into(size_t row);
    // Rows a and b trade places.
    void swap_rows(size_t a, size_t b);
    void read(size_t row, float* out) const;

private:
    void regroup(size_t groups);

    GroupLayout layout_;
    size_t rows_ = 0;
    size_t capacity_groups_ = 0;
    std::vector<float, CacheLineAllocator<float>> data_;
};

}  // namespace tvdb
