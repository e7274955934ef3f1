#pragma once

// Payloads: the JSON value kept beside a vector, its log text and its comparison.
//
// A payload is an nlohmann::json whose objects iterate in ascending byte order of their keys
// (the library's default std::map). Numbers keep three representations apart: non-negative
// integers are number_unsigned, negative integers number_integer, and everything else a
// finite number_float. Builders of payloads (the Python conversion) should store
// non-negative integers as unsigned; equality below also treats a non-negative
// number_integer as unsigned, so either form compares the same way.

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace tvdb {

using Payload = nlohmann::json;

// Structural equality: same kind and, for numbers, the same representation as well as the
// same value (integer 1 never equals double 1.0); objects compare key by key.
bool json_equal(const Payload& a, const Payload& b);

// How deep arrays and objects may nest in a payload. Copying, comparing, printing and
// converting a JSON value recurse once per level, so a deeper value could exhaust the stack;
// the Python conversion refuses deeper payloads, and every parse of stored JSON text (log
// payloads, meta.json, snapshot.json) refuses deeper text.
inline constexpr size_t kMaxJsonNesting = 128;

// Whether the arrays and objects of `text` nest at most `limit` levels deep. Brackets inside
// strings do not count; the text need not be valid JSON.
bool json_nesting_within(std::string_view text, size_t limit = kMaxJsonNesting);

// The compact JSON text stored in the log: no whitespace, keys in byte order, doubles in
// shortest round-trip form. Never throws (invalid UTF-8 in strings is replaced).
std::string payload_to_bytes(const Payload& payload);
// Parses payload text from the log; nullopt when it is not valid JSON or nests deeper than
// kMaxJsonNesting.
std::optional<Payload> payload_from_bytes(std::span<const uint8_t> bytes);

// Whether payload_from_bytes would accept `text`, checked without building the value.
bool is_payload_text(std::string_view text);

// How a JSON value is named in a type error: integer `5`, floating point `1.5`,
// string "abc", boolean `true`, null, sequence, map.
std::string describe_json_value(const Payload& value);

}  // namespace tvdb
