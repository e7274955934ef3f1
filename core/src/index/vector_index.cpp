#include "vector_index.hpp"

#include <limits>

namespace tvdb {
Result<void> VectorIndex::add_batch(std::span<const VectorEntry> entries) {
    for (const auto& [id, vector] : entries) {
        if (auto added = add(id, vector); !added) return added;
    }
    return {};
}

Result<void> VectorIndex::add_rows(std::span<const VectorId> ids, std::span<const float> rows) {
    auto entries = rows_to_entries(config().dimensions, ids, rows);
    if (!entries) return fail(entries.error());
    return add_batch(*entries);
}

void VectorIndex::iter_ids(const std::function<void(VectorId)>& visit) const {
    iter_vectors([&](VectorId id, std::span<const float>) { visit(id); });
}

size_t VectorIndex::drop_if(const std::function<bool(VectorId)>& drop) {
    std::vector<VectorId> doomed;
    iter_ids([&](VectorId id) {
        if (drop(id)) doomed.push_back(id);
    });
    for (VectorId id : doomed) remove(id);
    return doomed.size();
}

std::optional<std::vector<float>> VectorIndex::vector_of(VectorId id) const {
    std::optional<std::vector<float>> found;
    iter_vectors([&](VectorId visited, std::span<const float> vector) {
        if (visited == id && !found) found.emplace(vector.begin(), vector.end());
    });
    return found;
}

Result<void> check_row_ids(uint64_t dimensions, size_t id_count, size_t floats) {
    const bool matches = dimensions == 0 ? floats == 0
                                         : floats % dimensions == 0 && floats / dimensions == id_count;
    if (!matches) {
        return fail(VectorDbError::invalid_config(std::to_string(id_count) + " IDs for " +
                                                  std::to_string(floats) + " floats of " +
                                                  std::to_string(dimensions) + " dimensions"));
    }
    return {};
}

Result<std::vector<VectorEntry>> rows_to_entries(uint64_t dimensions, std::span<const VectorId> ids,
                                                 std::span<const float> rows) {
    if (auto ok = check_row_ids(dimensions, ids.size(), rows.size()); !ok) return fail(ok.error());
    std::vector<VectorEntry> entries;
    entries.reserve(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        auto row = rows.subspan(i * dimensions, dimensions);
        entries.emplace_back(ids[i], std::vector<float>(row.begin(), row.end()));
    }
    return entries;
}

Result<void> VectorIndex::save_graph(const std::string&) const { return {}; }

Result<void> VectorIndex::load_graph_mmap(const std::string&) {
    flush();
    return {};
}

Result<uint64_t> bulk_row_count(uint64_t dimensions, size_t floats, VectorId start_id) {
    if (dimensions == 0) {
        return fail(VectorDbError::invalid_config(
            "bulk insertion needs at least one dimension to count rows"));
    }
    if (floats % dimensions != 0) {
        return fail(VectorDbError::invalid_config("data length " + std::to_string(floats) +
                                                  " is not divisible by dimension " +
                                                  std::to_string(dimensions)));
    }
    uint64_t rows = floats / dimensions;
    if (rows > 0 && rows - 1 > std::numeric_limits<uint64_t>::max() - start_id) {
        return fail(VectorDbError::invalid_config(
            "IDs from start_id " + std::to_string(start_id) + " for " + std::to_string(rows) +
            " rows would pass the largest vector ID"));
    }
    return rows;
}

}  // namespace tvdb
