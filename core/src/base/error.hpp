#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <system_error>

namespace tvdb {

// The variant order is the variant number; nothing stores it.
enum class ErrorKind : uint8_t {
    DimensionMismatch,
    DuplicateId,
    NotFound,
    EmptyIndex,
    InvalidConfig,
    Serialization,
    Io,
    CollectionAlreadyExists,
    CollectionNotFound,
    WalCorruption,
    EmbeddingError,
    NoEmbedder,
    SnapshotAlreadyExists,
    SnapshotNotFound,
};

// The single error value of the core. Which fields are meaningful depends on `kind`:
// `expected`/`got` for DimensionMismatch, `number` for the ID of DuplicateId/NotFound and
// the entry of WalCorruption, `text` for every textual field, `os_code` for an Io error
// raised by the operating system (0 for other I/O errors).
struct VectorDbError {
    ErrorKind kind;
    uint64_t expected = 0;
    uint64_t got = 0;
    uint64_t number = 0;
    std::string text;
    int os_code = 0;

    static VectorDbError dimension_mismatch(uint64_t expected, uint64_t got);
    static VectorDbError duplicate_id(uint64_t id);
    static VectorDbError not_found(uint64_t id);
    static VectorDbError empty_index();
    static VectorDbError invalid_config(std::string text);
    static VectorDbError serialization(std::string text);
    // An operating-system error: displayed as "{strerror} (os error {code})".
    static VectorDbError io_errno(int code);
    // The same for a failure the filesystem library reported through an error code.
    static VectorDbError io_errno(const std::error_code& code) { return io_errno(code.value()); }
    // An I/O error not caused by the operating system: displayed as its own message.
    static VectorDbError io_message(std::string message);
    static VectorDbError collection_already_exists(std::string name);
    static VectorDbError collection_not_found(std::string name);
    static VectorDbError wal_corruption(uint64_t entry, std::string reason);
    static VectorDbError embedding_error(std::string text);
    static VectorDbError no_embedder(std::string name);
    static VectorDbError snapshot_already_exists(std::string name);
    static VectorDbError snapshot_not_found(std::string name);

    // The fixed display text of the variant.
    std::string message() const;
    // The rendering for logs: variant name and fields.
    std::string debug() const;
};

template <typename T>
using Result = std::expected<T, VectorDbError>;

inline std::unexpected<VectorDbError> fail(VectorDbError error) {
    return std::unexpected<VectorDbError>(std::move(error));
}

}  // namespace tvdb
