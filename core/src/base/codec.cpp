#include "codec.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "file_io.hpp"

namespace tvdb {

Result<FileEncoder> FileEncoder::create(const std::string& path, size_t buffer_size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return fail(VectorDbError::io_errno(errno));
    return FileEncoder(fd, buffer_size == 0 ? kBufferSize : buffer_size);
}

Result<FileEncoder> FileEncoder::create_fresh(const std::string& path, size_t buffer_size) {
    auto fd = tvdb::create_fresh(path);
    if (!fd) return fail(fd.error());
    return FileEncoder(*fd, buffer_size == 0 ? kBufferSize : buffer_size);
}

FileEncoder::FileEncoder(FileEncoder&& other) noexcept
    : fd_(other.fd_),
      buffer_size_(other.buffer_size_),
      buffer_(std::move(other.buffer_)),
      write_errno_(other.write_errno_) {
    other.fd_ = -1;
}

FileEncoder::~FileEncoder() {
    if (fd_ >= 0) ::close(fd_);
}

void FileEncoder::put_bytes(const void* data, size_t size) {
    put_buffered(buffer_, buffer_size_, data, size, [this] { return drain(); });
}

bool FileEncoder::drain() {
    if (write_errno_ == 0) write_errno_ = write_fully(fd_, buffer_.data(), buffer_.size()).error;
    buffer_.clear();
    return write_errno_ == 0;
}

Result<void> FileEncoder::finish() {
    drain();
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && write_errno_ == 0) write_errno_ = errno;
    if (write_errno_ != 0) {
        return fail(VectorDbError::serialization(VectorDbError::io_errno(write_errno_).message()));
    }
    return {};
}

bool RecordDecoder::take(size_t size) {
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

bool RecordDecoder::boolean() {
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

uint64_t RecordDecoder::count(size_t min_element_size) {
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

std::span<const uint8_t> RecordDecoder::raw(size_t size) {
    if (!take(size)) return {};
    return bytes_.subspan(pos_ - size, size);
}

Result<std::vector<uint8_t>> read_file(const std::string& path, Symlinks links) {
    auto file = open_sized(path, O_RDONLY | symlink_flags(links));
    if (!file) return fail(file.error());
    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(file->size));
    uint8_t chunk[1 << 16];
    for (;;) {
        ssize_t n = ::read(file->fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int code = errno;
            ::close(file->fd);
            return fail(VectorDbError::io_errno(code));
        }
        if (n == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    ::close(file->fd);
    return bytes;
}

Result<void> write_file(const std::string& path, std::span<const uint8_t> bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return fail(VectorDbError::io_errno(errno));
    if (int code = write_fully(fd, bytes.data(), bytes.size()).error; code != 0) {
        ::close(fd);
        return fail(VectorDbError::io_errno(code));
    }
    if (::close(fd) != 0) return fail(VectorDbError::io_errno(errno));
    return {};
}

Result<void> write_file(const std::string& path, std::string_view text) {
    return write_file(path, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

Result<void> write_file_replacing(const std::string& path, std::span<const uint8_t> bytes) {
    const std::string temporary = path + ".tmp";
    auto fd = create_fresh(temporary);
    if (!fd) return fail(fd.error());
    int code = write_fully(*fd, bytes.data(), bytes.size()).error;
    if (::close(*fd) != 0 && code == 0) code = errno;
    if (code != 0) {
        ::unlink(temporary.c_str());
        return fail(VectorDbError::io_errno(code));
    }
    return rename_over(temporary, path);
}

Result<void> write_file_replacing(const std::string& path, std::string_view text) {
    return write_file_replacing(path, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

}  // namespace tvdb
