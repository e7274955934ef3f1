#include "wal.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "codec.hpp"
#include "wal_format.hpp"

using tvdb::Wal;
using tvdb::WalAdd;
using tvdb::WalDelete;
using tvdb::WalEntry;

namespace {

class WalTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::path(::testing::TempDir()) /
               ("wal_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    std::string path() const { return (dir_ / "wal.log").string(); }
    std::vector<uint8_t> bytes() const { return *tvdb::read_file(path()); }
    void write_bytes(const std::vector<uint8_t>& data) const {
        std::ofstream out(path(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    std::vector<WalEntry> replay(tvdb::WalReadSummary* summary = nullptr) const {
        std::vector<WalEntry> entries;
        auto read = tvdb::read_wal(path(), [&](WalEntry&& e) { entries.push_back(std::move(e)); });
        EXPECT_TRUE(read);
        if (summary && read) *summary = *read;
        return entries;
    }

    std::filesystem::path dir_;
};

std::vector<uint8_t> frame(const std::vector<uint8_t>& record) {
    std::vector<uint8_t> out(4);
    uint32_t length = static_cast<uint32_t>(record.size());
    std::memcpy(out.data(), &length, 4);
    out.insert(out.end(), record.begin(), record.end());
    return out;
}

void append(std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

std::vector<uint64_t> ids_of(const std::vector<WalEntry>& entries) {
    std::vector<uint64_t> ids;
    for (const auto& e : entries) {
        ids.push_back(std::visit([](const auto& v) { return v.id; }, e));
    }
    return ids;
}

WalAdd add_entry(uint64_t id, std::vector<float> vector) {
    return WalAdd{.id = id, .vector = std::move(vector), .payload = std::nullopt, .sparse = std::nullopt};
}

}  // namespace

TEST_F(WalTest, DeleteFrameIsSixteenBytes) {
    auto wal = Wal::open(path());
    ASSERT_TRUE(wal);
    ASSERT_TRUE(wal->append_delete(0x0102030405060708ull));
    ASSERT_TRUE(wal->flush());
    EXPECT_EQ(bytes(), (std::vector<uint8_t>{12, 0, 0, 0, 1, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1}));
}

TEST_F(WalTest, EmptyAddRecordIsTwentyTwoBytes) {
    auto wal = Wal::open(path());
    ASSERT_TRUE(wal);
    ASSERT_TRUE(wal->append_add(5, {}, std::nullopt, std::nullopt));
    ASSERT_TRUE(wal->flush());
    std::vector<uint8_t> expected = {22, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0,
                                     0,  0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(bytes(), expected);
    EXPECT_EQ(tvdb::wal_add_record_length(0, std::nullopt, std::nullopt), 22u);
}

TEST_F(WalTest, AddFrameMatchesTheRecordEncodingOfItsEntry) {
    WalAdd add{.id = 9, .vector = {1.5f, -2.0f}, .payload = std::string(R"({"a":1})"),
               .sparse = std::vector<uint8_t>{1, 2, 3}};
    auto wal = Wal::open(path());
    ASSERT_TRUE(wal);
    std::span<const uint8_t> sparse(*add.sparse);
    ASSERT_TRUE(wal->append_add(add.id, add.vector, *add.payload, sparse));
    ASSERT_TRUE(wal->flush());
    auto record = tvdb::encode_wal_record(add);
    EXPECT_EQ(record.size(), tvdb::wal_add_record_length(2, 7, 3));
    EXPECT_EQ(record.size(), 20u + 8 + (9 + 7) + (9 + 3));
    EXPECT_EQ(bytes(), frame(record));
    auto decoded = tvdb::decode_wal_record(record);
    ASSERT_TRUE(decoded);
    const auto& back = std::get<WalAdd>(*decoded);
    EXPECT_EQ(back.vector, add.vector);
    EXPECT_EQ(back.payload, add.payload);
    EXPECT_EQ(back.sparse, add.sparse);
}

TEST_F(WalTest, OpenAppendsWithoutTruncatingAndCountsFromZero) {
    {
        auto wal = Wal::open(path());
        ASSERT_TRUE(wal);
        ASSERT_TRUE(wal->append_delete(1));
        ASSERT_TRUE(wal->flush());
    }
    auto wal = Wal::open(path());
    ASSERT_TRUE(wal);
    EXPECT_EQ(wal->count(), 0u);
    ASSERT_TRUE(wal->append_delete(2));
    ASSERT_TRUE(wal->flush());
    EXPECT_EQ(ids_of(replay()), (std::vector<uint64_t>{1, 2}));
}

TEST_F(WalTest, LogEndingAtFrameBoundaryReplaysEveryFrame) {
    std::vector<uint8_t> log;
    append(log, frame(tvdb::encode_wal_record(add_entry(1, {1.0f}))));
    append(log, frame(tvdb::encode_wal_record(WalDelete{.id = 2})));
    write_bytes(log);
    tvdb::WalReadSummary summary;
    EXPECT_EQ(ids_of(replay(&summary)), (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(summary.valid_length, log.size());
    EXPECT_EQ(summary.trailing_bytes, 0u);
}

TEST_F(WalTest, TornLastFrameAtEveryByteReplaysEarlierFrames) {
    std::vector<uint8_t> complete;
    append(complete, frame(tvdb::encode_wal_record(add_entry(1, {1.0f, 2.0f}))));
    append(complete, frame(tvdb::encode_wal_record(WalDelete{.id = 2})));
    const size_t good = complete.size();
    WalAdd last{.id = 3, .vector = {3.0f}, .payload = std::string("{}"), .sparse = std::vector<uint8_t>(16, 0)};
    append(complete, frame(tvdb::encode_wal_record(last)));
    for (size_t cut = good; cut < complete.size(); ++cut) {
        write_bytes(std::vector<uint8_t>(complete.begin(), complete.begin() + static_cast<long>(cut)));
        tvdb::WalReadSummary summary;
        EXPECT_EQ(ids_of(replay(&summary)), (std::vector<uint64_t>{1, 2})) << "cut at " << cut;
        EXPECT_EQ(summary.valid_length, good);
        EXPECT_EQ(summary.trailing_bytes, cut - good);
    }
}

TEST_F(WalTest, UndecodableMiddleFramesAreSkipped) {
    std::vector<uint8_t> log;
    append(log, frame(tvdb::encode_wal_record(add_entry(1, {1.0f}))));
    append(log, frame({}));                                    // length 0
    append(log, frame({1, 0, 0}));                             // shorter than a variant index
    append(log, frame({2, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0}));  // unknown variant
    auto overclaiming = tvdb::encode_wal_record(add_entry(4, {1.0f}));
    overclaiming[12] = 200;  // component count past the end of the record
    append(log, frame(overclaiming));
    auto with_tail = tvdb::encode_wal_record(WalDelete{.id = 5});
    with_tail.push_back(0xAB);  // bytes after a decoded record are ignored
    append(log, frame(with_tail));
    append(log, frame(tvdb::encode_wal_record(WalDelete{.id = 6})));
    write_bytes(log);
    tvdb::WalReadSummary summary;
    EXPECT_EQ(ids_of(replay(&summary)), (std::vector<uint64_t>{1, 5, 6}));
    EXPECT_EQ(summary.frames_skipped, 4u);
    EXPECT_EQ(summary.valid_length, log.size());
}

TEST_F(WalTest, OversizedLengthEndsTheLog) {
    std::vector<uint8_t> log;
    append(log, frame(tvdb::encode_wal_record(WalDelete{.id = 1})));
    const size_t good = log.size();
    uint32_t oversized = tvdb::wal_format::kMaxRecordLength + 1;
    log.insert(log.end(), reinterpret_cast<uint8_t*>(&oversized), reinterpret_cast<uint8_t*>(&oversized) + 4);
    append(log, frame(tvdb::encode_wal_record(WalDelete{.id = 2})));
    write_bytes(log);
    tvdb::WalReadSummary summary;
    EXPECT_EQ(ids_of(replay(&summary)), (std::vector<uint64_t>{1}));
    EXPECT_EQ(summary.valid_length, good);
    EXPECT_EQ(summary.trailing_bytes, log.size() - good);
}

TEST_F(WalTest, MissingLogReadsAsEmpty) {
    tvdb::WalReadSummary summary;
    EXPECT_TRUE(replay(&summary).empty());
    EXPECT_EQ(summary.valid_length, 0u);
}

TEST_F(WalTest, RewriteReplacesTheLogThroughTheTemporaryFile) {
    EXPECT_EQ(tvdb::wal_rewrite_path(path()), (dir_ / "wal.log.tmp").string());
    {
        auto wal = Wal::open(path());
        ASSERT_TRUE(wal->append_delete(1));
        ASSERT_TRUE(wal->flush());
    }
    std::vector<WalEntry> entries = {add_entry(7, {1.0f}), WalDelete{.id = 8}};
    auto written = Wal::compact(path(), entries);
    ASSERT_TRUE(written);
    EXPECT_EQ(*written, 2u);
    EXPECT_EQ(ids_of(replay()), (std::vector<uint64_t>{7, 8}));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "wal.log.tmp"));

    auto empty = Wal::compact(path(), {});
    ASSERT_TRUE(empty);
    EXPECT_EQ(*empty, 0u);
    EXPECT_EQ(std::filesystem::file_size(path()), 0u);
}

TEST_F(WalTest, AbandonedRewriteLeavesTheOldLogAndNoTemporaryFile) {
    {
        auto wal = Wal::open(path());
        ASSERT_TRUE(wal->append_delete(1));
        ASSERT_TRUE(wal->flush());
    }
    {
        auto rewriter = tvdb::WalRewriter::begin(path());
        ASSERT_TRUE(rewriter);
        rewriter->add_entry(WalDelete{.id = 2});
    }
    EXPECT_EQ(ids_of(replay()), (std::vector<uint64_t>{1}));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "wal.log.tmp"));
}

TEST_F(WalTest, BatchOfFramesIsBufferedUntilFlush) {
    auto wal = Wal::open(path());
    ASSERT_TRUE(wal);
    ASSERT_TRUE(wal->append_delete(1));
    ASSERT_TRUE(wal->append_delete(2));
    EXPECT_EQ(std::filesystem::file_size(path()), 0u);
    ASSERT_TRUE(wal->flush());
    EXPECT_EQ(std::filesystem::file_size(path()), 32u);
}

TEST_F(WalTest, DiscardedFramesNeverReachTheFile) {
    auto wal = Wal::open(path());
    ASSERT_TRUE(wal->append_delete(1));
    ASSERT_TRUE(wal->flush());
    std::vector<float> big(3000, 1.0f);  // more than the buffer: part of it is written
    ASSERT_TRUE(wal->append_add(2, big, std::nullopt, std::nullopt));
    wal->discard_pending();
    ASSERT_TRUE(wal->append_delete(3));
    ASSERT_TRUE(wal->flush());
    EXPECT_EQ(ids_of(replay()), (std::vector<uint64_t>{1, 3}));
}

// Writes beyond the file-size limit fail with EFBIG, which stands in for a full disk.
TEST_F(WalTest, FailedFlushCutsTheLogBackToTheLastAcknowledgedFrame) {
    auto wal = Wal::open(path());
    ASSERT_TRUE(wal->append_delete(1));
    ASSERT_TRUE(wal->flush());

    auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limited = saved;
    limited.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::vector<float> big(64, 1.0f);
    ASSERT_TRUE(wal->append_add(2, big, std::nullopt, std::nullopt));
    auto flushed = wal->flush();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous_handler);

    ASSERT_FALSE(flushed);
    EXPECT_EQ(flushed.error().kind, tvdb::ErrorKind::Io);
    EXPECT_EQ(std::filesystem::file_size(path()), 16u);
    ASSERT_TRUE(wal->append_delete(3));
    ASSERT_TRUE(wal->flush());
    EXPECT_EQ(ids_of(replay()), (std::vector<uint64_t>{1, 3}));
}
