#include "manager.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "snapshot.hpp"

using namespace tvdb;
namespace fs = std::filesystem;

namespace {

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "tvdb-manager-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void write_text(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

std::vector<float> vec(float x) { return {x, 0.0f}; }

}  // namespace

TEST(CollectionNames, PlainDirectoryNamesOnly) {
    for (std::string_view good : {"a", "docs", "a.b", "x-y_z", "..."}) {
        EXPECT_EQ(is_valid_collection_name(good), good != "...") << good;
    }
    for (std::string_view bad : {"", ".", "..", "../x", "a/b", "a\\b", "x..y"}) {
        EXPECT_FALSE(is_valid_collection_name(bad)) << bad;
    }
    EXPECT_FALSE(is_valid_collection_name(std::string_view("a\0b", 3)));
}

TEST(CollectionManager, CreatesReopensAndDeletesCollections) {
    TempDir dir;
    fs::path base = dir.path() / "nested" / "data";
    {
        auto manager = CollectionManager::open(base.string());
        ASSERT_TRUE(manager);
        auto docs = manager->create("docs", 2, Metric::L2, IndexType::Flat);
        ASSERT_TRUE(docs);
        ASSERT_TRUE((*docs)->upsert(1, vec(1)));
        auto again = manager->create("docs", 2, Metric::L2, IndexType::Flat);
        ASSERT_FALSE(again);
        EXPECT_EQ(again.error().kind, ErrorKind::CollectionAlreadyExists);
        EXPECT_EQ(*manager->get_or_create("docs", 7, Metric::Cosine), *docs);
    }
    auto reopened = CollectionManager::open(base.string());
    ASSERT_TRUE(reopened);
    ASSERT_EQ(reopened->names(), std::vector<std::string>{"docs"});
    EXPECT_EQ(reopened->get("docs")->len(), 1u);
    EXPECT_EQ(*reopened->remove("docs"), true);
    EXPECT_EQ(*reopened->remove("docs"), false);
    EXPECT_FALSE(fs::exists(base / "docs"));
}

TEST(CollectionManager, OpenSkipsWhatCannotBeOpenedAndLeavesItAlone) {
    TempDir dir;
    fs::create_directories(dir.path() / "corrupt");
    write_text(dir.path() / "corrupt" / "meta.json", "{\"name\": ");
    fs::create_directories(dir.path() / "empty");
    write_text(dir.path() / "stray.txt", "x");
    auto manager = CollectionManager::open(dir.path().string());
    ASSERT_TRUE(manager);
    EXPECT_EQ(manager->size(), 0u);
    auto refused = manager->create("corrupt", 2, Metric::L2, IndexType::Flat);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, ErrorKind::CollectionAlreadyExists);
    EXPECT_TRUE(fs::exists(dir.path() / "corrupt" / "meta.json"));
    EXPECT_TRUE(fs::exists(dir.path() / "empty"));
}

TEST(CollectionManager, RefusesNamesThatLeaveTheDataDirectory) {
    TempDir dir;
    auto manager = CollectionManager::open((dir.path() / "data").string());
    ASSERT_TRUE(manager);
    auto refused = manager->create("../escape", 2, Metric::L2, IndexType::Flat);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), "invalid configuration: invalid collection name: \"../escape\"");
    EXPECT_FALSE(fs::exists(dir.path() / "escape"));
}

TEST(Snapshots, RestoreReplacesTheCollectionWithTheSnapshotState) {
    TempDir dir;
    auto manager = CollectionManager::open(dir.path().string());
    ASSERT_TRUE(manager);
    Collection* docs = *manager->create("docs", 2, Metric::L2, IndexType::Flat);
    ASSERT_TRUE(docs->upsert_hybrid(1, vec(1), SparseVector{{3}, {1.0f}}, Payload{{"a", 1}}));
    auto meta = create_snapshot(*docs, "s");
    ASSERT_TRUE(meta);
    EXPECT_EQ(meta->vector_count, 1u);
    EXPECT_EQ(meta->sparse_count, 1u);
    ASSERT_TRUE(docs->upsert(2, vec(2)));
    ASSERT_TRUE(docs->remove(1));

    ASSERT_TRUE(restore_snapshot(*manager, "docs", "s"));
    const Collection* restored = manager->get("docs");
    EXPECT_EQ(restored->len(), 1u);
    EXPECT_EQ(restored->sparse_count(), 1u);
    ASSERT_NE(restored->payload(1), nullptr);
    EXPECT_EQ(*restored->payload(1), (Payload{{"a", 1}}));

    auto listed = list_snapshots(*restored);
    ASSERT_TRUE(listed);
    ASSERT_EQ(listed->size(), 1u);
    EXPECT_EQ((*listed)[0].name, "s");
    ASSERT_TRUE(delete_snapshot(*restored, "s"));
    EXPECT_EQ(delete_snapshot(*restored, "s").error().kind, ErrorKind::SnapshotNotFound);
}

TEST(SnapshotMetaFile, WritesFourKeysInOrderAndReadsLeniently) {
    SnapshotMeta meta{"s", 1700000000, 5, 2};
    EXPECT_EQ(snapshot_meta_to_json(meta),
              "{\n  \"name\": \"s\",\n  \"created_at\": 1700000000,\n  \"vector_count\": 5,\n"
              "  \"sparse_count\": 2\n}");
    auto reordered = snapshot_meta_from_json(
        R"({"sparse_count": 2, "extra": [1], "vector_count": 5, "created_at": 7, "name": "n"})");
    ASSERT_TRUE(reordered);
    EXPECT_EQ(reordered->created_at, 7u);
    EXPECT_EQ(reordered->name, "n");
    EXPECT_FALSE(snapshot_meta_from_json(R"({"name": "s", "created_at": 1, "vector_count": 5})"));
    EXPECT_FALSE(snapshot_meta_from_json(
        R"({"name": "s", "name": "t", "created_at": 1, "vector_count": 5, "sparse_count": 0})"));
    EXPECT_FALSE(snapshot_meta_from_json(
        R"({"name": "s", "created_at": -1, "vector_count": 5, "sparse_count": 0})"));
    EXPECT_FALSE(snapshot_meta_from_json("[1, 2]"));
    EXPECT_FALSE(snapshot_meta_from_json("{"));
}

TEST(SnapshotNames, RuleKeepsEveryPathInsideTheSnapshotsDirectory) {
    for (std::string_view good : {"x", "a.b", "v1"}) EXPECT_TRUE(is_valid_snapshot_name(good)) << good;
    for (std::string_view bad : {"", ".", "..", "a/b", "a\\b", "x..y", "/abs"}) {
        EXPECT_FALSE(is_valid_snapshot_name(bad)) << bad;
    }
    EXPECT_FALSE(is_valid_snapshot_name(std::string_view("a\0b", 3)));
}

namespace {

ino_t inode_of(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::vector<VectorId> nearest_ids(const Collection& collection) {
    const std::vector<float> query = vec(7.2f);
    auto hits = collection.search(query, 5, nullptr);
    std::vector<VectorId> ids;
    for (const CollectionHit& hit : *hits) ids.push_back(hit.id);
    return ids;
}

}  // namespace

TEST(SharedManager, DroppingItSavesChangedGraphsThatTheNextOpenAdopts) {
    TempDir dir;
    const fs::path graph = dir.path() / "docs" / "hnsw.graph";
    std::vector<VectorId> before;
    {
        auto manager = CollectionManager::open(dir.path().string());
        ASSERT_TRUE(manager);
        Collection* docs = *manager->create("docs", 2, Metric::L2, IndexType::Hnsw);
        ASSERT_TRUE(*manager->create("plain", 2, Metric::L2, IndexType::Flat));
        for (VectorId id = 0; id < 40; ++id) ASSERT_TRUE(docs->upsert(id, vec(static_cast<float>(id))));
        ASSERT_TRUE(docs->remove(7));
        before = nearest_ids(*docs);
        SharedManager shared(std::move(*manager));
        EXPECT_FALSE(fs::exists(graph));  // far below the compaction threshold
    }
    ASSERT_TRUE(fs::exists(graph));
    EXPECT_FALSE(fs::exists(dir.path() / "plain" / "hnsw.graph"));
    const ino_t saved = inode_of(graph);
    {
        auto manager = CollectionManager::open(dir.path().string());
        ASSERT_TRUE(manager);
        EXPECT_EQ(nearest_ids(*manager->get("docs")), before);
        SharedManager shared(std::move(*manager));
    }
    // Adopted at open and unchanged since: not written again.
    EXPECT_EQ(inode_of(graph), saved);
}

TEST(SharedManager, APoisonedManagerLeavesNoGraphBehind) {
    TempDir dir;
    {
        auto manager = CollectionManager::open(dir.path().string());
        ASSERT_TRUE(manager);
        Collection* docs = *manager->create("docs", 2, Metric::L2, IndexType::Hnsw);
        ASSERT_TRUE(docs->upsert(1, vec(1)));
        SharedManager shared(std::move(*manager));
        shared.poison();
    }
    EXPECT_FALSE(fs::exists(dir.path() / "docs" / "hnsw.graph"));
}
