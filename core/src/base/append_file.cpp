#include "append_file.hpp"

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "file_io.hpp"

namespace tvdb {

AppendFile::AppendFile(OwnedFd fd, uint64_t file_size, size_t capacity)
    : fd_(std::move(fd)), file_size_(file_size), capacity_(capacity) {
    buffer_.reserve(capacity_);
}

void AppendFile::append(const void* data, size_t size) {
    if (error_ != 0) return;
    put_buffered(buffer_, capacity_, data, size, [this] { return drain(); });
}

bool AppendFile::drain() {
    if (error_ == 0) {
        WriteOutcome outcome = write_fully(fd_.get(), buffer_.data(), buffer_.size());
        file_size_ += outcome.written;
        error_ = outcome.error;
    }
    buffer_.clear();
    return error_ == 0;
}

int AppendFile::flush() {
    if (error_ == 0) drain();
    return error_;
}

int AppendFile::truncate_to(uint64_t size) {
    buffer_.clear();
    if (::ftruncate(fd_.get(), static_cast<off_t>(size)) != 0) return errno;
    file_size_ = size;
    error_ = 0;
    return 0;
}

int AppendFile::close() {
    const int flushed = flush();
    const int closed = fd_.close();
    return flushed != 0 ? flushed : closed;
}

}  // namespace tvdb
