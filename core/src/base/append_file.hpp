#pragma once

// Bytes appended to a file through a buffer: the writer of the record encoder and of the
// log. The first failure is remembered and every later byte dropped, so a caller writes a
// whole record and checks once.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "owned_fd.hpp"

namespace tvdb {

class AppendFile {
public:
    // Appends to `fd`, which holds `file_size` bytes, writing whenever `capacity` bytes are
    // buffered.
    AppendFile(OwnedFd fd, uint64_t file_size, size_t capacity);

    void append(const void* data, size_t size);
    // Hands the buffer to the operating system: the errno of the first failure so far, else 0.
    int flush();
    // Drops the buffer and cuts the file back to `size` bytes, which clears a remembered
    // failure: the errno of a failing ftruncate(2) (the failure stays), else 0.
    int truncate_to(uint64_t size);
    // Flushes and closes: the errno of the first failure, the close included, else 0.
    int close();
    // The errno of the first failure since the last successful `truncate_to`, else 0.
    int error() const { return error_; }
    // Bytes handed to the operating system plus bytes buffered.
    uint64_t size() const { return file_size_ + buffer_.size(); }

private:
    // Writes the buffer out and empties it; false once a write has failed.
    bool drain();

    OwnedFd fd_;
    uint64_t file_size_;
    size_t capacity_;
    std::vector<uint8_t> buffer_;
    int error_ = 0;
};

}  // namespace tvdb
