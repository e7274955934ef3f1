#include "file_io.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace tvdb {

Result<SizedFile> open_sized(const std::string& path, int flags, mode_t mode) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0) return fail(VectorDbError::io_errno(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int code = errno;
        ::close(fd);
        return fail(VectorDbError::io_errno(code));
    }
    return SizedFile{fd, static_cast<uint64_t>(st.st_size)};
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

Result<void> rename_over(const std::string& temporary, const std::string& path) {
    if (::rename(temporary.c_str(), path.c_str()) == 0) return {};
    int code = errno;
    ::unlink(temporary.c_str());
    return fail(VectorDbError::io_errno(code));
}

}  // namespace tvdb
