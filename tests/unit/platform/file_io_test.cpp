#include "platform/file_io.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace mirandel::platform {
namespace {

namespace fs = std::filesystem;

class FileIo : public testing::Test {
 protected:
  void SetUp() override {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    directory_ = fs::temp_directory_path() / (std::string("mirandel-file-io-") + info->name() +
                                              "-" + std::to_string(std::random_device{}()));
    fs::remove_all(directory_);
    fs::create_directories(directory_);
  }
  void TearDown() override { fs::remove_all(directory_); }

  fs::path directory_;
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
    fs::path path = directory_ / "data.bin";
    std::string bytes = all_bytes(size);
    ASSERT_TRUE(write_file(path, bytes)) << size;
    SecretBytes read;
    ASSERT_TRUE(read_file(path, read)) << size;
    EXPECT_EQ(read.view(), bytes) << size;
  }
}

TEST_F(FileIo, WriteTruncatesAnExistingFile) {
  fs::path path = directory_ / "out.json";
  ASSERT_TRUE(write_file(path, std::string(5000, 'x')));
  ASSERT_TRUE(write_file(path, "{}"));
  EXPECT_EQ(fs::file_size(path), 2u);
}

TEST_F(FileIo, WriteFailsWithoutCreatingAnything) {
  EXPECT_FALSE(write_file("", "x"));
  EXPECT_FALSE(write_file(directory_ / "missing" / "out.json", "x"));
  EXPECT_FALSE(fs::exists(directory_ / "missing"));
  EXPECT_FALSE(write_file(directory_, "x"));
}

TEST_F(FileIo, ReadFailsForEmptyMissingAndDirectoryPaths) {
  SecretBytes out;
  EXPECT_FALSE(read_file("", out));
  EXPECT_FALSE(read_file(directory_ / "missing.json", out));
  EXPECT_FALSE(read_file(directory_, out));
}

}  // namespace
}  // namespace mirandel::platform
