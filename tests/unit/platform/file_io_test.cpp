#include "platform/file_io.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "test_files.hpp"

namespace mirandel::platform {
namespace {

namespace fs = std::filesystem;

class FileIo : public testing::Test {
 protected:
  test::TempDir dir_{"mirandel-file-io-"};
};

/// Every byte value, repeated past several read chunks.
std::string all_bytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 % 256);
  return bytes;
}

TEST_F(FileIo, WritesAndReadsBackEveryByte) {
  // Past the heap blocks into pages of their own, and past a huge page.
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4096}, std::size_t{10001},
                           std::size_t{1} << 20, (std::size_t{5} << 20) + 3}) {
    fs::path path = dir_.path() / "data.bin";
    std::string bytes = all_bytes(size);
    ASSERT_TRUE(write_file(path, bytes)) << size;
    SecretBytes read;
    ASSERT_TRUE(read_file(path, read)) << size;
    EXPECT_EQ(read.view(), bytes) << size;
  }
}

TEST_F(FileIo, WriteTruncatesAnExistingFile) {
  fs::path path = dir_.path() / "out.json";
  ASSERT_TRUE(write_file(path, std::string(5000, 'x')));
  ASSERT_TRUE(write_file(path, "{}"));
  EXPECT_EQ(fs::file_size(path), 2u);
}

TEST_F(FileIo, WriteFailsWithoutCreatingAnything) {
  EXPECT_FALSE(write_file(fs::path(), "x"));
  EXPECT_FALSE(write_file(dir_.path() / "missing" / "out.json", "x"));
  EXPECT_FALSE(fs::exists(dir_.path() / "missing"));
  EXPECT_FALSE(write_file(dir_.path(), "x"));
}

TEST_F(FileIo, ReadFailsForEmptyMissingAndDirectoryPaths) {
  SecretBytes out;
  EXPECT_FALSE(read_file("", out));
  EXPECT_FALSE(read_file(dir_.path() / "missing.json", out));
  EXPECT_FALSE(read_file(dir_.path(), out));
}

}  // namespace
}  // namespace mirandel::platform
