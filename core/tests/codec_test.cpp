#include "codec.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

using tvdb::ByteEncoder;
using tvdb::RecordDecoder;

TEST(RecordEncoding, FieldsAreLittleEndianBackToBack) {
    ByteEncoder out;
    out.u32(0x01020304);
    out.boolean(true);
    out.string("ab");
    out.f32_seq(std::vector<float>{1.0f});
    std::vector<uint8_t> expected{4, 3, 2, 1, 1, 2, 0, 0, 0, 0, 0, 0, 0, 'a', 'b',
                                  1, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x80, 0x3f};
    EXPECT_EQ(out.bytes(), expected);
}

TEST(RecordEncoding, RoundTripsEveryFieldKind) {
    ByteEncoder out;
    out.u8(7);
    out.u16(65535);
    out.u64(1ULL << 63);
    out.f64(2.5);
    out.boolean(false);
    out.u64_seq(std::vector<uint64_t>{1, 2, 3});
    out.string("héllo");
    RecordDecoder in(out.bytes());
    EXPECT_EQ(in.u8(), 7);
    EXPECT_EQ(in.u16(), 65535);
    EXPECT_EQ(in.u64(), 1ULL << 63);
    EXPECT_EQ(in.f64(), 2.5);
    EXPECT_FALSE(in.boolean());
    EXPECT_EQ(in.u64_seq(), (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(in.string(), "héllo");
    EXPECT_TRUE(in.ok());
    EXPECT_EQ(in.remaining(), 0u);
}

TEST(RecordDecoding, EveryMalformedInputFailsWithoutReadingPastTheEnd) {
    std::vector<uint8_t> three{1, 2, 3};
    RecordDecoder truncated(three);
    EXPECT_EQ(truncated.u32(), 0u);
    EXPECT_FALSE(truncated.ok());
    EXPECT_EQ(truncated.error().kind, tvdb::ErrorKind::Serialization);

    std::vector<uint8_t> flag{2};
    RecordDecoder bad_bool(flag);
    bad_bool.boolean();
    EXPECT_FALSE(bad_bool.ok());

    ByteEncoder variant;
    variant.u32(3);
    RecordDecoder bad_variant(variant.bytes());
    bad_variant.variant(3);
    EXPECT_FALSE(bad_variant.ok());

    ByteEncoder huge;
    huge.u64(1ULL << 60);  // a count no file of this size can hold
    huge.u32(0);
    RecordDecoder bad_count(huge.bytes());
    EXPECT_TRUE(bad_count.f32_seq().empty());
    EXPECT_FALSE(bad_count.ok());

    ByteEncoder short_string;
    short_string.u64(10);
    short_string.u8('x');
    RecordDecoder bad_string(short_string.bytes());
    EXPECT_EQ(bad_string.string(), "");
    EXPECT_FALSE(bad_string.ok());
}

TEST(RecordDecoding, FirstFailureIsKept) {
    std::vector<uint8_t> one{9};
    RecordDecoder in(one);
    in.u64();
    std::string first = in.error_text();
    in.u8();
    in.fail("later");
    EXPECT_EQ(in.error_text(), first);
}

TEST(FileEncoding, WritesThroughTheBufferAndReportsOpenFailures) {
    std::string path = ::testing::TempDir() + "/codec_test.bin";
    auto file = tvdb::FileEncoder::create(path);
    ASSERT_TRUE(file.has_value());
    std::vector<float> many(5000, 1.5f);  // more than one 8 KiB buffer
    file->f32_seq(many);
    ASSERT_TRUE(file->finish().has_value());
    auto bytes = tvdb::read_file(path);
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(bytes->size(), 8 + 4 * many.size());
    RecordDecoder in(*bytes);
    EXPECT_EQ(in.f32_seq(), many);
    std::remove(path.c_str());

    auto missing_dir = tvdb::FileEncoder::create("/nonexistent-dir/x.bin");
    ASSERT_FALSE(missing_dir.has_value());
    EXPECT_EQ(missing_dir.error().kind, tvdb::ErrorKind::Io);
    EXPECT_FALSE(tvdb::read_file("/nonexistent-dir/x.bin").has_value());
}

TEST(FileEncoding, AWriteFailureIsReportedAsSerialization) {
    auto full = tvdb::FileEncoder::create("/dev/full");
    if (!full) GTEST_SKIP() << "/dev/full not available";
    full->u64(1);
    auto finished = full->finish();
    ASSERT_FALSE(finished.has_value());
    EXPECT_EQ(finished.error().kind, tvdb::ErrorKind::Serialization);
}
