#include "wal.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "file_io.hpp"
#include "wal_format.hpp"

namespace tvdb {
namespace {

using namespace wal_format;

std::optional<std::span<const uint8_t>> as_bytes(std::optional<std::string_view> text) {
    if (!text) return std::nullopt;
    return std::span(reinterpret_cast<const uint8_t*>(text->data()), text->size());
}

template <typename Encoder>
void put_option_bytes(Encoder& out, std::optional<std::span<const uint8_t>> bytes) {
    out.boolean(bytes.has_value());
    if (bytes) {
        out.count(bytes->size());
        out.raw(bytes->data(), bytes->size());
    }
}

// The Add record field by field, from borrowed data.
template <typename Encoder>
void put_add_record(Encoder& out, VectorId id, std::span<const float> vector,
                    std::optional<std::span<const uint8_t>> payload,
                    std::optional<std::span<const uint8_t>> sparse) {
    out.u32(kAddVariant);
    out.u64(id);
    out.f32_seq(vector);
    put_option_bytes(out, payload);
    put_option_bytes(out, sparse);
}

template <typename Encoder>
void put_delete_record(Encoder& out, VectorId id) {
    out.u32(kDeleteVariant);
    out.u64(id);
}

std::optional<std::span<const uint8_t>> take_option_bytes(RecordDecoder& in) {
    if (!in.boolean()) return std::nullopt;
    uint64_t size = in.count(1);
    return in.raw(size);
}

std::optional<WalFrame> decode_wal_frame(std::span<const uint8_t> record) {
    RecordDecoder in(record);
    uint32_t variant = in.variant(kVariantCount);
    if (!in.ok()) return std::nullopt;
    WalFrame frame;
    if (variant == kDeleteVariant) {
        frame.is_delete = true;
        frame.id = in.u64();
        if (!in.ok()) return std::nullopt;
        return frame;
    }
    frame.id = in.u64();
    frame.vector_bytes = in.raw(in.count(sizeof(float)) * sizeof(float));
    if (auto payload = take_option_bytes(in)) {
        frame.payload = std::string_view(reinterpret_cast<const char*>(payload->data()), payload->size());
    }
    frame.sparse = take_option_bytes(in);
    if (!in.ok()) return std::nullopt;
    return frame;
}

WalEntry entry_of(const WalFrame& frame) {
    if (frame.is_delete) return WalDelete{.id = frame.id};
    WalAdd add{.id = frame.id, .vector = std::vector<float>(frame.components()), .payload = std::nullopt, .sparse = std::nullopt};
    if (!frame.vector_bytes.empty()) std::memcpy(add.vector.data(), frame.vector_bytes.data(), frame.vector_bytes.size());
    if (frame.payload) add.payload.emplace(*frame.payload);
    if (frame.sparse) add.sparse.emplace(frame.sparse->begin(), frame.sparse->end());
    return add;
}

}  // namespace

std::vector<uint8_t> encode_wal_record(const WalEntry& entry) {
    ByteEncoder out;
    if (const auto* add = std::get_if<WalAdd>(&entry)) {
        std::optional<std::span<const uint8_t>> sparse;
        if (add->sparse) sparse = std::span<const uint8_t>(*add->sparse);
        std::optional<std::string_view> payload;
        if (add->payload) payload = *add->payload;
        put_add_record(out, add->id, add->vector, as_bytes(payload), sparse);
    } else {
        put_delete_record(out, std::get<WalDelete>(entry).id);
    }
    return out.take();
}

std::optional<WalEntry> decode_wal_record(std::span<const uint8_t> record) {
    auto frame = decode_wal_frame(record);
    if (!frame) return std::nullopt;
    return entry_of(*frame);
}

uint64_t wal_add_record_length(size_t components, std::optional<size_t> payload_bytes,
                               std::optional<size_t> sparse_bytes) {
    return add_record_length(components, payload_bytes, sparse_bytes);
}

Result<void> check_wal_record_length(VectorId id, uint64_t length) {
    if (length <= kMaxRecordLength) return {};
    return fail(VectorDbError::invalid_config(
        "the log record for vector " + std::to_string(id) + " would take " +
        std::to_string(length) + " bytes, more than the limit of " +
        std::to_string(kMaxRecordLength)));
}

Result<MappedFile> map_wal(const std::string& path) {
    // A log is always inside a collection directory: a symbolic link in its place is refused.
    auto mapped = MappedFile::map(path, Symlinks::Refuse);
    if (!mapped && mapped.error().os_code == ENOENT) return MappedFile();
    return mapped;
}

WalReadSummary walk_wal(std::span<const uint8_t> log,
                        const std::function<void(const WalFrame&)>& visit) {
    WalReadSummary summary;
    for (;;) {
        const uint64_t at = summary.valid_length;
        if (log.size() - at < kLengthPrefixSize) break;
        uint32_t length = 0;
        std::memcpy(&length, log.data() + at, sizeof length);
        // An oversized length ends the log; so does a frame running past the end.
        if (length > kMaxRecordLength || length > log.size() - at - kLengthPrefixSize) break;
        summary.valid_length = at + kLengthPrefixSize + length;
        if (auto frame = decode_wal_frame(log.subspan(at + kLengthPrefixSize, length))) {
            ++summary.frames_applied;
            visit(*frame);
        } else {
            ++summary.frames_skipped;
        }
    }
    summary.trailing_bytes = log.size() - summary.valid_length;
    return summary;
}

Result<WalReadSummary> read_wal(const std::string& path,
                                const std::function<void(WalEntry&&)>& apply) {
    auto log = map_wal(path);
    if (!log) return fail(log.error());
    return walk_wal(log->bytes(), [&](const WalFrame& frame) { apply(entry_of(frame)); });
}

Result<LogFileWriter> LogFileWriter::open(const std::string& path, bool truncate) {
    if (truncate) {
        auto fd = create_fresh(path, O_APPEND);
        if (!fd) return fail(fd.error());
        return LogFileWriter(std::move(*fd), 0);
    }
    auto file = open_sized(path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW);
    if (!file) return fail(file.error());
    return LogFileWriter(std::move(file->fd), file->size);
}

Result<void> LogFileWriter::flush() { return io_result(file_.flush()); }

Result<void> LogFileWriter::reset_to(uint64_t size) {
    if (int code = file_.truncate_to(size); code != 0) return fail(VectorDbError::io_errno(code));
    return {};
}

Result<void> LogFileWriter::close() { return io_result(file_.close()); }

void LogFileWriter::add_frame(VectorId id, std::span<const float> vector,
                              std::optional<std::string_view> payload,
                              std::optional<std::span<const uint8_t>> sparse) {
    std::optional<uint64_t> payload_size, sparse_size;
    if (payload) payload_size = payload->size();
    if (sparse) sparse_size = sparse->size();
    u32(static_cast<uint32_t>(add_record_length(vector.size(), payload_size, sparse_size)));
    put_add_record(*this, id, vector, as_bytes(payload), sparse);
}

void LogFileWriter::delete_frame(VectorId id) {
    u32(static_cast<uint32_t>(kDeleteRecordSize));
    put_delete_record(*this, id);
}

Wal::Wal(std::string path, LogFileWriter writer)
    : path_(std::move(path)), writer_(std::move(writer)), acknowledged_size_(writer_->size()) {}

Wal::~Wal() {
    if (writer_) (void)writer_->close();
}

Result<Wal> Wal::open(const std::string& path) {
    auto writer = LogFileWriter::open(path, false);
    if (!writer) return fail(writer.error());
    return Wal(path, std::move(*writer));
}

Result<void> Wal::check_append() {
    if (!writer_) return fail(VectorDbError::io_message("the log is closed"));
    // A previous failure whose cut-back did not succeed is retried before anything new
    // is added behind the unacknowledged bytes.
    if (writer_->size() != acknowledged_size_ && pending_frames_ == 0) {
        if (auto reset = writer_->reset_to(acknowledged_size_); !reset) return reset;
    }
    return {};
}

Result<void> Wal::append_add(VectorId id, std::span<const float> vector,
                             std::optional<std::string_view> payload,
                             std::optional<std::span<const uint8_t>> sparse) {
    if (auto ok = check_append(); !ok) return ok;
    writer_->add_frame(id, vector, payload, sparse);
    return after_append();
}

Result<void> Wal::append_delete(VectorId id) {
    if (auto ok = check_append(); !ok) return ok;
    writer_->delete_frame(id);
    return after_append();
}

Result<void> Wal::after_append() {
    ++pending_frames_;
    if (auto status = writer_->status(); !status) {
        discard_pending();
        return status;
    }
    return {};
}

Result<void> Wal::flush() {
    if (!writer_) return fail(VectorDbError::io_message("the log is closed"));
    if (auto flushed = writer_->flush(); !flushed) {
        discard_pending();
        return flushed;
    }
    acknowledged_size_ = writer_->size();
    pending_frames_ = 0;
    return {};
}

void Wal::discard_pending() {
    pending_frames_ = 0;
    if (writer_) (void)writer_->reset_to(acknowledged_size_);
}

Result<uint64_t> Wal::compact(const std::string& path, std::span<const WalEntry> entries) {
    auto rewriter = WalRewriter::begin(path);
    if (!rewriter) return fail(rewriter.error());
    for (const WalEntry& entry : entries) rewriter->add_entry(entry);
    return rewriter->commit();
}

std::string wal_rewrite_path(const std::string& path) {
    return std::filesystem::path(path).replace_extension("log.tmp").string();
}

Result<WalRewriter> WalRewriter::begin(const std::string& path) {
    std::string temporary = wal_rewrite_path(path);
    auto writer = LogFileWriter::open(temporary, true);
    if (!writer) return fail(writer.error());
    return WalRewriter(path, std::move(temporary), std::move(*writer));
}

WalRewriter::WalRewriter(std::string path, std::string temporary_path, LogFileWriter writer)
    : path_(std::move(path)), temporary_path_(std::move(temporary_path)), writer_(std::move(writer)) {}

WalRewriter::~WalRewriter() {
    if (!writer_) return;
    (void)writer_->close();
    ::unlink(temporary_path_.c_str());
}

void WalRewriter::add(VectorId id, std::span<const float> vector,
                      std::optional<std::string_view> payload,
                      std::optional<std::span<const uint8_t>> sparse) {
    writer_->add_frame(id, vector, payload, sparse);
    ++frames_;
}

void WalRewriter::add_entry(const WalEntry& entry) {
    if (const auto* add = std::get_if<WalAdd>(&entry)) {
        std::optional<std::string_view> payload;
        if (add->payload) payload = *add->payload;
        std::optional<std::span<const uint8_t>> sparse;
        if (add->sparse) sparse = std::span<const uint8_t>(*add->sparse);
        this->add(add->id, add->vector, payload, sparse);
    } else {
        writer_->delete_frame(std::get<WalDelete>(entry).id);
        ++frames_;
    }
}

Result<uint64_t> WalRewriter::commit() {
    auto closed = writer_->close();
    if (!closed) return fail(closed.error());
    writer_.reset();
    if (auto renamed = rename_over(temporary_path_, path_); !renamed) return fail(renamed.error());
    return frames_;
}

}  // namespace tvdb
