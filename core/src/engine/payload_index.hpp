#pragma once

// An in-memory index of payload values, so that a selective filter can name the few IDs it
// may match instead of being evaluated on every payload. A field is indexed the first time a
// filter asks about it (with $eq, $in, $gt, $gte, $lt or $lte) and kept up to date from then
// on; nothing is written to disk.

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "filter.hpp"
#include "payload.hpp"
#include "vector_index.hpp"

namespace tvdb {

using PayloadMap = std::unordered_map<VectorId, Payload>;

class PayloadIndex {
public:
    // Every ID whose payload may match `filter` (perhaps more), or nullopt when no part of
    // the filter narrows the IDs down to at most `limit`. Reads `payloads` to index a field
    // for the first time.
    std::optional<std::vector<VectorId>> candidates(const FilterCondition& filter,
                                                    const PayloadMap& payloads,
                                                    size_t limit) const;
    // Follows a payload change of `id` (nullptr: no payload).
    void update(VectorId id, const Payload* before, const Payload* after);

private:
    // Scalars as filters compare them: numbers as doubles, strings by bytes. Equal keys may
    // hold values a filter tells apart (1 and 1.0), which the caller's check sorts out.
    using Key = std::variant<bool, double, std::string>;
    using Field = std::multimap<Key, VectorId>;

    const Field& field(const FieldFilter& predicate, const PayloadMap& payloads) const;
    std::optional<std::vector<VectorId>> field_candidates(const FieldFilter& predicate,
                                                          const PayloadMap& payloads,
                                                          size_t limit) const;
    std::optional<std::vector<VectorId>> node_candidates(const FilterCondition& filter,
                                                         const PayloadMap& payloads,
                                                         size_t limit) const;

    mutable std::mutex mutex_;
    // Keyed by the field path as written in the filter; paths split on ".".
    mutable std::unordered_map<std::string, std::pair<std::vector<std::string>, Field>> fields_;
};

}  // namespace tvdb
