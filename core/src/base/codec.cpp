#include "codec.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "file_io.hpp"

namespace tvdb {

Result<FileEncoder> FileEncoder::create(const std::string& path, size_t buffer_size) {
    auto fd = create_truncated(path);
    if (!fd) return fail(fd.error());
    return FileEncoder(std::move(*fd), buffer_size == 0 ? kBufferSize : buffer_size);
}

Result<FileEncoder> FileEncoder::create_fresh(const std::string& path, size_t buffer_size) {
    auto fd = tvdb::create_fresh(path);
    if (!fd) return fail(fd.error());
    return FileEncoder(std::move(*fd), buffer_size == 0 ? kBufferSize : buffer_size);
}

Result<void> FileEncoder::finish() {
    if (int code = file_.close(); code != 0) {
        return fail(VectorDbError::serialization(VectorDbError::io_errno(code).message()));
    }
    return {};
}

bool RecordDecoder::take_failed(size_t size) {
    if (!ok()) return false;
    if (size > remaining()) {
        fail("unexpected end of input: needed " + std::to_string(size) + " more bytes, " +
             std::to_string(remaining()) + " left at offset " + std::to_string(pos_));
        return false;
    }
    pos_ += size;
    return true;
}

void RecordDecoder::fail(std::string message) {
    if (ok()) error_ = std::move(message);
}

bool RecordDecoder::checked_boolean() {
    size_t at = pos_;
    uint8_t b = u8();
    if (ok() && b > 1) {
        fail("invalid boolean byte " + std::to_string(b) + " at offset " + std::to_string(at));
        return false;
    }
    return b == 1;
}

uint32_t RecordDecoder::variant(uint32_t variants) {
    size_t at = pos_;
    uint32_t index = u32();
    if (ok() && index >= variants) {
        fail("invalid variant index " + std::to_string(index) + " (expected below " +
             std::to_string(variants) + ") at offset " + std::to_string(at));
        return 0;
    }
    return index;
}

uint64_t RecordDecoder::checked_count(size_t min_element_size) {
    size_t at = pos_;
    uint64_t n = u64();
    if (!ok()) return 0;
    if (min_element_size > 0 && n > remaining() / min_element_size) {
        fail("count " + std::to_string(n) + " at offset " + std::to_string(at) +
             " exceeds the remaining " + std::to_string(remaining()) + " bytes");
        return 0;
    }
    if (min_element_size == 0 && n > remaining() + (uint64_t{1} << 32)) {
        fail("implausible count " + std::to_string(n) + " at offset " + std::to_string(at));
        return 0;
    }
    return n;
}

std::string RecordDecoder::string() {
    uint64_t n = count(1);
    if (!ok()) return {};
    std::string s(reinterpret_cast<const char*>(bytes_.data() + pos_), n);
    pos_ += n;
    return s;
}

Result<std::vector<uint8_t>> read_file(const std::string& path, Symlinks links) {
    auto file = open_sized(path, O_RDONLY | symlink_flags(links));
    if (!file) return fail(file.error());
    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(file->size));
    uint8_t chunk[1 << 16];
    for (;;) {
        ssize_t n = ::read(file->fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(VectorDbError::io_errno(errno));
        if (n == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
}

Result<void> write_file(const std::string& path, std::span<const uint8_t> bytes) {
    auto fd = create_truncated(path);
    if (!fd) return fail(fd.error());
    if (int code = write_and_close(std::move(*fd), bytes); code != 0) {
        return fail(VectorDbError::io_errno(code));
    }
    return {};
}

Result<void> write_file(const std::string& path, std::string_view text) {
    return write_file(path, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

Result<void> write_file_replacing(const std::string& path, std::span<const uint8_t> bytes) {
    const std::string temporary = path + ".tmp";
    auto fd = create_fresh(temporary);
    if (!fd) return fail(fd.error());
    if (int code = write_and_close(std::move(*fd), bytes); code != 0) {
        ::unlink(temporary.c_str());
        return fail(VectorDbError::io_errno(code));
    }
    return rename_over(temporary, path);
}

Result<void> write_file_replacing(const std::string& path, std::string_view text) {
    return write_file_replacing(path, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

}  // namespace tvdb
