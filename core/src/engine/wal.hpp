#pragma once

// The write-ahead log of a collection: every change is appended here before it is applied
// in memory, and replaying the file rebuilds the collection. Frame layout: wal_format.hpp.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "codec.hpp"
#include "error.hpp"
#include "mapped_file.hpp"
#include "vector_index.hpp"

namespace tvdb {

struct WalAdd {
    VectorId id = 0;
    std::vector<float> vector;
    // Compact JSON text of the payload; absent when the vector has none.
    std::optional<std::string> payload;
    // One encoded SparseVector record; absent when the record carries no sparse vector.
    std::optional<std::vector<uint8_t>> sparse;
};

struct WalDelete {
    VectorId id = 0;
};

using WalEntry = std::variant<WalAdd, WalDelete>;

// One frame of a log, borrowing its bytes from the log's mapping.
struct WalFrame {
    VectorId id = 0;
    bool is_delete = false;
    // An Add's vector as stored: little-endian floats, not necessarily 4-byte aligned.
    std::span<const uint8_t> vector_bytes;
    std::optional<std::string_view> payload;
    std::optional<std::span<const uint8_t>> sparse;

    size_t components() const { return vector_bytes.size() / sizeof(float); }
};

// The record bytes of an entry (without the length prefix).
std::vector<uint8_t> encode_wal_record(const WalEntry& entry);
// nullopt when the record does not decode (unknown variant, a field past the end).
std::optional<WalEntry> decode_wal_record(std::span<const uint8_t> record);

// Length of the Add record that would carry these fields.
uint64_t wal_add_record_length(size_t components, std::optional<size_t> payload_bytes,
                               std::optional<size_t> sparse_bytes);

// InvalidConfig when an Add record of `length` bytes could not be replayed (a length above
// the limit ends the log).
Result<void> check_wal_record_length(VectorId id, uint64_t length);

// What a walk through a log found.
struct WalReadSummary {
    uint64_t frames_applied = 0;
    uint64_t frames_skipped = 0;
    // Offset just past the last complete frame (a skipped frame is complete too).
    uint64_t valid_length = 0;
    // Bytes after valid_length: a torn frame or an oversized length prefix and what follows.
    uint64_t trailing_bytes = 0;
};

// The log at `path` mapped read-only (a symbolic link in its place is refused); a missing
// file maps as no bytes. Io when it cannot be opened or mapped.
Result<MappedFile> map_wal(const std::string& path);

// Walks the frames of a log's bytes in file order, handing every decoded one to `visit`.
// The end of the bytes inside a frame, or a length above the limit, ends the log normally;
// an undecodable record is skipped.
WalReadSummary walk_wal(std::span<const uint8_t> log,
                        const std::function<void(const WalFrame&)>& visit);

// map_wal, then walk_wal with every frame decoded into an entry of its own.
Result<WalReadSummary> read_wal(const std::string& path,
                                const std::function<void(WalEntry&&)>& apply);

// An append-only file writer with a 64 KiB buffer (fewer write calls for batches and
// rewrites; nothing is visible before a flush either way). The first write failure is kept:
// later bytes are dropped and `flush` reports it.
class LogFileWriter : public RecordEncoder<LogFileWriter> {
public:
    static constexpr size_t kBufferSize = 65536;

    // Opens for appending (creating, mode 0666 before the umask); `truncate` empties it.
    static Result<LogFileWriter> open(const std::string& path, bool truncate);

    void put_bytes(const void* data, size_t size) { file_.append(data, size); }
    // Pushes the buffer to the operating system; Io on the first failure since the last
    // `reset_to`.
    Result<void> flush();
    // Drops the buffer and cuts the file back to `size` bytes, clearing a kept failure.
    Result<void> reset_to(uint64_t size);
    Result<void> close();
    // Io when a write has failed since the last `reset_to`.
    Result<void> status() const { return io_result(file_.error()); }
    // Bytes handed to the operating system plus bytes buffered.
    uint64_t size() const { return file_.size(); }

    void add_frame(VectorId id, std::span<const float> vector,
                   std::optional<std::string_view> payload,
                   std::optional<std::span<const uint8_t>> sparse);
    void delete_frame(VectorId id);

private:
    LogFileWriter(OwnedFd fd, uint64_t file_size) : file_(std::move(fd), file_size, kBufferSize) {}
    // Io with the errno `code`, or success when it is 0.
    static Result<void> io_result(int code) {
        if (code != 0) return fail(VectorDbError::io_errno(code));
        return {};
    }

    AppendFile file_;
};

// The writer of one collection's log. A frame counts as acknowledged once a flush that
// covered it succeeded; a failed append or flush cuts the file back to the last
// acknowledged frame, so a write reported as failed never reaches a later replay.
class Wal {
public:
    // Opens (never truncating) the log for appending; the counter starts at 0.
    static Result<Wal> open(const std::string& path);
    Wal(Wal&&) noexcept = default;
    Wal& operator=(Wal&&) noexcept = default;
    // Flushes what is buffered; a failure there is ignored.
    ~Wal();

    // Buffer one frame each. Io when a full buffer could not be written (the pending frames
    // are then dropped).
    Result<void> append_add(VectorId id, std::span<const float> vector,
                            std::optional<std::string_view> payload,
                            std::optional<std::span<const uint8_t>> sparse);
    Result<void> append_delete(VectorId id);
    // Makes every buffered frame acknowledged; on failure drops them all and returns Io.
    Result<void> flush();
    // Drops the frames appended since the last successful flush.
    void discard_pending();

    // Frames counted since open or the last compaction.
    uint64_t count() const { return count_; }
    void add_to_count(uint64_t frames) { count_ += frames; }
    void set_count(uint64_t frames) { count_ = frames; }
    const std::string& path() const { return path_; }

    // Rewrites the log at `path` as exactly these entries, through the ".log.tmp" sibling
    // renamed over it at the end; returns the number of frames written.
    static Result<uint64_t> compact(const std::string& path, std::span<const WalEntry> entries);

private:
    Wal(std::string path, LogFileWriter writer);
    Result<void> check_append();
    Result<void> after_append();

    std::string path_;
    std::optional<LogFileWriter> writer_;
    uint64_t acknowledged_size_ = 0;
    uint64_t pending_frames_ = 0;
    uint64_t count_ = 0;
};

// Writes a whole new log through the ".log.tmp" sibling of `path` and renames it over
// `path` on commit. Dropping an uncommitted rewriter removes the temporary file; the old
// log is never touched before the rename.
class WalRewriter {
public:
    static Result<WalRewriter> begin(const std::string& path);
    WalRewriter(WalRewriter&&) noexcept = default;
    ~WalRewriter();

    void add(VectorId id, std::span<const float> vector, std::optional<std::string_view> payload,
             std::optional<std::span<const uint8_t>> sparse);
    void add_entry(const WalEntry& entry);
    // Flushes, closes and renames; Io on any failure. Returns the frames written.
    Result<uint64_t> commit();

private:
    WalRewriter(std::string path, std::string temporary_path, LogFileWriter writer);

    std::string path_;
    std::string temporary_path_;
    std::optional<LogFileWriter> writer_;
    uint64_t frames_ = 0;
};

// `path` with its extension replaced by "log.tmp" ("<dir>/wal.log" -> "<dir>/wal.log.tmp").
std::string wal_rewrite_path(const std::string& path);

}  // namespace tvdb
