#include "file_io.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "codec.hpp"

namespace tvdb {
namespace {

std::string temp_path(const char* name) {
    return testing::TempDir() + "/" + name + "_" + std::to_string(::getpid());
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

TEST(FileIo, OpenSizedReportsTheSizeOrTheErrnoOfTheOpen) {
    const std::string path = temp_path("open_sized");
    ASSERT_TRUE(write_file(path, std::string_view("twelve bytes")));
    auto file = open_sized(path, O_RDONLY);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->size, 12u);

    auto missing = open_sized(path + ".missing", O_RDONLY);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, ErrorKind::Io);
    EXPECT_EQ(missing.error().os_code, ENOENT);
    ::unlink(path.c_str());
}

TEST(FileIo, WriteFullyWritesEveryByteOrNamesTheFailure) {
    const std::string path = temp_path("write_fully");
    std::vector<uint8_t> bytes(200000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    auto file = open_sized(path, O_WRONLY | O_CREAT | O_TRUNC);
    ASSERT_TRUE(file);
    const int fd = file->fd.get();
    WriteOutcome outcome = write_fully(fd, bytes.data(), bytes.size());
    ASSERT_EQ(file->fd.close(), 0);
    EXPECT_EQ(outcome.written, bytes.size());
    EXPECT_EQ(outcome.error, 0);
    EXPECT_EQ(*read_file(path), bytes);

    WriteOutcome closed = write_fully(fd, bytes.data(), bytes.size());
    EXPECT_EQ(closed.written, 0u);
    EXPECT_EQ(closed.error, EBADF);
    ::unlink(path.c_str());
}

TEST(FileIo, RenameOverReplacesTheTargetOrRemovesTheTemporary) {
    const std::string target = temp_path("rename_target");
    const std::string temporary = target + ".tmp";
    ASSERT_TRUE(write_file(target, std::string_view("old")));
    ASSERT_TRUE(write_file(temporary, std::string_view("new")));
    ASSERT_TRUE(rename_over(temporary, target));
    EXPECT_EQ(*read_file(target), (std::vector<uint8_t>{'n', 'e', 'w'}));
    EXPECT_FALSE(exists(temporary));

    ASSERT_TRUE(write_file(temporary, std::string_view("newer")));
    auto failed = rename_over(temporary, temp_path("no_such_directory") + "/target");
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().os_code, ENOENT);
    EXPECT_FALSE(exists(temporary));
    EXPECT_EQ(*read_file(target), (std::vector<uint8_t>{'n', 'e', 'w'}));
    ::unlink(target.c_str());
}

}  // namespace
}  // namespace tvdb
