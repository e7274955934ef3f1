#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "error.hpp"
#include "file_io.hpp"

namespace tvdb {

// A whole file mapped read-only and shared. The mapping outlives the file descriptor, so a
// file renamed over the mapped one leaves this view intact until it is dropped.
class MappedFile {
public:
    // Io when the file cannot be opened, sized or mapped. An empty file maps as no bytes.
    static Result<MappedFile> map(const std::string& path, Symlinks links = Symlinks::Follow);

    MappedFile() = default;
    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&& other) noexcept;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    std::span<const uint8_t> bytes() const { return {static_cast<const uint8_t*>(address_), size_}; }
    size_t size() const { return size_; }

private:
    MappedFile(void* address, size_t size) : address_(address), size_(size) {}
    void release();

    void* address_ = nullptr;
    size_t size_ = 0;
};

}  // namespace tvdb
