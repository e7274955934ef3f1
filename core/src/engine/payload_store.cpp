#include "payload_store.hpp"

namespace tvdb {
namespace {

// Stored texts were checked when they were logged or replayed, so a parse never fails here;
// a text that did would read as no payload.
std::optional<Payload> parse_stored(const std::string& text) {
    return payload_from_bytes(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

}  // namespace

void PayloadStore::set(VectorId id, std::string text, std::optional<Payload> value) {
    if (has_values()) {
        if (!value) value = parse_stored(text);
        if (value) values_.insert_or_assign(id, std::move(*value));
        else values_.erase(id);
    }
    texts_.insert_or_assign(id, std::move(text));
}

void PayloadStore::erase(VectorId id) {
    texts_.erase(id);
    if (has_values()) values_.erase(id);
}

const std::string* PayloadStore::text(VectorId id) const {
    auto it = texts_.find(id);
    return it == texts_.end() ? nullptr : &it->second;
}

std::optional<Payload> PayloadStore::copy(VectorId id) const {
    if (has_values()) {
        auto it = values_.find(id);
        if (it == values_.end()) return std::nullopt;
        return it->second;
    }
    const std::string* stored = text(id);
    if (stored == nullptr) return std::nullopt;
    return parse_stored(*stored);
}

const Payload* PayloadStore::value(VectorId id) const {
    build_values();
    auto it = values_.find(id);
    return it == values_.end() ? nullptr : &it->second;
}

const PayloadMap& PayloadStore::values() const {
    build_values();
    return values_;
}

void PayloadStore::build_values() const {
    if (has_values()) return;
    std::lock_guard lock(build_mutex_);
    if (has_values()) return;
    values_.reserve(texts_.size());
    for (const auto& [id, text] : texts_) {
        if (auto value = parse_stored(text)) values_.emplace(id, std::move(*value));
    }
    parsed_.store(true, std::memory_order_release);
}

}  // namespace tvdb
