#pragma once

// The POSIX file work shared by the core's file writers, readers and mappings: opening,
// whole writes, creating afresh, renaming, truncating. A failure is reported with the errno
// of the call that failed. Descriptors are owned (owned_fd.hpp); buffered appends go
// through append_file.hpp.

#include <fcntl.h>
#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "error.hpp"
#include "owned_fd.hpp"

namespace tvdb {

struct SizedFile {
    OwnedFd fd;
    uint64_t size;
};

// Whether opening a path follows a symbolic link in its last component. Files inside a data
// directory are opened with Refuse, so a link planted there can neither send a write
// elsewhere nor feed a read from elsewhere; paths a caller names directly follow links.
enum class Symlinks { Follow, Refuse };

// The open(2) flag that `links` asks for.
int symlink_flags(Symlinks links);

// Opens `path` with `flags` (plus O_CLOEXEC) and reads the file's size; Io when either
// fails.
Result<SizedFile> open_sized(const std::string& path, int flags, mode_t mode = 0666);

struct WriteOutcome {
    size_t written;
    int error;  // errno of the write that stopped short; 0 when every byte was written
};

// Writes `size` bytes to `fd`, resuming after interrupted and partial writes.
WriteOutcome write_fully(int fd, const void* data, size_t size);
// The same at `offset` (pwrite(2)): the errno of the write that stopped short, else 0.
int write_fully_at(int fd, const void* data, size_t size, uint64_t offset);

// Copies `size` bytes into `buffer`, calling `drain()` each time the buffer holds `capacity`
// bytes. `drain` empties the buffer and returns false once a write has failed, which drops
// the bytes not yet buffered.
template <typename Drain>
void put_buffered(std::vector<uint8_t>& buffer, size_t capacity, const void* data, size_t size,
                  Drain&& drain) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        size_t n = std::min(size, capacity - buffer.size());
        buffer.insert(buffer.end(), bytes, bytes + n);
        bytes += n;
        size -= n;
        if (buffer.size() == capacity && !drain()) return;
    }
}

// Creates `path` afresh for writing: whatever is there (a stale temporary, a symbolic link)
// is unlinked first and the file is created exclusively, so the bytes can never land
// anywhere else. `extra_flags` are added to the open(2) flags (O_APPEND, say).
Result<OwnedFd> create_fresh(const std::string& path, int extra_flags = 0);
// Creates `path` for writing, or empties the file there (a symbolic link is followed).
Result<OwnedFd> create_truncated(const std::string& path);
// Opens the existing file `path` for writing in place.
Result<OwnedFd> open_for_writing(const std::string& path);
// Writes `bytes` to `fd` and closes it: the errno of the first failure, the close included,
// else 0.
int write_and_close(OwnedFd fd, std::span<const uint8_t> bytes);
// Cuts the file at `path` back to `size` bytes.
Result<void> truncate_file(const std::string& path, uint64_t size);

// Copies the regular file `from` (a symbolic link there is not followed) into `to`, created
// afresh. Io when `from` is missing, is not a regular file, or a read or write fails; a
// partial `to` is removed.
Result<void> copy_regular_file(const std::string& from, const std::string& to);

// Whether `path` is a regular file itself; a symbolic link does not count, so derived files
// planted as links elsewhere are never read (and, rewritten by rename, never written).
bool is_regular_file(const std::string& path);
// Whether `path` is a symbolic link (not followed).
bool is_symlink(const std::string& path);

// Renames the finished file `temporary` over `path`, so readers find the old file or the new
// one whole. When the rename fails the temporary is removed and Io returned.
Result<void> rename_over(const std::string& temporary, const std::string& path);

}  // namespace tvdb
