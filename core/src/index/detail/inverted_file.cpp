#include "inverted_file.hpp"

#include <string>
#include <unordered_set>

namespace tvdb {

IdToList read_id_to_list(RecordDecoder& in) {
    IdToList id_to_list;
    // Smallest entry: ID and list index.
    const uint64_t entries = in.count(16);
    id_to_list.reserve(entries);
    for (uint64_t e = 0; e < entries && in.ok(); ++e) {
        VectorId id = in.u64();
        id_to_list[id] = in.u64();
    }
    return id_to_list;
}

Result<void> check_coarse_shape(size_t centroid_floats, uint64_t n_centroids, uint64_t n_lists,
                                uint64_t dims, size_t list_count) {
    if (n_centroids > n_lists) {
        return fail(VectorDbError::serialization("n_centroids " + std::to_string(n_centroids) +
                                                 " exceeds n_lists " + std::to_string(n_lists)));
    }
    if (!holds_rows(centroid_floats, n_centroids, dims) || list_count != n_centroids) {
        return fail(VectorDbError::serialization(
            "n_centroids " + std::to_string(n_centroids) + " disagrees with " +
            std::to_string(centroid_floats) + " centroid floats and " +
            std::to_string(list_count) + " lists"));
    }
    return {};
}

Result<void> check_id_to_list(const IdToList& id_to_list,
                              std::span<const std::span<const VectorId>> list_ids) {
    for (const auto& [id, list] : id_to_list) {
        if (list >= list_ids.size()) {
            return fail(VectorDbError::serialization(
                "id_to_list sends ID " + std::to_string(id) + " to list " + std::to_string(list) +
                " of " + std::to_string(list_ids.size()) + " lists"));
        }
    }
    // A mapped ID counts once, however many entries of its list hold it.
    std::unordered_set<VectorId> located;
    located.reserve(id_to_list.size());
    for (uint64_t list = 0; list < list_ids.size() && !id_to_list.empty(); ++list) {
        for (VectorId id : list_ids[list]) {
            auto mapped = id_to_list.find(id);
            if (mapped != id_to_list.end() && mapped->second == list) located.insert(id);
        }
    }
    if (located.size() == id_to_list.size()) return {};
    for (const auto& [id, list] : id_to_list) {
        if (!located.contains(id)) {
            return fail(VectorDbError::serialization("id_to_list sends ID " + std::to_string(id) +
                                                     " to list " + std::to_string(list) +
                                                     ", which does not hold it"));
        }
    }
    return {};
}

}  // namespace tvdb
