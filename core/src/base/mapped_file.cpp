#include "mapped_file.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "file_io.hpp"

namespace tvdb {

Result<MappedFile> MappedFile::map(const std::string& path, Symlinks links) {
    auto file = open_sized(path, O_RDONLY | symlink_flags(links));
    if (!file) return fail(file.error());
    auto size = static_cast<size_t>(file->size);
    if (size == 0) return MappedFile();
    void* address = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file->fd.get(), 0);
    int code = errno;
    (void)file->fd.close();
    if (address == MAP_FAILED) return fail(VectorDbError::io_errno(code));
    // Pages read from disk through this mapping come in huge folios where the file system
    // allows it; the advice is only a hint, so its failure changes nothing.
    (void)::madvise(address, size, MADV_HUGEPAGE);
    return MappedFile(address, size);
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : address_(std::exchange(other.address_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
    if (this != &other) {
        release();
        address_ = std::exchange(other.address_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

MappedFile::~MappedFile() { release(); }

void MappedFile::release() {
    if (address_ != nullptr) ::munmap(address_, size_);
    address_ = nullptr;
    size_ = 0;
}

}  // namespace tvdb
