#include "error.hpp"

#include <cstring>

#include "quoted_literal.hpp"

namespace tvdb {
namespace {

std::string num(uint64_t value) { return std::to_string(value); }

VectorDbError make(ErrorKind kind) {
    VectorDbError e{};
    e.kind = kind;
    return e;
}

VectorDbError with_text(ErrorKind kind, std::string text) {
    VectorDbError e = make(kind);
    e.text = std::move(text);
    return e;
}

VectorDbError with_number(ErrorKind kind, uint64_t number) {
    VectorDbError e = make(kind);
    e.number = number;
    return e;
}

std::string io_display(const VectorDbError& e) {
    if (e.os_code == 0) return e.text;
    return e.text + " (os error " + std::to_string(e.os_code) + ")";
}

}  // namespace

VectorDbError VectorDbError::dimension_mismatch(uint64_t expected, uint64_t got) {
    VectorDbError e = make(ErrorKind::DimensionMismatch);
    e.expected = expected;
    e.got = got;
    return e;
}
VectorDbError VectorDbError::duplicate_id(uint64_t id) { return with_number(ErrorKind::DuplicateId, id); }
VectorDbError VectorDbError::not_found(uint64_t id) { return with_number(ErrorKind::NotFound, id); }
VectorDbError VectorDbError::empty_index() { return make(ErrorKind::EmptyIndex); }
VectorDbError VectorDbError::invalid_config(std::string text) {
    return with_text(ErrorKind::InvalidConfig, std::move(text));
}
VectorDbError VectorDbError::serialization(std::string text) {
    return with_text(ErrorKind::Serialization, std::move(text));
}
VectorDbError VectorDbError::io_errno(int code) {
    VectorDbError e = with_text(ErrorKind::Io, std::strerror(code));
    e.os_code = code;
    return e;
}
VectorDbError VectorDbError::io_message(std::string message) {
    return with_text(ErrorKind::Io, std::move(message));
}
VectorDbError VectorDbError::collection_already_exists(std::string name) {
    return with_text(ErrorKind::CollectionAlreadyExists, std::move(name));
}
VectorDbError VectorDbError::collection_not_found(std::string name) {
    return with_text(ErrorKind::CollectionNotFound, std::move(name));
}
VectorDbError VectorDbError::wal_corruption(uint64_t entry, std::string reason) {
    VectorDbError e = with_text(ErrorKind::WalCorruption, std::move(reason));
    e.number = entry;
    return e;
}
VectorDbError VectorDbError::embedding_error(std::string text) {
    return with_text(ErrorKind::EmbeddingError, std::move(text));
}
VectorDbError VectorDbError::no_embedder(std::string name) {
    return with_text(ErrorKind::NoEmbedder, std::move(name));
}
VectorDbError VectorDbError::snapshot_already_exists(std::string name) {
    return with_text(ErrorKind::SnapshotAlreadyExists, std::move(name));
}
VectorDbError VectorDbError::snapshot_not_found(std::string name) {
    return with_text(ErrorKind::SnapshotNotFound, std::move(name));
}

std::string VectorDbError::message() const {
    switch (kind) {
        case ErrorKind::DimensionMismatch:
            return "dimension mismatch: expected " + num(expected) + ", got " + num(got);
        case ErrorKind::DuplicateId: return "duplicate vector ID: " + num(number);
        case ErrorKind::NotFound: return "vector ID not found: " + num(number);
        case ErrorKind::EmptyIndex: return "index is empty";
        case ErrorKind::InvalidConfig: return "invalid configuration: " + text;
        case ErrorKind::Serialization: return "serialization error: " + text;
        case ErrorKind::Io: return "I/O error: " + io_display(*this);
        case ErrorKind::CollectionAlreadyExists: return "collection already exists: " + text;
        case ErrorKind::CollectionNotFound: return "collection not found: " + text;
        case ErrorKind::WalCorruption:
            return "WAL corruption at entry " + num(number) + ": " + text;
        case ErrorKind::EmbeddingError: return "embedding error: " + text;
        case ErrorKind::NoEmbedder: return "no embedder configured for collection '" + text + "'";
        case ErrorKind::SnapshotAlreadyExists: return "snapshot already exists: " + text;
        case ErrorKind::SnapshotNotFound: return "snapshot not found: " + text;
    }
    return "unknown error";
}

std::string VectorDbError::debug() const {
    switch (kind) {
        case ErrorKind::DimensionMismatch:
            return "DimensionMismatch { expected: " + num(expected) + ", got: " + num(got) + " }";
        case ErrorKind::DuplicateId: return "DuplicateId(" + num(number) + ")";
        case ErrorKind::NotFound: return "NotFound(" + num(number) + ")";
        case ErrorKind::EmptyIndex: return "EmptyIndex";
        case ErrorKind::InvalidConfig: return "InvalidConfig(" + quoted_literal(text) + ")";
        case ErrorKind::Serialization: return "Serialization(" + quoted_literal(text) + ")";
        case ErrorKind::Io:
            if (os_code == 0) return "Io(" + quoted_literal(text) + ")";
            return "Io(Os { code: " + std::to_string(os_code) + ", message: " + quoted_literal(text) + " })";
        case ErrorKind::CollectionAlreadyExists: return "CollectionAlreadyExists(" + quoted_literal(text) + ")";
        case ErrorKind::CollectionNotFound: return "CollectionNotFound(" + quoted_literal(text) + ")";
        case ErrorKind::WalCorruption:
            return "WalCorruption { entry: " + num(number) + ", reason: " + quoted_literal(text) + " }";
        case ErrorKind::EmbeddingError: return "EmbeddingError(" + quoted_literal(text) + ")";
        case ErrorKind::NoEmbedder: return "NoEmbedder(" + quoted_literal(text) + ")";
        case ErrorKind::SnapshotAlreadyExists: return "SnapshotAlreadyExists(" + quoted_literal(text) + ")";
        case ErrorKind::SnapshotNotFound: return "SnapshotNotFound(" + quoted_literal(text) + ")";
    }
    return "Unknown";
}

}  // namespace tvdb
