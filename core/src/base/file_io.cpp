#include "file_io.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace tvdb {

int symlink_flags(Symlinks links) { return links == Symlinks::Refuse ? O_NOFOLLOW : 0; }

Result<SizedFile> open_sized(const std::string& path, int flags, mode_t mode) {
    OwnedFd fd(::open(path.c_str(), flags | O_CLOEXEC, mode));
    if (!fd.is_open()) return fail(VectorDbError::io_errno(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return fail(VectorDbError::io_errno(errno));
    return SizedFile{std::move(fd), static_cast<uint64_t>(st.st_size)};
}

WriteOutcome write_fully(int fd, const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return {done, errno};
        done += static_cast<size_t>(n);
    }
    return {done, 0};
}

int write_fully_at(int fd, const void* data, size_t size, uint64_t offset) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::pwrite(fd, bytes, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        bytes += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return 0;
}

Result<OwnedFd> create_fresh(const std::string& path, int extra_flags) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return fail(VectorDbError::io_errno(errno));
    OwnedFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | extra_flags,
                      0666));
    if (!fd.is_open()) return fail(VectorDbError::io_errno(errno));
    return fd;
}

Result<OwnedFd> create_truncated(const std::string& path) {
    OwnedFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.is_open()) return fail(VectorDbError::io_errno(errno));
    return fd;
}

Result<OwnedFd> open_for_writing(const std::string& path) {
    OwnedFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd.is_open()) return fail(VectorDbError::io_errno(errno));
    return fd;
}

int write_and_close(OwnedFd fd, std::span<const uint8_t> bytes) {
    const int written = write_fully(fd.get(), bytes.data(), bytes.size()).error;
    const int closed = fd.close();
    return written != 0 ? written : closed;
}

Result<void> truncate_file(const std::string& path, uint64_t size) {
    if (::truncate(path.c_str(), static_cast<off_t>(size)) != 0) {
        return fail(VectorDbError::io_errno(errno));
    }
    return {};
}

namespace {

// Copies everything `from` holds into `to`; the errno of the first failure, or 0.
int copy_contents(int from, int to) {
    std::vector<uint8_t> chunk(size_t{1} << 16);
    for (;;) {
        ssize_t n = ::read(from, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return 0;
        if (int code = write_fully(to, chunk.data(), static_cast<size_t>(n)).error; code != 0) {
            return code;
        }
    }
}

}  // namespace

Result<void> copy_regular_file(const std::string& from, const std::string& to) {
    auto source = open_sized(from, O_RDONLY | O_NOFOLLOW);
    if (!source) return fail(source.error());
    struct stat st {};
    int code = ::fstat(source->fd.get(), &st) != 0 ? errno : 0;
    if (code == 0 && !S_ISREG(st.st_mode)) code = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    if (code == 0) {
        auto target = create_fresh(to);
        if (!target) return fail(target.error());
        code = copy_contents(source->fd.get(), target->get());
        if (const int closed = target->close(); code == 0) code = closed;
        if (code != 0) ::unlink(to.c_str());
    }
    if (code != 0) return fail(VectorDbError::io_errno(code));
    return {};
}

Result<void> rename_over(const std::string& temporary, const std::string& path) {
    if (::rename(temporary.c_str(), path.c_str()) == 0) return {};
    int code = errno;
    ::unlink(temporary.c_str());
    return fail(VectorDbError::io_errno(code));
}

bool is_regular_file(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_symlink(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace tvdb
