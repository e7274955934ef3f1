#include "collection_meta.hpp"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

#include "codec.hpp"
#include "file_io.hpp"
#include "payload.hpp"

namespace tvdb {
namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

// ---- writing ----

OrderedJson hnsw_json(const HnswConfig& c) {
    OrderedJson j;
    j["ef_construction"] = c.ef_construction;
    j["ef_search"] = c.ef_search;
    j["m"] = c.m;
    return j;
}

OrderedJson ivf_json(const IvfConfig& c) {
    OrderedJson j;
    j["n_lists"] = c.n_lists;
    j["nprobe"] = c.nprobe;
    j["train_size"] = c.train_size;
    j["max_iter"] = c.max_iter;
    return j;
}

OrderedJson ivf_pq_json(const IvfPqConfig& c) {
    OrderedJson j;
    j["n_lists"] = c.n_lists;
    j["nprobe"] = c.nprobe;
    j["train_size"] = c.train_size;
    j["max_iter"] = c.max_iter;
    OrderedJson pq;
    pq["m"] = c.pq.m;
    pq["k_sub"] = c.pq.k_sub;
    pq["max_iter"] = c.pq.max_iter;
    j["pq"] = std::move(pq);
    return j;
}

// ---- reading ----

// A structural error while converting the parsed document.
struct MetaError {
    std::string message;
};

template <typename T>
using Read = std::expected<T, MetaError>;

std::unexpected<MetaError> meta_error(std::string message) {
    return std::unexpected<MetaError>(MetaError{std::move(message)});
}

std::string describe(const Json& value) { return describe_json_value(value); }

Read<uint64_t> read_u64(const Json& v) {
    if (v.is_number_unsigned()) return v.get<uint64_t>();
    if (v.is_number_integer()) {
        if (v.get<int64_t>() >= 0) return static_cast<uint64_t>(v.get<int64_t>());
        return meta_error("invalid value: " + describe(v) + ", expected u64");
    }
    return meta_error("invalid type: " + describe(v) + ", expected u64");
}

Read<std::string> read_string(const Json& v) {
    if (!v.is_string()) return meta_error("invalid type: " + describe(v) + ", expected a string");
    return v.get<std::string>();
}

template <typename Enum, size_t N>
Read<Enum> read_enum(const Json& v, const std::array<std::string_view, N>& names,
                     const std::function<std::optional<Enum>(std::string_view)>& from_name) {
    if (!v.is_string()) return meta_error("invalid type: " + describe(v) + ", expected string or map");
    const auto& text = v.get_ref<const std::string&>();
    if (auto value = from_name(text)) return *value;
    std::string expected;
    for (size_t i = 0; i < N; ++i) expected += (i ? ", `" : "`") + std::string(names[i]) + "`";
    return meta_error("unknown variant `" + text + "`, expected one of " + expected);
}

// The fields of a struct given either as an object (by name, any order, unknown keys
// ignored) or as an array (by position, trailing optional elements may be missing).
class StructFields {
public:
    static Read<StructFields> of(const Json& value, std::string_view struct_name,
                                 size_t field_count, size_t required_count) {
        if (value.is_array() && (value.size() < required_count || value.size() > field_count)) {
            return meta_error("invalid length " + std::to_string(value.size()) +
                              ", expected struct " + std::string(struct_name) + " with " +
                              std::to_string(field_count) + " elements");
        }
        if (!value.is_array() && !value.is_object()) {
            return meta_error("invalid type: " + describe(value) + ", expected struct " +
                              std::string(struct_name));
        }
        return StructFields(value);
    }

    // The field's value, or nullptr when it is absent.
    const Json* find(std::string_view name, size_t position) const {
        if (value_->is_array()) return position < value_->size() ? &(*value_)[position] : nullptr;
        auto it = value_->find(name);
        return it == value_->end() ? nullptr : &*it;
    }

    template <typename T>
    Read<T> required(std::string_view name, size_t position,
                     const std::function<Read<T>(const Json&)>& convert) const {
        const Json* field = find(name, position);
        if (field == nullptr) return meta_error("missing field `" + std::string(name) + "`");
        return convert(*field);
    }

    // Absent and null both mean "no value".
    template <typename T>
    Read<std::optional<T>> optional(std::string_view name, size_t position,
                                    const std::function<Read<T>(const Json&)>& convert) const {
        const Json* field = find(name, position);
        if (field == nullptr || field->is_null()) return std::optional<T>{};
        auto value = convert(*field);
        if (!value) return std::unexpected(value.error());
        return std::optional<T>(std::move(*value));
    }

private:
    explicit StructFields(const Json& value) : value_(&value) {}
    const Json* value_;
};

#define TVDB_TRY_ASSIGN(target, expression)                  \
    do {                                                     \
        auto tvdb_value = (expression);                      \
        if (!tvdb_value) return std::unexpected(tvdb_value.error()); \
        target = std::move(*tvdb_value);                     \
    } while (0)

Read<HnswConfig> read_hnsw(const Json& v) {
    auto fields = StructFields::of(v, "HnswConfig", 3, 3);
    if (!fields) return std::unexpected(fields.error());
    HnswConfig c;
    TVDB_TRY_ASSIGN(c.ef_construction, fields->required<uint64_t>("ef_construction", 0, read_u64));
    TVDB_TRY_ASSIGN(c.ef_search, fields->required<uint64_t>("ef_search", 1, read_u64));
    TVDB_TRY_ASSIGN(c.m, fields->required<uint64_t>("m", 2, read_u64));
    return c;
}

Read<IvfConfig> read_ivf(const Json& v) {
    auto fields = StructFields::of(v, "IvfConfig", 4, 4);
    if (!fields) return std::unexpected(fields.error());
    IvfConfig c;
    TVDB_TRY_ASSIGN(c.n_lists, fields->required<uint64_t>("n_lists", 0, read_u64));
    TVDB_TRY_ASSIGN(c.nprobe, fields->required<uint64_t>("nprobe", 1, read_u64));
    TVDB_TRY_ASSIGN(c.train_size, fields->required<uint64_t>("train_size", 2, read_u64));
    TVDB_TRY_ASSIGN(c.max_iter, fields->required<uint64_t>("max_iter", 3, read_u64));
    return c;
}

Read<PqConfig> read_pq(const Json& v) {
    auto fields = StructFields::of(v, "PqConfig", 3, 3);
    if (!fields) return std::unexpected(fields.error());
    PqConfig c;
    TVDB_TRY_ASSIGN(c.m, fields->required<uint64_t>("m", 0, read_u64));
    TVDB_TRY_ASSIGN(c.k_sub, fields->required<uint64_t>("k_sub", 1, read_u64));
    TVDB_TRY_ASSIGN(c.max_iter, fields->required<uint64_t>("max_iter", 2, read_u64));
    return c;
}

Read<IvfPqConfig> read_ivf_pq(const Json& v) {
    auto fields = StructFields::of(v, "IvfPqConfig", 5, 5);
    if (!fields) return std::unexpected(fields.error());
    IvfPqConfig c;
    TVDB_TRY_ASSIGN(c.n_lists, fields->required<uint64_t>("n_lists", 0, read_u64));
    TVDB_TRY_ASSIGN(c.nprobe, fields->required<uint64_t>("nprobe", 1, read_u64));
    TVDB_TRY_ASSIGN(c.train_size, fields->required<uint64_t>("train_size", 2, read_u64));
    TVDB_TRY_ASSIGN(c.max_iter, fields->required<uint64_t>("max_iter", 3, read_u64));
    TVDB_TRY_ASSIGN(c.pq, fields->required<PqConfig>("pq", 4, read_pq));
    return c;
}

Read<Metric> read_metric(const Json& v) {
    return read_enum<Metric>(v, kMetricNames, metric_from_name);
}

Read<IndexType> read_index_type(const Json& v) {
    return read_enum<IndexType>(v, kIndexTypeNames, index_type_from_name);
}

Read<CollectionMeta> read_meta(const Json& v) {
    auto fields = StructFields::of(v, "CollectionMeta", 12, 4);
    if (!fields) return std::unexpected(fields.error());
    CollectionMeta m;
    TVDB_TRY_ASSIGN(m.name, fields->required<std::string>("name", 0, read_string));
    TVDB_TRY_ASSIGN(m.dimensions, fields->required<uint64_t>("dimensions", 1, read_u64));
    TVDB_TRY_ASSIGN(m.metric, fields->required<Metric>("metric", 2, read_metric));
    TVDB_TRY_ASSIGN(m.index_type, fields->required<IndexType>("index_type", 3, read_index_type));
    TVDB_TRY_ASSIGN(m.hnsw_config, fields->optional<HnswConfig>("hnsw_config", 4, read_hnsw));
    if (const Json* threshold = fields->find("wal_compact_threshold", 5)) {
        TVDB_TRY_ASSIGN(m.wal_compact_threshold, read_u64(*threshold));
    }
    TVDB_TRY_ASSIGN(m.auto_promote_threshold,
                    fields->optional<uint64_t>("auto_promote_threshold", 6, read_u64));
    TVDB_TRY_ASSIGN(m.promotion_hnsw_config,
                    fields->optional<HnswConfig>("promotion_hnsw_config", 7, read_hnsw));
    TVDB_TRY_ASSIGN(m.embedding_model, fields->optional<std::string>("embedding_model", 8, read_string));
    TVDB_TRY_ASSIGN(m.ivf_config, fields->optional<IvfConfig>("ivf_config", 9, read_ivf));
    TVDB_TRY_ASSIGN(m.ivf_pq_config, fields->optional<IvfPqConfig>("ivf_pq_config", 10, read_ivf_pq));
    TVDB_TRY_ASSIGN(m.faiss_factory, fields->optional<std::string>("faiss_factory", 11, read_string));
    return m;
}

#undef TVDB_TRY_ASSIGN

// Keys whose object value is itself one of the metadata records; a key repeated inside
// such an object, or at the top level, is an error, while unknown objects are not checked.
bool names_record(const std::string& key) {
    return key == "hnsw_config" || key == "promotion_hnsw_config" || key == "ivf_config" ||
           key == "ivf_pq_config" || key == "pq";
}

// Watches the parse for a key repeated inside a metadata record.
class DuplicateKeyWatch {
public:
    bool operator()(int, Json::parse_event_t event, Json& parsed) {
        switch (event) {
            case Json::parse_event_t::object_start: scopes_.push_back({opens_record(), {}, {}}); break;
            case Json::parse_event_t::array_start: scopes_.push_back({false, {}, {}, true}); break;
            case Json::parse_event_t::object_end:
            case Json::parse_event_t::array_end:
                if (!scopes_.empty()) scopes_.pop_back();
                break;
            case Json::parse_event_t::key: {
                auto& scope = scopes_.back();
                scope.last_key = parsed.get<std::string>();
                if (scope.is_record && !scope.keys.insert(scope.last_key).second && !duplicate_) {
                    duplicate_ = scope.last_key;
                }
                break;
            }
            case Json::parse_event_t::value: break;
        }
        return true;
    }
    const std::optional<std::string>& duplicate() const { return duplicate_; }

private:
    struct Scope {
        bool is_record = false;
        std::set<std::string> keys;
        std::string last_key;
        bool is_array = false;
    };
    bool opens_record() const {
        if (scopes_.empty()) return true;
        const Scope& parent = scopes_.back();
        if (parent.is_array) return scopes_.size() == 1;
        return parent.is_record && names_record(parent.last_key);
    }

    std::vector<Scope> scopes_;
    std::optional<std::string> duplicate_;
};

// The library's syntax error as "{message} at line {line} column {column}".
std::string syntax_error_text(const std::string& what) {
    static constexpr std::string_view marker = "parse error at line ";
    size_t at = what.find(marker);
    if (at == std::string::npos) return what;
    unsigned line = 0, column = 0;
    int consumed = 0;
    std::string rest = what.substr(at + marker.size());
    if (std::sscanf(rest.c_str(), "%u, column %u: %n", &line, &column, &consumed) != 2 || consumed == 0) {
        return what;
    }
    return rest.substr(static_cast<size_t>(consumed)) + " at line " + std::to_string(line) +
           " column " + std::to_string(column);
}

}  // namespace

CollectionMeta new_collection_meta(std::string name, uint64_t dimensions, Metric metric,
                                   IndexType index_type) {
    CollectionMeta meta;
    meta.name = std::move(name);
    meta.dimensions = dimensions;
    meta.metric = metric;
    meta.index_type = index_type;
    if (index_type == IndexType::Hnsw) meta.hnsw_config = HnswConfig{};
    if (index_type == IndexType::Ivf) meta.ivf_config = kCollectionIvfDefaults;
    if (index_type == IndexType::IvfPq) meta.ivf_pq_config = kCollectionIvfPqDefaults;
    return meta;
}

std::string collection_meta_to_json(const CollectionMeta& meta) {
    OrderedJson j;
    j["name"] = meta.name;
    j["dimensions"] = meta.dimensions;
    j["metric"] = std::string(metric_name(meta.metric));
    j["index_type"] = std::string(index_type_name(meta.index_type));
    if (meta.hnsw_config) j["hnsw_config"] = hnsw_json(*meta.hnsw_config);
    j["wal_compact_threshold"] = meta.wal_compact_threshold;
    if (meta.auto_promote_threshold) j["auto_promote_threshold"] = *meta.auto_promote_threshold;
    if (meta.promotion_hnsw_config) j["promotion_hnsw_config"] = hnsw_json(*meta.promotion_hnsw_config);
    if (meta.embedding_model) j["embedding_model"] = *meta.embedding_model;
    if (meta.ivf_config) j["ivf_config"] = ivf_json(*meta.ivf_config);
    if (meta.ivf_pq_config) j["ivf_pq_config"] = ivf_pq_json(*meta.ivf_pq_config);
    if (meta.faiss_factory) j["faiss_factory"] = *meta.faiss_factory;
    return j.dump(2, ' ', false, OrderedJson::error_handler_t::replace);
}

Result<CollectionMeta> collection_meta_from_json(std::string_view text) {
    if (!json_nesting_within(text)) {
        return fail(VectorDbError::serialization("meta.json nests deeper than " +
                                                 std::to_string(kMaxJsonNesting) + " levels"));
    }
    DuplicateKeyWatch watch;
    Json document;
    try {
        document = Json::parse(text.begin(), text.end(), std::ref(watch));
    } catch (const Json::exception& e) {
        return fail(VectorDbError::serialization(syntax_error_text(e.what())));
    }
    if (watch.duplicate()) {
        return fail(VectorDbError::serialization("duplicate field `" + *watch.duplicate() + "`"));
    }
    auto meta = read_meta(document);
    if (!meta) return fail(VectorDbError::serialization(meta.error().message));
    return std::move(*meta);
}

Result<CollectionMeta> read_collection_meta(const std::string& path) {
    auto bytes = read_file(path, Symlinks::Refuse);
    if (!bytes) return fail(bytes.error());
    return collection_meta_from_json(
        std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
}

Result<void> write_collection_meta(const std::string& path, const CollectionMeta& meta) {
    return write_file_replacing(path, collection_meta_to_json(meta));
}

}  // namespace tvdb
