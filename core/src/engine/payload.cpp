#include "payload.hpp"

namespace tvdb {
namespace {

using value_t = Payload::value_t;

// Numbers are equal only within one representation; a non-negative signed integer is the
// unsigned representation of the same value.
enum class JsonKind { Null, Boolean, Unsigned, Signed, Double, String, Array, Object, Other };

JsonKind kind_of(const Payload& v) {
    switch (v.type()) {
        case value_t::null: return JsonKind::Null;
        case value_t::boolean: return JsonKind::Boolean;
        case value_t::number_unsigned: return JsonKind::Unsigned;
        case value_t::number_integer:
            return v.get<int64_t>() >= 0 ? JsonKind::Unsigned : JsonKind::Signed;
        case value_t::number_float: return JsonKind::Double;
        case value_t::string: return JsonKind::String;
        case value_t::array: return JsonKind::Array;
        case value_t::object: return JsonKind::Object;
        default: return JsonKind::Other;
    }
}


}  // namespace

std::string describe_json_value(const Payload& value) {
    switch (value.type()) {
        case value_t::null: return "null";
        case value_t::boolean: return std::string("boolean `") + (value.get<bool>() ? "true" : "false") + "`";
        case value_t::number_unsigned:
        case value_t::number_integer: return "integer `" + value.dump() + "`";
        case value_t::number_float: return "floating point `" + value.dump() + "`";
        case value_t::string:
            return "string " + value.dump(-1, ' ', false, Payload::error_handler_t::replace);
        case value_t::array: return "sequence";
        case value_t::object: return "map";
        default: return "value";
    }
}

bool json_equal(const Payload& a, const Payload& b) {
    JsonKind kind = kind_of(a);
    if (kind != kind_of(b)) return false;
    switch (kind) {
        case JsonKind::Null: return true;
        case JsonKind::Boolean: return a.get<bool>() == b.get<bool>();
        case JsonKind::Unsigned: return a.get<uint64_t>() == b.get<uint64_t>();
        case JsonKind::Signed: return a.get<int64_t>() == b.get<int64_t>();
        case JsonKind::Double: return a.get<double>() == b.get<double>();
        case JsonKind::String:
            return a.get_ref<const std::string&>() == b.get_ref<const std::string&>();
        case JsonKind::Array: {
            if (a.size() != b.size()) return false;
            for (size_t i = 0; i < a.size(); ++i) {
                if (!json_equal(a[i], b[i])) return false;
            }
            return true;
        }
        case JsonKind::Object: {
            if (a.size() != b.size()) return false;
            for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
                if (ia.key() != ib.key() || !json_equal(ia.value(), ib.value())) return false;
            }
            return true;
        }
        case JsonKind::Other: return a == b;
    }
    return false;
}

std::string payload_to_bytes(const Payload& payload) {
    return payload.dump(-1, ' ', false, Payload::error_handler_t::replace);
}

bool json_nesting_within(std::string_view text, size_t limit) {
    size_t depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') ++i;  // the escaped character cannot end the string
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

bool is_payload_text(std::string_view text) {
    return json_nesting_within(text) && Payload::accept(text);
}

std::optional<Payload> payload_from_bytes(std::span<const uint8_t> bytes) {
    if (!json_nesting_within(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()))) {
        return std::nullopt;
    }
    Payload value = Payload::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

}  // namespace tvdb
