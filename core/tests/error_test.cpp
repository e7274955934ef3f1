#include "error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

using tvdb::VectorDbError;

TEST(ErrorDisplay, EveryVariantRendersItsFixedText) {
    EXPECT_EQ(VectorDbError::dimension_mismatch(4, 3).message(), "dimension mismatch: expected 4, got 3");
    EXPECT_EQ(VectorDbError::duplicate_id(18446744073709551615ULL).message(),
              "duplicate vector ID: 18446744073709551615");
    EXPECT_EQ(VectorDbError::not_found(7).message(), "vector ID not found: 7");
    EXPECT_EQ(VectorDbError::empty_index().message(), "index is empty");
    EXPECT_EQ(VectorDbError::invalid_config("x").message(), "invalid configuration: x");
    EXPECT_EQ(VectorDbError::serialization("y").message(), "serialization error: y");
    EXPECT_EQ(VectorDbError::io_message("disk gone").message(), "I/O error: disk gone");
    EXPECT_EQ(VectorDbError::collection_already_exists("a").message(), "collection already exists: a");
    EXPECT_EQ(VectorDbError::collection_not_found("a").message(), "collection not found: a");
    EXPECT_EQ(VectorDbError::wal_corruption(3, "bad").message(), "WAL corruption at entry 3: bad");
    EXPECT_EQ(VectorDbError::embedding_error("e").message(), "embedding error: e");
    EXPECT_EQ(VectorDbError::no_embedder("c").message(), "no embedder configured for collection 'c'");
    EXPECT_EQ(VectorDbError::snapshot_already_exists("s").message(), "snapshot already exists: s");
    EXPECT_EQ(VectorDbError::snapshot_not_found("s").message(), "snapshot not found: s");
}

TEST(ErrorDisplay, OperatingSystemErrorsShowMessageAndCode) {
    std::string expected = std::string("I/O error: ") + std::strerror(ENOENT) + " (os error 2)";
    EXPECT_EQ(VectorDbError::io_errno(ENOENT).message(), expected);
}

TEST(ErrorDebug, RecordVariantsNameTheirFields) {
    EXPECT_EQ(VectorDbError::dimension_mismatch(4, 3).debug(), "DimensionMismatch { expected: 4, got: 3 }");
    EXPECT_EQ(VectorDbError::wal_corruption(1, "torn").debug(), "WalCorruption { entry: 1, reason: \"torn\" }");
    EXPECT_EQ(VectorDbError::duplicate_id(5).debug(), "DuplicateId(5)");
    EXPECT_EQ(VectorDbError::empty_index().debug(), "EmptyIndex");
}

TEST(ErrorDebug, TextsAreQuotedWithEveryControlCharacterEscaped) {
    EXPECT_EQ(VectorDbError::serialization(std::string("a\"b\\\n\0\x01", 7)).debug(),
              "Serialization(\"a\\\"b\\\\\\n\\0\\u{1}\")");
}
