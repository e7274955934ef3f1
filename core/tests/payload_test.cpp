#include "filter.hpp"
#include "payload.hpp"

#include <gtest/gtest.h>

using tvdb::FilterCondition;
using tvdb::Payload;
using tvdb::matches_filter;
using tvdb::parse_filter;

namespace {

Payload json(const char* text) { return Payload::parse(text); }

std::string parse_error_of(const char* filter_text) {
    auto parsed = parse_filter(json(filter_text));
    EXPECT_FALSE(parsed) << filter_text;
    return parsed ? std::string() : parsed.error();
}

bool matches(const char* payload_text, const char* filter_text) {
    auto filter = parse_filter(json(filter_text));
    EXPECT_TRUE(filter) << filter_text << ": " << (filter ? "" : filter.error());
    return filter && matches_filter(json(payload_text), *filter);
}

constexpr const char* kUnknownOperator =
    "unknown variant `$foo`, expected one of `$eq`, `$ne`, `$in`, `$gt`, `$gte`, `$lt`, `$lte`";

}  // namespace

TEST(ParseFilter, RejectsMalformedFiltersWithExactMessages) {
    EXPECT_EQ(parse_error_of("{}"), "FilterCondition must be $and, $or, or a single field predicate");
    EXPECT_EQ(parse_error_of(R"({"a": {"$eq": 1}, "b": {"$eq": 2}})"),
              "FilterCondition must be $and, $or, or a single field predicate");
    EXPECT_EQ(parse_error_of("5"), "invalid type: integer `5`, expected a map");
    EXPECT_EQ(parse_error_of("-5"), "invalid type: integer `-5`, expected a map");
    EXPECT_EQ(parse_error_of("1.5"), "invalid type: floating point `1.5`, expected a map");
    EXPECT_EQ(parse_error_of(R"("abc")"), "invalid type: string \"abc\", expected a map");
    EXPECT_EQ(parse_error_of("true"), "invalid type: boolean `true`, expected a map");
    EXPECT_EQ(parse_error_of("null"), "invalid type: null, expected a map");
    EXPECT_EQ(parse_error_of("[]"), "invalid type: sequence, expected a map");
    EXPECT_EQ(parse_error_of(R"({"a": 5})"), "invalid type: integer `5`, expected string or map");
    EXPECT_EQ(parse_error_of(R"({"a": [1]})"), "invalid type: sequence, expected string or map");
    EXPECT_EQ(parse_error_of(R"({"a": {"$in": 5}})"), "invalid type: integer `5`, expected a sequence");
    EXPECT_EQ(parse_error_of(R"({"a": {"$in": {"x": 1}}})"), "invalid type: map, expected a sequence");
    EXPECT_EQ(parse_error_of(R"({"a": {"$foo": 1}})"), kUnknownOperator);
    EXPECT_EQ(parse_error_of(R"({"a": "$foo"})"), kUnknownOperator);
    EXPECT_EQ(parse_error_of(R"({"a": "$eq"})"), "invalid type: unit variant, expected newtype variant");
    EXPECT_EQ(parse_error_of(R"({"a": {}})"), "invalid value: map, expected map with a single key");
    EXPECT_EQ(parse_error_of(R"({"a": {"$eq": 1, "$ne": 2}})"),
              "invalid value: map, expected map with a single key");
    EXPECT_EQ(parse_error_of(R"({"$and": {"a": 1}})"), "invalid type: map, expected a sequence");
    EXPECT_EQ(parse_error_of(R"({"$or": "x"})"), "invalid type: string \"x\", expected a sequence");
}

TEST(ParseFilter, NestedErrorsKeepTheirOwnMessage) {
    EXPECT_EQ(parse_error_of(R"({"$and": [{"a": {"$eq": 1}}, {"$or": [{}]}]})"),
              "FilterCondition must be $and, $or, or a single field predicate");
    EXPECT_EQ(parse_error_of(R"({"$or": [{"a": {"$in": null}}]})"),
              "invalid type: null, expected a sequence");
}

TEST(ParseFilter, AndWinsOverEveryOtherKey) {
    auto filter = parse_filter(json(R"({"$and": [], "$or": [{"a": {"$eq": 1}}], "x": {"$eq": 1}})"));
    ASSERT_TRUE(filter);
    EXPECT_EQ(filter->kind, FilterCondition::Kind::And);
    EXPECT_TRUE(filter->children.empty());
    auto or_filter = parse_filter(json(R"({"$or": [], "x": 5})"));
    ASSERT_TRUE(or_filter);
    EXPECT_EQ(or_filter->kind, FilterCondition::Kind::Or);
}

TEST(ParseFilter, OperandsOtherThanInMayBeAnyValue) {
    for (const char* text : {R"({"a": {"$eq": null}})", R"({"a": {"$ne": [1, 2]}})",
                             R"({"a": {"$gt": {"b": 1}}})", R"({"": {"$lte": "z"}})"}) {
        EXPECT_TRUE(parse_filter(json(text))) << text;
    }
}

TEST(MatchesFilter, EmptyAndMatchesEverythingAndEmptyOrNothing) {
    EXPECT_TRUE(matches("null", R"({"$and": []})"));
    EXPECT_TRUE(matches(R"({"a": 1})", R"({"$and": []})"));
    EXPECT_FALSE(matches("null", R"({"$or": []})"));
    EXPECT_FALSE(matches(R"({"a": 1})", R"({"$or": []})"));
}

TEST(MatchesFilter, ResolvesDottedPathsThroughObjectsOnly) {
    const char* payload = R"({"a": {"b": 3}, "list": [{"x": 1}], "": {"": {"k": 1}}})";
    EXPECT_TRUE(matches(payload, R"({"a.b": {"$gt": 2}})"));
    EXPECT_FALSE(matches(payload, R"({"a.c": {"$ne": 3}})"));
    EXPECT_FALSE(matches(payload, R"({"a.b.c": {"$ne": 1}})"));
    EXPECT_FALSE(matches(payload, R"({"list.0.x": {"$eq": 1}})"));
    EXPECT_TRUE(matches(payload, R"({"..k": {"$eq": 1}})"));
    EXPECT_FALSE(matches(R"([1, 2])", R"({"a": {"$ne": 1}})"));
    EXPECT_FALSE(matches(R"("text")", R"({"a": {"$ne": 1}})"));
    EXPECT_FALSE(matches("null", R"({"a": {"$ne": 1}})"));
}

TEST(MatchesFilter, EqualityKeepsIntegerAndDoubleApartButOrderingDoesNot) {
    EXPECT_FALSE(matches(R"({"n": 1})", R"({"n": {"$eq": 1.0}})"));
    EXPECT_TRUE(matches(R"({"n": 1})", R"({"n": {"$ne": 1.0}})"));
    EXPECT_FALSE(matches(R"({"n": 1})", R"({"n": {"$in": [1.0]}})"));
    EXPECT_TRUE(matches(R"({"n": 1})", R"({"n": {"$gte": 1.0}})"));
    EXPECT_TRUE(matches(R"({"n": 1})", R"({"n": {"$lte": 1}})"));
    EXPECT_TRUE(matches(R"({"n": -2})", R"({"n": {"$eq": -2}})"));
    EXPECT_TRUE(matches(R"({"n": -2})", R"({"n": {"$lt": 0}})"));
    EXPECT_TRUE(matches(R"({"n": 18446744073709551615})", R"({"n": {"$gt": 1e19}})"));
}

TEST(MatchesFilter, NonNegativeSignedIntegerEqualsItsUnsignedForm) {
    Payload payload = {{"n", int64_t{5}}};
    auto filter = parse_filter(json(R"({"n": {"$eq": 5}})"));
    ASSERT_TRUE(filter);
    EXPECT_TRUE(matches_filter(payload, *filter));
}

TEST(MatchesFilter, OrdersStringsByBytesAndRejectsMixedKinds) {
    EXPECT_TRUE(matches(R"({"s": "apple"})", R"({"s": {"$lt": "banana"}})"));
    EXPECT_TRUE(matches(R"({"s": "app"})", R"({"s": {"$lt": "apple"}})"));
    EXPECT_TRUE(matches(R"({"s": "\u00e9"})", R"({"s": {"$gt": "z"}})"));
    EXPECT_FALSE(matches(R"({"s": "apple"})", R"({"s": {"$lt": 5}})"));
    EXPECT_TRUE(matches(R"({"s": "apple"})", R"({"s": {"$ne": 5}})"));
    EXPECT_FALSE(matches(R"({"b": true})", R"({"b": {"$gte": false}})"));
    EXPECT_FALSE(matches(R"({"z": null})", R"({"z": {"$lte": null}})"));
    EXPECT_FALSE(matches(R"({"l": [1]})", R"({"l": {"$gte": [1]}})"));
}

TEST(MatchesFilter, InComparesArraysWhole) {
    const char* payload = R"({"tags": ["a", "b"]})";
    EXPECT_FALSE(matches(payload, R"({"tags": {"$in": ["a"]}})"));
    EXPECT_TRUE(matches(payload, R"({"tags": {"$eq": ["a", "b"]}})"));
    EXPECT_FALSE(matches(payload, R"({"tags": {"$eq": ["b", "a"]}})"));
    EXPECT_TRUE(matches(payload, R"({"tags": {"$in": [["a", "b"]]}})"));
    EXPECT_FALSE(matches(R"({"t": 1})", R"({"t": {"$in": []}})"));
}

TEST(MatchesFilter, ObjectsCompareStructurally) {
    EXPECT_TRUE(matches(R"({"o": {"x": 1, "y": [null]}})", R"({"o": {"$eq": {"y": [null], "x": 1}}})"));
    EXPECT_FALSE(matches(R"({"o": {"x": 1}})", R"({"o": {"$eq": {"x": 1, "y": 2}}})"));
    EXPECT_FALSE(matches(R"({"o": {"x": 1}})", R"({"o": {"$eq": {"x": 1.0}}})"));
    EXPECT_TRUE(matches(R"({"z": null})", R"({"z": {"$eq": null}})"));
}

TEST(MatchesFilter, AndOrShortCircuitInOrder) {
    const char* payload = R"({"year": 2021, "lang": "de"})";
    EXPECT_TRUE(matches(payload, R"({"$and": [{"year": {"$gte": 2020}}, {"lang": {"$in": ["en", "de"]}}]})"));
    EXPECT_FALSE(matches(payload, R"({"$and": [{"year": {"$gte": 2022}}, {"lang": {"$eq": "de"}}]})"));
    EXPECT_TRUE(matches(payload, R"({"$or": [{"year": {"$gte": 2022}}, {"lang": {"$eq": "de"}}]})"));
}

TEST(PayloadBytes, CompactTextWithSortedKeysRoundTrips) {
    Payload value = json(R"({"b": 1.0, "a": [-1, 2, "x"], "c": {"z": null, "y": true}})");
    std::string text = tvdb::payload_to_bytes(value);
    EXPECT_EQ(text, R"({"a":[-1,2,"x"],"b":1.0,"c":{"y":true,"z":null}})");
    auto back = tvdb::payload_from_bytes(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    ASSERT_TRUE(back);
    EXPECT_TRUE(tvdb::json_equal(*back, value));
    EXPECT_TRUE((*back)["b"].is_number_float());
    std::string bad = "{\"a\":";
    EXPECT_FALSE(tvdb::payload_from_bytes(std::span(reinterpret_cast<const uint8_t*>(bad.data()), bad.size())));
}

TEST(PayloadBytes, NestingIsCountedOutsideStringsOnly) {
    using tvdb::json_nesting_within;
    EXPECT_TRUE(json_nesting_within(R"({"a": [1, {"b": []}]})", 4));
    EXPECT_FALSE(json_nesting_within(R"({"a": [1, {"b": []}]})", 3));
    // Brackets and escaped quotes inside strings are text.
    EXPECT_TRUE(json_nesting_within(R"(["[[[{{", "\"[[", "\\"])", 1));
    EXPECT_FALSE(json_nesting_within(R"(["\\", [[]]])", 2));
}
