#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/file_io.hpp"
#include "win32_test_support.hpp"

namespace mirandel::platform {
namespace {

using testing_win32::ScratchDirectory;

/// Opens `path` with its own access and sharing, as another program would.
HANDLE open_other(const std::filesystem::path& path, DWORD access, DWORD share) {
  return CreateFileW(path.c_str(), access, share, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

std::string read_through(HANDLE handle) {
  SetFilePointer(handle, 0, nullptr, FILE_BEGIN);
  std::string contents(4096, '\0');
  DWORD got = 0;
  ReadFile(handle, contents.data(), static_cast<DWORD>(contents.size()), &got, nullptr);
  contents.resize(got);
  return contents;
}

TEST(FileIoWin32, WritesAndReadsNamesThatNeedUnicode) {
  ScratchDirectory scratch(L"names");
  for (const wchar_t* name : {L"uscita \u00e8.json", L"\u6587\u4ef6 \xD83D\xDD11.json",
                              L" leading and trailing blanks .json"}) {
    std::filesystem::path path = scratch.path() / name;
    std::string document = "{\"signature\":null,\"error\":\"Citt\xc3\xa0\"}";
    ASSERT_TRUE(write_file(path, document)) << path.string();
    SecretBytes read;
    ASSERT_TRUE(read_file(path, read)) << path.string();
    EXPECT_EQ(read.view(), document);
    EXPECT_EQ(std::filesystem::file_size(path), document.size());
  }
}

TEST(FileIoWin32, WritesAFileThatAnotherProgramKeepsOpen) {
  ScratchDirectory scratch(L"shared");
  std::filesystem::path path = scratch.path() / L"out.json";
  const std::string old_document(300, 'x');
  ASSERT_TRUE(write_file(path, old_document));
  HANDLE watcher =
      open_other(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  ASSERT_NE(watcher, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(write_file(path, "{}"));
  // Written in place: the watcher's handle shows the new document.
  EXPECT_EQ(read_through(watcher), "{}");
  CloseHandle(watcher);
  SecretBytes read;
  ASSERT_TRUE(read_file(path, read));
  EXPECT_EQ(read.view(), "{}");
}

TEST(FileIoWin32, WritesTheNullDeviceInPlaceAndLeavesNoTemporaryFile) {
  ScratchDirectory scratch(L"device");
  std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(scratch.path());
  EXPECT_TRUE(write_file(std::filesystem::path(L"NUL"), "{}"));
  EXPECT_TRUE(write_file(std::filesystem::path(L"out.json"), "{}"));
  EXPECT_FALSE(write_file(scratch.path(), "{}"));
  EXPECT_EQ(test::hidden_names(scratch.path()), std::vector<std::string>{});
  EXPECT_EQ(std::filesystem::file_size(scratch.path() / L"out.json"), 2u);
  std::filesystem::current_path(previous);
}

TEST(FileIoWin32, ReadsAFileThatAnotherProgramIsWriting) {
  ScratchDirectory scratch(L"reading");
  std::filesystem::path path = scratch.path() / L"richiesta.json";
  HANDLE writer = open_other(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  const std::string request = "[\"1\",\r\n\"ab\"]";
  DWORD written = 0;
  ASSERT_TRUE(
      WriteFile(writer, request.data(), static_cast<DWORD>(request.size()), &written, nullptr));
  SecretBytes read;
  EXPECT_TRUE(read_file(path, read));
  EXPECT_EQ(read.view(), request);
  CloseHandle(writer);
}

TEST(FileIoWin32, FailsWhenTheFileIsLockedOrNotAFile) {
  ScratchDirectory scratch(L"locked");
  std::filesystem::path path = scratch.path() / L"out.json";
  HANDLE owner = open_other(path, GENERIC_READ | GENERIC_WRITE, 0);
  ASSERT_NE(owner, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(write_file(path, "{}"));
  SecretBytes read;
  EXPECT_FALSE(read_file(path, read));
  CloseHandle(owner);

  EXPECT_FALSE(read_file(scratch.path(), read));
  EXPECT_FALSE(read_file(scratch.path() / L"assente.json", read));
  EXPECT_FALSE(read_file(L"", read));
}

}  // namespace
}  // namespace mirandel::platform
