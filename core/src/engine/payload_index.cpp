#include "payload_index.hpp"

#include <algorithm>
#include <limits>

namespace tvdb {
namespace {

using Key = std::variant<bool, double, std::string>;

std::optional<Key> key_of(const Payload& value) {
    if (value.is_boolean()) return Key(value.get<bool>());
    if (value.is_number()) return Key(value.get<double>());
    if (value.is_string()) return Key(value.get<std::string>());
    return std::nullopt;
}

// False once `out` would hold more than `limit` IDs.
template <typename Iterator>
bool append_ids(Iterator first, Iterator last, std::vector<VectorId>& out, size_t limit) {
    for (; first != last; ++first) {
        if (out.size() == limit) return false;
        out.push_back(first->second);
    }
    return true;
}

void sort_unique(std::vector<VectorId>& ids) {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
}

}  // namespace

const PayloadIndex::Field& PayloadIndex::field(const FieldFilter& predicate,
                                               const PayloadMap& payloads) const {
    auto [it, inserted] = fields_.try_emplace(predicate.field);
    if (inserted) {
        it->second.first = predicate.path;
        for (const auto& [id, payload] : payloads) {
            const Payload* value = resolve_path(payload, predicate.path);
            if (value == nullptr) continue;
            if (auto key = key_of(*value)) it->second.second.emplace(std::move(*key), id);
        }
    }
    return it->second.second;
}

// Values are ordered bools, then numbers, then strings; a range stays within its operand's
// kind, since filters order numbers with numbers and strings with strings only.
std::optional<std::vector<VectorId>> PayloadIndex::field_candidates(
    const FieldFilter& predicate, const PayloadMap& payloads, size_t limit) const {
    const FieldOp& op = predicate.op;
    std::vector<VectorId> ids;
    if (op.kind == FieldOpKind::Ne) return std::nullopt;
    if (op.kind == FieldOpKind::Eq || op.kind == FieldOpKind::In) {
        const bool single = op.kind == FieldOpKind::Eq;
        // Null, sequences and maps are not indexed.
        for (size_t i = 0; i < (single ? 1 : op.operand.size()); ++i) {
            if (!key_of(single ? op.operand : op.operand[i])) return std::nullopt;
        }
        const Field& values = field(predicate, payloads);
        for (size_t i = 0; i < (single ? 1 : op.operand.size()); ++i) {
            auto [first, last] = values.equal_range(*key_of(single ? op.operand : op.operand[i]));
            if (!append_ids(first, last, ids, limit)) return std::nullopt;
        }
        if (!single) sort_unique(ids);
        return ids;
    }
    if (!op.operand.is_number() && !op.operand.is_string()) return ids;  // orders nothing
    const Field& values = field(predicate, payloads);
    const Key bound = *key_of(op.operand);
    const auto kind_begin = op.operand.is_number()
                                ? values.lower_bound(Key(-std::numeric_limits<double>::infinity()))
                                : values.lower_bound(Key(std::string()));
    const auto kind_end = op.operand.is_number() ? values.lower_bound(Key(std::string()))
                                                 : values.end();
    bool complete = true;
    switch (op.kind) {
        case FieldOpKind::Lt:
            complete = append_ids(kind_begin, values.lower_bound(bound), ids, limit);
            break;
        case FieldOpKind::Lte:
            complete = append_ids(kind_begin, values.upper_bound(bound), ids, limit);
            break;
        case FieldOpKind::Gt:
            complete = append_ids(values.upper_bound(bound), kind_end, ids, limit);
            break;
        case FieldOpKind::Gte:
            complete = append_ids(values.lower_bound(bound), kind_end, ids, limit);
            break;
        default: break;
    }
    if (!complete) return std::nullopt;
    return ids;
}

std::optional<std::vector<VectorId>> PayloadIndex::node_candidates(
    const FilterCondition& filter, const PayloadMap& payloads, size_t limit) const {
    switch (filter.kind) {
        case FilterCondition::Kind::Field:
            return field_candidates(filter.predicate, payloads, limit);
        case FilterCondition::Kind::And: {
            // Any child's candidates hold every match; the fewest are the best.
            std::optional<std::vector<VectorId>> fewest;
            for (const auto& child : filter.children) {
                auto ids = node_candidates(child, payloads, fewest ? fewest->size() : limit);
                if (ids) fewest = std::move(ids);
            }
            return fewest;
        }
        case FilterCondition::Kind::Or: {
            std::vector<VectorId> ids;
            for (const auto& child : filter.children) {
                auto child_ids = node_candidates(child, payloads, limit);
                if (!child_ids || child_ids->size() > limit - ids.size()) return std::nullopt;
                ids.insert(ids.end(), child_ids->begin(), child_ids->end());
            }
            sort_unique(ids);
            return ids;
        }
    }
    return std::nullopt;
}

std::optional<std::vector<VectorId>> PayloadIndex::candidates(const FilterCondition& filter,
                                                              const PayloadMap& payloads,
                                                              size_t limit) const {
    std::lock_guard lock(mutex_);
    return node_candidates(filter, payloads, limit);
}

void PayloadIndex::update(VectorId id, const Payload* before, const Payload* after) {
    std::lock_guard lock(mutex_);
    for (auto& [name, indexed] : fields_) {
        auto& [path, values] = indexed;
        const Payload* old_value = before ? resolve_path(*before, path) : nullptr;
        if (auto key = old_value ? key_of(*old_value) : std::nullopt) {
            auto [first, last] = values.equal_range(*key);
            auto found = std::find_if(first, last,
                                      [id](const auto& entry) { return entry.second == id; });
            if (found != last) values.erase(found);
        }
        const Payload* new_value = after ? resolve_path(*after, path) : nullptr;
        if (auto key = new_value ? key_of(*new_value) : std::nullopt) {
            values.emplace(std::move(*key), id);
        }
    }
}

}  // namespace tvdb
