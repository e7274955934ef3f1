#include "filter.hpp"

#include <array>
#include <string_view>
#include <utility>

namespace tvdb {
namespace {

constexpr std::array<std::pair<std::string_view, FieldOpKind>, 7> kOperators = {{
    {"$eq", FieldOpKind::Eq},
    {"$ne", FieldOpKind::Ne},
    {"$in", FieldOpKind::In},
    {"$gt", FieldOpKind::Gt},
    {"$gte", FieldOpKind::Gte},
    {"$lt", FieldOpKind::Lt},
    {"$lte", FieldOpKind::Lte},
}};

constexpr std::string_view kSinglePredicateMessage =
    "FilterCondition must be $and, $or, or a single field predicate";

using ParseResult = std::expected<FilterCondition, std::string>;

std::unexpected<std::string> parse_error(std::string message) {
    return std::unexpected<std::string>(std::move(message));
}

std::string invalid_type(const Payload& found, std::string_view expected) {
    return "invalid type: " + describe_json_value(found) + ", expected " + std::string(expected);
}

std::string unknown_operator(std::string_view key) {
    return "unknown variant `" + std::string(key) +
           "`, expected one of `$eq`, `$ne`, `$in`, `$gt`, `$gte`, `$lt`, `$lte`";
}

std::optional<FieldOpKind> operator_kind(std::string_view key) {
    for (const auto& [name, kind] : kOperators) {
        if (name == key) return kind;
    }
    return std::nullopt;
}

std::vector<std::string> split_path(const std::string& field) {
    std::vector<std::string> segments;
    size_t start = 0;
    for (;;) {
        size_t dot = field.find('.', start);
        if (dot == std::string::npos) {
            segments.push_back(field.substr(start));
            return segments;
        }
        segments.push_back(field.substr(start, dot - start));
        start = dot + 1;
    }
}

ParseResult parse_children(FilterCondition::Kind kind, const Payload& list) {
    if (!list.is_array()) return parse_error(invalid_type(list, "a sequence"));
    FilterCondition node;
    node.kind = kind;
    node.children.reserve(list.size());
    for (const Payload& element : list) {
        auto child = parse_filter(element);
        if (!child) return child;
        node.children.push_back(std::move(*child));
    }
    return node;
}

std::expected<FieldOp, std::string> parse_field_op(const Payload& value) {
    if (value.is_string()) {
        const auto& key = value.get_ref<const std::string&>();
        if (operator_kind(key)) return parse_error("invalid type: unit variant, expected newtype variant");
        return parse_error(unknown_operator(key));
    }
    if (!value.is_object()) return parse_error(invalid_type(value, "string or map"));
    if (value.size() != 1) return parse_error("invalid value: map, expected map with a single key");
    auto entry = value.begin();
    auto kind = operator_kind(entry.key());
    if (!kind) return parse_error(unknown_operator(entry.key()));
    if (*kind == FieldOpKind::In && !entry.value().is_array()) {
        return parse_error(invalid_type(entry.value(), "a sequence"));
    }
    return FieldOp{.kind = *kind, .operand = entry.value()};
}


// Orders two values for $gt/$gte/$lt/$lte: strings by unsigned bytes, numbers as doubles.
// nullopt for any other pair of kinds, and for numbers that do not compare (NaN).
std::optional<std::partial_ordering> compare_ordered(const Payload& a, const Payload& b) {
    if (a.is_string() && b.is_string()) {
        // char_traits<char> compares as unsigned char, a proper prefix first.
        int c = a.get_ref<const std::string&>().compare(b.get_ref<const std::string&>());
        return c < 0 ? std::partial_ordering::less
                     : c > 0 ? std::partial_ordering::greater : std::partial_ordering::equivalent;
    }
    if (a.is_number() && b.is_number()) return a.get<double>() <=> b.get<double>();
    return std::nullopt;
}

bool apply_operator(const Payload& value, const FieldOp& op) {
    switch (op.kind) {
        case FieldOpKind::Eq: return json_equal(value, op.operand);
        case FieldOpKind::Ne: return !json_equal(value, op.operand);
        case FieldOpKind::In:
            for (const Payload& candidate : op.operand) {
                if (json_equal(value, candidate)) return true;
            }
            return false;
        default: break;
    }
    auto order = compare_ordered(value, op.operand);
    if (!order) return false;
    switch (op.kind) {
        case FieldOpKind::Gt: return *order > 0;
        case FieldOpKind::Gte: return *order >= 0;
        case FieldOpKind::Lt: return *order < 0;
        case FieldOpKind::Lte: return *order <= 0;
        default: return false;
    }
}

}  // namespace

const Payload* resolve_path(const Payload& payload, const std::vector<std::string>& path) {
    const Payload* current = &payload;
    for (const std::string& segment : path) {
        if (!current->is_object()) return nullptr;
        auto it = current->find(segment);
        if (it == current->end()) return nullptr;
        current = &*it;
    }
    return current;
}

std::expected<FilterCondition, std::string> parse_filter(const Payload& value) {
    if (!value.is_object()) return parse_error(invalid_type(value, "a map"));
    // $and wins over $or, and either makes every other key of the object irrelevant.
    if (auto it = value.find("$and"); it != value.end()) {
        return parse_children(FilterCondition::Kind::And, *it);
    }
    if (auto it = value.find("$or"); it != value.end()) {
        return parse_children(FilterCondition::Kind::Or, *it);
    }
    if (value.size() != 1) return parse_error(std::string(kSinglePredicateMessage));
    auto entry = value.begin();
    auto op = parse_field_op(entry.value());
    if (!op) return parse_error(std::move(op.error()));
    FilterCondition node;
    node.kind = FilterCondition::Kind::Field;
    node.predicate.field = entry.key();
    node.predicate.path = split_path(entry.key());
    node.predicate.op = std::move(*op);
    return node;
}

bool matches_filter(const Payload& payload, const FilterCondition& filter) {
    switch (filter.kind) {
        case FilterCondition::Kind::And:
            for (const auto& child : filter.children) {
                if (!matches_filter(payload, child)) return false;
            }
            return true;
        case FilterCondition::Kind::Or:
            for (const auto& child : filter.children) {
                if (matches_filter(payload, child)) return true;
            }
            return false;
        case FilterCondition::Kind::Field: {
            const Payload* value = resolve_path(payload, filter.predicate.path);
            return value != nullptr && apply_operator(*value, filter.predicate.op);
        }
    }
    return false;
}

}  // namespace tvdb
