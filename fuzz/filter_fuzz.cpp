// The payload filter parser and evaluator. The input is JSON text of a filter, optionally
// followed by a zero byte and the JSON text of a payload to evaluate it against. Payload
// text must also survive the log's compact encoding and decoding.

#include <algorithm>

#include "filter.hpp"
#include "fuzz_support.hpp"
#include "payload.hpp"

namespace tvdb::fuzz {

void write_seeds(const std::string& dir) {
    const char* seeds[][2] = {
        {R"({"color":"red"})", R"({"color":"red","n":3})"},
        {R"({"n":{"$gt":2}})", R"({"n":3})"},
        {R"({"n":{"$lte":-1.5}})", R"({"n":-2})"},
        {R"({"tag":{"$in":["a","b",1]}})", R"({"tag":"b"})"},
        {R"({"tag":{"$ne":null}})", "null"},
        {R"({"$and":[{"a.b":{"$eq":true}},{"$or":[{"c":{"$lt":10}},{"d":"x"}]}]})",
         R"({"a":{"b":true},"c":4,"d":"y"})"},
        {R"({"$or":[]})", "[]"},
        {R"({"n":{"$gte":18446744073709551615}})", R"({"n":18446744073709551615})"},
        {R"({})", R"({"x":1e300})"},
    };
    int seed = 0;
    for (const auto& [filter, payload] : seeds) {
        std::string text = std::string(filter) + '\0' + payload;
        write_bytes(dir + "/seed_" + std::to_string(seed++),
                    reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }
}

}  // namespace tvdb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tvdb;
    const uint8_t* end = data + size;
    const uint8_t* split = std::find(data, end, uint8_t{0});
    auto filter_json = Payload::parse(data, split, nullptr, /*allow_exceptions=*/false);
    Payload payload = nullptr;
    if (split != end) {
        auto parsed = payload_from_bytes(std::span<const uint8_t>(split + 1, end));
        if (parsed) {
            payload = std::move(*parsed);
            std::string encoded = payload_to_bytes(payload);
            auto decoded = payload_from_bytes(std::span<const uint8_t>(
                reinterpret_cast<const uint8_t*>(encoded.data()), encoded.size()));
            fuzz::require(decoded.has_value(), "an encoded payload decodes");
            fuzz::require(payload_to_bytes(*decoded) == encoded, "payload encoding is stable");
        }
    }
    if (filter_json.is_discarded()) return 0;
    auto filter = parse_filter(filter_json);
    if (!filter) return 0;
    (void)matches_filter(payload, *filter);
    (void)matches_filter(filter_json, *filter);
    return 0;
}
