#include "collection_meta.hpp"

#include <gtest/gtest.h>

using tvdb::CollectionMeta;
using tvdb::collection_meta_from_json;
using tvdb::collection_meta_to_json;

namespace {

std::string error_of(const std::string& text) {
    auto meta = collection_meta_from_json(text);
    EXPECT_FALSE(meta) << text;
    if (meta) return {};
    EXPECT_EQ(meta.error().kind, tvdb::ErrorKind::Serialization);
    return meta.error().text;
}

}  // namespace

TEST(CollectionMeta, WritesOnlyPresentFieldsInDeclarationOrder) {
    CollectionMeta meta = tvdb::new_collection_meta("docs", 3, tvdb::Metric::L2, tvdb::IndexType::Flat);
    EXPECT_EQ(collection_meta_to_json(meta),
              "{\n"
              "  \"name\": \"docs\",\n"
              "  \"dimensions\": 3,\n"
              "  \"metric\": \"l2\",\n"
              "  \"index_type\": \"flat\",\n"
              "  \"wal_compact_threshold\": 50000\n"
              "}");
}

TEST(CollectionMeta, NewCollectionCarriesTheTuningRecordOfItsKindOnly) {
    auto hnsw = tvdb::new_collection_meta("h", 4, tvdb::Metric::Cosine, tvdb::IndexType::Hnsw);
    EXPECT_TRUE(hnsw.hnsw_config && !hnsw.ivf_config && !hnsw.ivf_pq_config);
    auto ivf = tvdb::new_collection_meta("i", 4, tvdb::Metric::Cosine, tvdb::IndexType::Ivf);
    ASSERT_TRUE(ivf.ivf_config && !ivf.hnsw_config);
    EXPECT_EQ(ivf.ivf_config->max_iter, 10u);
    auto pq = tvdb::new_collection_meta("p", 4, tvdb::Metric::Cosine, tvdb::IndexType::IvfPq);
    ASSERT_TRUE(pq.ivf_pq_config);
    EXPECT_EQ(pq.ivf_pq_config->max_iter, 10u);
    EXPECT_EQ(pq.ivf_pq_config->pq.max_iter, 25u);
}

TEST(CollectionMeta, EveryFieldRoundTrips) {
    CollectionMeta meta;
    meta.name = "all";
    meta.dimensions = 128;
    meta.metric = tvdb::Metric::DotProduct;
    meta.index_type = tvdb::IndexType::IvfPq;
    meta.hnsw_config = tvdb::HnswConfig{.ef_construction = 100, .ef_search = 20, .m = 8};
    meta.wal_compact_threshold = 7;
    meta.auto_promote_threshold = 1000;
    meta.promotion_hnsw_config = tvdb::HnswConfig{.ef_construction = 50, .ef_search = 10, .m = 4};
    meta.embedding_model = "model-x";
    meta.ivf_config = tvdb::IvfConfig{.n_lists = 8, .nprobe = 2, .train_size = 64, .max_iter = 3};
    meta.ivf_pq_config = tvdb::IvfPqConfig{.n_lists = 4, .nprobe = 1, .train_size = 32, .max_iter = 5,
                                           .pq = {.m = 2, .k_sub = 16, .max_iter = 6}};
    meta.faiss_factory = "IVF4,PQ2";
    std::string text = collection_meta_to_json(meta);
    auto back = collection_meta_from_json(text);
    ASSERT_TRUE(back) << back.error().text;
    EXPECT_EQ(collection_meta_to_json(*back), text);
    EXPECT_LT(text.find("\"faiss_factory\""), text.size());
    EXPECT_LT(text.find("\"embedding_model\""), text.find("\"ivf_config\""));
}

TEST(CollectionMeta, ReadsAnyKeyOrderIgnoresUnknownKeysAndDefaultsOptionals) {
    auto meta = collection_meta_from_json(
        R"({"index_type": "hnsw", "extra": {"x": [1, 2]}, "metric": "cosine", "dimensions": 4, "name": "n",
            "embedding_model": null})");
    ASSERT_TRUE(meta) << meta.error().text;
    EXPECT_EQ(meta->name, "n");
    EXPECT_EQ(meta->index_type, tvdb::IndexType::Hnsw);
    EXPECT_EQ(meta->wal_compact_threshold, 50000u);
    EXPECT_FALSE(meta->hnsw_config);
    EXPECT_FALSE(meta->embedding_model);
}

TEST(CollectionMeta, ReadsTheArrayForm) {
    auto short_form = collection_meta_from_json(R"(["n", 2, "l2", "flat"])");
    ASSERT_TRUE(short_form) << short_form.error().text;
    EXPECT_EQ(short_form->wal_compact_threshold, 50000u);
    auto longer = collection_meta_from_json(R"(["n", 2, "l2", "hnsw", {"ef_construction": 1, "ef_search": 2, "m": 3}, 9, 100])");
    ASSERT_TRUE(longer) << longer.error().text;
    EXPECT_EQ(longer->hnsw_config->m, 3u);
    EXPECT_EQ(longer->wal_compact_threshold, 9u);
    EXPECT_EQ(longer->auto_promote_threshold, 100u);
    EXPECT_EQ(error_of(R"(["n", 2, "l2"])"),
              "invalid length 3, expected struct CollectionMeta with 12 elements");
    EXPECT_EQ(error_of(R"(["n", 2, "l2", "flat", null, 9, null, null, null, null, null, null, 0])"),
              "invalid length 13, expected struct CollectionMeta with 12 elements");
}

TEST(CollectionMeta, ReportsMissingDuplicateAndMistypedFields) {
    EXPECT_EQ(error_of(R"({"name": "n", "dimensions": 2, "metric": "l2"})"), "missing field `index_type`");
    EXPECT_EQ(error_of(R"({"dimensions": 2, "metric": "l2", "index_type": "flat"})"), "missing field `name`");
    EXPECT_EQ(error_of(R"({"name": "n", "metric": "l2", "dimensions": 2, "metric": "l2", "index_type": "flat"})"),
              "duplicate field `metric`");
    EXPECT_EQ(error_of(R"({"name": "n", "dimensions": 2, "metric": "l2", "index_type": "hnsw",
                          "hnsw_config": {"m": 1, "m": 2, "ef_search": 1, "ef_construction": 1}})"),
              "duplicate field `m`");
    EXPECT_EQ(error_of(R"({"name": "n", "dimensions": 2, "metric": "l2", "index_type": "hnsw",
                          "hnsw_config": {"m": 1, "ef_search": 1}})"),
              "missing field `ef_construction`");
    EXPECT_EQ(error_of(R"({"name": "n", "dimensions": "2", "metric": "l2", "index_type": "flat"})"),
              "invalid type: string \"2\", expected u64");
    EXPECT_EQ(error_of(R"({"name": "n", "dimensions": -2, "metric": "l2", "index_type": "flat"})"),
              "invalid value: integer `-2`, expected u64");
    EXPECT_EQ(error_of(R"({"name": "n", "dimensions": 2, "metric": "L2", "index_type": "flat"})"),
              "unknown variant `L2`, expected one of `l2`, `cosine`, `dot_product`");
    EXPECT_EQ(error_of(R"({"name": "n", "dimensions": 2, "metric": "l2", "index_type": "flat",
                          "wal_compact_threshold": null})"),
              "invalid type: null, expected u64");
}

TEST(CollectionMeta, SyntaxErrorsCarryTheirPosition) {
    std::string text = error_of("{\n  \"name\": \"n\",\n  oops");
    EXPECT_NE(text.find(" at line 3 column "), std::string::npos) << text;
    EXPECT_FALSE(error_of("").empty());
}

TEST(CollectionMeta, FileWritesAreReadBack) {
    std::string path = ::testing::TempDir() + "/meta_roundtrip.json";
    auto meta = tvdb::new_collection_meta("f", 8, tvdb::Metric::Cosine, tvdb::IndexType::Hnsw);
    ASSERT_TRUE(tvdb::write_collection_meta(path, meta));
    auto back = tvdb::read_collection_meta(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->hnsw_config->ef_construction, 200u);
    auto missing = tvdb::read_collection_meta(path + ".absent");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, tvdb::ErrorKind::Io);
}
