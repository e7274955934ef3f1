#pragma once

// The binary record encoding shared by every saved file and log record: fields back to back
// in declaration order, little-endian integers at full width, f32/f64 as IEEE bytes, a
// boolean as one byte 0 or 1, strings and sequences prefixed by a u64 count, optionals by a
// presence byte, enumerations by a u32 variant index. No names, padding, magic or checksum.

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "append_file.hpp"
#include "error.hpp"
#include "file_io.hpp"

namespace tvdb {

static_assert(std::endian::native == std::endian::little,
              "the record encoding is little-endian and written with plain copies");

// Appends encoded fields to a byte sink. `Sink` provides put_bytes(const void*, size_t).
template <typename Sink>
class RecordEncoder {
public:
    void u8(uint8_t v) { put(v); }
    void u16(uint16_t v) { put(v); }
    void u32(uint32_t v) { put(v); }
    void u64(uint64_t v) { put(v); }
    void f32(float v) { put(v); }
    void f64(double v) { put(v); }
    void boolean(bool v) { u8(v ? 1 : 0); }
    void count(uint64_t n) { u64(n); }
    void string(std::string_view s) {
        count(s.size());
        sink().put_bytes(s.data(), s.size());
    }
    void f32_seq(std::span<const float> values) { pod_seq(values); }
    void u64_seq(std::span<const uint64_t> values) { pod_seq(values); }
    void u32_seq(std::span<const uint32_t> values) { pod_seq(values); }
    void u16_seq(std::span<const uint16_t> values) { pod_seq(values); }
    void u8_seq(std::span<const uint8_t> values) { pod_seq(values); }
    // Raw bytes with no count, for fields whose length the reader already knows.
    void raw(const void* data, size_t size) { sink().put_bytes(data, size); }

private:
    Sink& sink() { return static_cast<Sink&>(*this); }
    template <typename T>
    void put(T v) {
        sink().put_bytes(&v, sizeof v);
    }
    template <typename T>
    void pod_seq(std::span<const T> values) {
        count(values.size());
        sink().put_bytes(values.data(), values.size_bytes());
    }
};

// Encodes into memory.
class ByteEncoder : public RecordEncoder<ByteEncoder> {
public:
    void put_bytes(const void* data, size_t size) {
        const auto* p = static_cast<const uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + size);
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    std::vector<uint8_t> take() { return std::move(bytes_); }

private:
    std::vector<uint8_t> bytes_;
};

// Encodes into a file created (or truncated) at `path`, through a buffer of `buffer_size`
// bytes (8192 unless asked otherwise). The first write failure is kept and every later write
// is dropped; `finish` drains the buffer, closes the file and reports that failure as
// Serialization.
class FileEncoder : public RecordEncoder<FileEncoder> {
public:
    static constexpr size_t kBufferSize = 8192;

    // Fails with Io when the file cannot be created.
    static Result<FileEncoder> create(const std::string& path, size_t buffer_size = kBufferSize);
    // The same for a temporary file created afresh (see `create_fresh`).
    static Result<FileEncoder> create_fresh(const std::string& path, size_t buffer_size = kBufferSize);
    void put_bytes(const void* data, size_t size) { file_.append(data, size); }
    Result<void> finish();

private:
    FileEncoder(OwnedFd fd, size_t buffer_size) : file_(std::move(fd), 0, buffer_size) {}

    AppendFile file_;
};

// Reads fields from a byte span. A failed read sets a sticky error and yields zeros, so a
// record is decoded field by field and checked once with `ok()`; no read ever goes past the
// end of the span.
class RecordDecoder {
public:
    explicit RecordDecoder(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    uint8_t u8() { return get<uint8_t>(); }
    uint16_t u16() { return get<uint16_t>(); }
    uint32_t u32() { return get<uint32_t>(); }
    uint64_t u64() { return get<uint64_t>(); }
    float f32() { return get<float>(); }
    double f64() { return get<double>(); }
    bool boolean() {
        if (ok() && remaining() >= 1 && bytes_[pos_] <= 1) [[likely]] return bytes_[pos_++] == 1;
        return checked_boolean();
    }
    // A u32 variant index that must be below `variants`.
    uint32_t variant(uint32_t variants);
    // A u64 element count whose elements, at least `min_element_size` bytes each, must fit
    // in the remaining bytes: a corrupt count can never trigger a huge allocation.
    uint64_t count(size_t min_element_size) {
        if (ok() && remaining() >= sizeof(uint64_t)) [[likely]] {
            uint64_t n = 0;
            std::memcpy(&n, bytes_.data() + pos_, sizeof n);
            const size_t rest = remaining() - sizeof n;
            if (min_element_size > 0 ? n <= rest / min_element_size : n <= rest + (uint64_t{1} << 32)) {
                pos_ += sizeof n;
                return n;
            }
        }
        return checked_count(min_element_size);
    }
    std::string string();
    std::vector<float> f32_seq() { return pod_seq<float>(); }
    std::vector<uint64_t> u64_seq() { return pod_seq<uint64_t>(); }
    std::vector<uint32_t> u32_seq() { return pod_seq<uint32_t>(); }
    std::vector<uint16_t> u16_seq() { return pod_seq<uint16_t>(); }
    std::vector<uint8_t> u8_seq() { return pod_seq<uint8_t>(); }
    // `size` raw bytes with no count prefix; empty on failure.
    std::span<const uint8_t> raw(size_t size) {
        if (!take(size)) return {};
        return bytes_.subspan(pos_ - size, size);
    }

    bool ok() const { return error_.empty(); }
    size_t position() const { return pos_; }
    size_t remaining() const { return bytes_.size() - pos_; }
    // Marks the record invalid with a message of the caller's own (first failure wins).
    void fail(std::string message);
    // The first failure as a Serialization error.
    VectorDbError error() const { return VectorDbError::serialization(error_); }
    const std::string& error_text() const { return error_; }

private:
    template <typename T>
    T get() {
        T v{};
        if (!take(sizeof v)) return v;
        std::memcpy(&v, bytes_.data() + pos_ - sizeof v, sizeof v);
        return v;
    }
    template <typename T>
    std::vector<T> pod_seq() {
        uint64_t n = count(sizeof(T));
        std::vector<T> values(ok() ? n : 0);
        if (!values.empty()) {
            std::memcpy(values.data(), bytes_.data() + pos_, n * sizeof(T));
            pos_ += n * sizeof(T);
        }
        return values;
    }
    bool take(size_t size) {
        if (ok() && size <= remaining()) [[likely]] {
            pos_ += size;
            return true;
        }
        return take_failed(size);
    }
    // The slow paths of the reads above: they report what went wrong.
    bool take_failed(size_t size);
    bool checked_boolean();
    uint64_t checked_count(size_t min_element_size);

    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
    std::string error_;
};

// The whole content of a file; Io when it cannot be opened or read.
Result<std::vector<uint8_t>> read_file(const std::string& path, Symlinks links = Symlinks::Follow);

// Creates (or truncates) the file at `path` and writes `bytes` to it in place; Io when the
// file cannot be created or written.
Result<void> write_file(const std::string& path, std::span<const uint8_t> bytes);
Result<void> write_file(const std::string& path, std::string_view text);

// Writes `bytes` to "<path>.tmp", created afresh, and renames it over `path`: a reader, or an
// open after a crash, finds the old content or the new one whole, never a torn file. On
// failure the temporary is removed and `path` is unchanged.
Result<void> write_file_replacing(const std::string& path, std::span<const uint8_t> bytes);
Result<void> write_file_replacing(const std::string& path, std::string_view text);

}  // namespace tvdb
