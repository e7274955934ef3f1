#include "index_type.hpp"

namespace tvdb {

std::string_view index_type_name(IndexType type) {
    return kIndexTypeNames[static_cast<size_t>(type)];
}

std::optional<IndexType> index_type_from_name(std::string_view name) {
    for (size_t i = 0; i < kIndexTypeNames.size(); ++i) {
        if (kIndexTypeNames[i] == name) return static_cast<IndexType>(i);
    }
    return std::nullopt;
}

}  // namespace tvdb
