#pragma once

// Conversions between Python objects and the JSON values that collections store as payloads
// and parse as filters.

#include <nanobind/nanobind.h>
#include <nlohmann/json.hpp>

#include "payload.hpp"

namespace tvdb::py {

// Deeper structures are refused with ValueError, so a self-referencing or adversarially deep
// object can never exhaust the native stack. The core refuses stored JSON text nested deeper
// than the same limit, so every payload read back converts.
inline constexpr int kMaxJsonDepth = static_cast<int>(kMaxJsonNesting);

// None, bool, integers, floats (NaN and infinities become null), str, dict with str keys and
// list convert structurally; any other object becomes the text str() makes of it.
nlohmann::json py_to_json(nanobind::handle object);

// Integers above the signed 64-bit range come back as float; object keys in byte order.
nanobind::object json_to_py(const nlohmann::json& value);

}  // namespace tvdb::py
