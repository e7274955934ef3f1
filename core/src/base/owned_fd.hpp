#pragma once

// A file descriptor with one owner, closed when the owner lets go of it.

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tvdb {

class OwnedFd {
public:
    OwnedFd() = default;
    explicit OwnedFd(int fd) : fd_(fd) {}
    OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    OwnedFd& operator=(OwnedFd&& other) noexcept {
        if (this != &other) {
            (void)close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() { (void)close(); }

    int get() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }

    // Closes the descriptor now: the errno of a failing close(2), else 0 (also when nothing
    // is open).
    int close() {
        const int fd = std::exchange(fd_, -1);
        if (fd >= 0 && ::close(fd) != 0) return errno;
        return 0;
    }

private:
    int fd_ = -1;
};

}  // namespace tvdb
