#pragma once

// The files of a collection directory.

#include <string>

namespace tvdb {

inline constexpr const char* kMetaFileName = "meta.json";
inline constexpr const char* kSparseFileName = "sparse.bin";
inline constexpr const char* kGraphFileName = "hnsw.graph";
inline constexpr const char* kMmapVectorsFileName = "vectors.mmap";

inline std::string collection_file(const std::string& dir, const char* name) {
    return dir + "/" + name;
}

}  // namespace tvdb
