#pragma once

// The payloads of a collection. Each is kept as the compact JSON text its log frame holds;
// value trees are built only once something needs payloads as values (a filter, the payload
// index, a caller asking for a stored reference), and from then on both forms are kept.
// Reads that only copy a payload out (search hits, records) parse its text instead, so a
// collection that is never filtered holds no trees: a parsed tree takes several times the
// memory of its text, and a reopen need not parse anything before its first query.
//
// Writes need exclusive access; reads may run on several threads at once, the first read
// that needs trees building them for all.

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "payload.hpp"
#include "payload_index.hpp"
#include "vector_index.hpp"

namespace tvdb {

class PayloadStore {
public:
    // Stores `text` (payload_to_bytes of `value`, or valid logged text when `value` is
    // absent) under `id`, replacing what it held.
    void set(VectorId id, std::string text, std::optional<Payload> value = std::nullopt);
    void erase(VectorId id);
    void reserve(size_t count) { texts_.reserve(count); }

    size_t size() const { return texts_.size(); }
    // nullptr when the ID has no payload.
    const std::string* text(VectorId id) const;
    // A copy of the payload, parsed from its text while no trees are kept.
    std::optional<Payload> copy(VectorId id) const;
    // Whether value trees are kept (writes must then keep the payload index in step).
    bool has_values() const { return parsed_.load(std::memory_order_acquire); }
    // The payload tree of `id` (nullptr when it has none); builds all trees on first use.
    const Payload* value(VectorId id) const;
    const PayloadMap& values() const;

private:
    void build_values() const;

    std::unordered_map<VectorId, std::string> texts_;
    mutable std::mutex build_mutex_;
    mutable std::atomic<bool> parsed_ = false;
    mutable PayloadMap values_;
};

}  // namespace tvdb
