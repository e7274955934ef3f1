#pragma once

// Payload filters: the tree parsed from a filter object ($eq, $ne, $in, $gt, $gte, $lt, $lte,
// $and, $or) and its evaluation against a payload.

#include <expected>
#include <string>
#include <vector>

#include "payload.hpp"

namespace tvdb {

// The seven comparison operators, in the order of their keys "$eq" ... "$lte".
enum class FieldOpKind { Eq, Ne, In, Gt, Gte, Lt, Lte };

struct FieldOp {
    FieldOpKind kind = FieldOpKind::Eq;
    // The operand; for In always an array whose elements are the candidates.
    Payload operand;
};

struct FieldFilter {
    // The path as given, segments separated by ".".
    std::string field;
    // `field` split on every "." (so "a..b" has three segments and "" has one).
    std::vector<std::string> path;
    FieldOp op;
};

// A filter tree: an $and or $or node over children, or one field predicate.
struct FilterCondition {
    enum class Kind { And, Or, Field };
    Kind kind = Kind::And;
    std::vector<FilterCondition> children;  // And, Or
    FieldFilter predicate;                  // Field
};

// Parses a filter tree from a JSON value. The error is the bare parse message, such as
// "FilterCondition must be $and, $or, or a single field predicate"; callers add their own
// prefix ("invalid filter: ...").
std::expected<FilterCondition, std::string> parse_filter(const Payload& value);

// The path's target inside the payload, or nullptr when a step meets a non-object or a
// missing key. Arrays are never indexed.
const Payload* resolve_path(const Payload& payload, const std::vector<std::string>& path);

// Whether a payload satisfies the filter. A vector without payload is evaluated as null.
bool matches_filter(const Payload& payload, const FilterCondition& filter);

}  // namespace tvdb
