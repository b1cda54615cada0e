#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>

#include "messages.hpp"
#include "platform/console.hpp"

namespace mirandel::platform {
namespace {

/// Puts one end of a fresh pipe in place of a standard handle for the test's
/// duration and gives the other end to the test.
class RedirectedStandardHandle {
 public:
  RedirectedStandardHandle(DWORD which, bool program_writes) : which_(which) {
    saved_ = GetStdHandle(which);
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, nullptr, 1 << 16)) return;
    program_end_ = program_writes ? write_end : read_end;
    test_end_ = program_writes ? read_end : write_end;
    SetStdHandle(which_, program_end_);
  }
  RedirectedStandardHandle(const RedirectedStandardHandle&) = delete;
  RedirectedStandardHandle& operator=(const RedirectedStandardHandle&) = delete;
  ~RedirectedStandardHandle() {
    SetStdHandle(which_, saved_);
    close_program_end();
    close_test_end();
  }
  bool ok() const { return test_end_ != nullptr; }
  HANDLE test_end() const { return test_end_; }
  void close_program_end() {
    if (program_end_) CloseHandle(program_end_);
    program_end_ = nullptr;
  }
  void close_test_end() {
    if (test_end_) CloseHandle(test_end_);
    test_end_ = nullptr;
  }

  /// Everything the program wrote, once its end is closed.
  std::string drain() {
    close_program_end();
    std::string all;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(test_end_, buffer, sizeof buffer, &got, nullptr) && got > 0)
      all.append(buffer, got);
    return all;
  }

 private:
  DWORD which_;
  HANDLE saved_ = nullptr;
  HANDLE program_end_ = nullptr;
  HANDLE test_end_ = nullptr;
};

TEST(ConsoleWin32, PipedStdoutGetsTheUtf8BytesAndOneBareLineFeed) {
  RedirectedStandardHandle out(STD_OUTPUT_HANDLE, true);
  ASSERT_TRUE(out.ok());
  std::string document =
      "{\"slots\":[{\"description\":\"Citt\xc3\xa0\",\"token_label\":null,"
      "\"certs\":[]}],\"error\":null}";
  write_document_to_stdout(document);
  EXPECT_EQ(out.drain(), document + "\n");
}

TEST(ConsoleWin32, StderrGetsTheUsageLineUnchanged) {
  RedirectedStandardHandle err(STD_ERROR_HANDLE, true);
  ASSERT_TRUE(err.ok());
  write_stderr(USAGE_LINE);
  std::string written = err.drain();
  EXPECT_EQ(written, USAGE_LINE);
  EXPECT_EQ(written.size(), 71u);
}

TEST(ConsoleWin32, StdinIsReadToItsEndWithEveryByteKept) {
  RedirectedStandardHandle in(STD_INPUT_HANDLE, false);
  ASSERT_TRUE(in.ok());
  // More than the pipe holds, so the reader must loop while the writer is
  // still at work; CR, Ctrl-Z and NUL must come through untouched.
  std::string request = "{\"pin\":\"1234\",\r\n\"data_hex\":\"";
  request.append(200000, 'a');
  request.append("\"}\r\n\x1a\0tail", 9);
  std::thread writer([&] {
    std::string_view left = request;
    while (!left.empty()) {
      DWORD written = 0;
      if (!WriteFile(in.test_end(), left.data(), static_cast<DWORD>(left.size()), &written,
                     nullptr))
        break;
      left.remove_prefix(written);
    }
    // Closing the writing end is what ends the pipe's data.
    in.close_test_end();
  });
  SecretBytes read;
  bool complete = read_stdin(read);
  writer.join();
  EXPECT_TRUE(complete);
  EXPECT_EQ(read.view(), request);
}

TEST(ConsoleWin32, StdinWithoutAHandleIsAFailure) {
  HANDLE saved = GetStdHandle(STD_INPUT_HANDLE);
  SetStdHandle(STD_INPUT_HANDLE, nullptr);
  SecretBytes read;
  EXPECT_FALSE(read_stdin(read));
  SetStdHandle(STD_INPUT_HANDLE, saved);
}

}  // namespace
}  // namespace mirandel::platform
