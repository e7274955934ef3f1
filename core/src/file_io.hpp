#pragma once

// The POSIX descriptor work shared by the core's file writers, readers and mappings. A
// failure is reported with the errno of the call that failed.

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "error.hpp"

namespace tvdb {

struct SizedFile {
    int fd;
    uint64_t size;
};

// Opens `path` with `flags` (plus O_CLOEXEC) and reads the file's size. The descriptor is
// the caller's to close; when the size cannot be read it is closed here and Io returned.
Result<SizedFile> open_sized(const std::string& path, int flags, mode_t mode = 0666);

struct WriteOutcome {
    size_t written;
    int error;  // errno of the write that stopped short; 0 when every byte was written
};

// Writes `size` bytes to `fd`, resuming after interrupted and partial writes.
WriteOutcome write_fully(int fd, const void* data, size_t size);

// Renames the finished file `temporary` over `path`, so readers find the old file or the new
// one whole. When the rename fails the temporary is removed and Io returned.
Result<void> rename_over(const std::string& temporary, const std::string& path);

}  // namespace tvdb
