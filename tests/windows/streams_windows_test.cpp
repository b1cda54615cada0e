// The standard streams of the Windows build under Wine: a standard handle
// the caller did not give, a module that opens a file through the shared C
// runtime while standard output is missing, and standard output on a pipe
// in non-blocking mode read slowly.
//
// Environment: MIRANDEL_TEST_WINDOWS_LAUNCHER (host path of
// mirandel_launcher.exe); mirandel_stream_launcher.exe sits beside it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "helper_test.hpp"

namespace mirandel::test {
namespace {

namespace fs = std::filesystem;

class WindowsStreams : public HelperProcessTest {
 protected:
  void SetUp() override {
    HelperProcessTest::SetUp();
    if (!target_uses_windows_paths()) GTEST_SKIP() << "not a Windows build under Wine";
  }

  /// Runs the program through the stream launcher in `mode`, in dir(), with
  /// the mock's variables set.
  ProcessResult run_streams(const std::string& mode, const std::vector<std::string>& arguments) {
    const char* launcher = std::getenv("MIRANDEL_TEST_WINDOWS_LAUNCHER");
    EXPECT_TRUE(launcher && *launcher) << "MIRANDEL_TEST_WINDOWS_LAUNCHER is not set";
    const fs::path stream_launcher =
        fs::path(launcher ? launcher : "").parent_path() / "mirandel_stream_launcher.exe";
    scenario.write(host_file("scenario.txt"));
    ProcessOptions options;
    options.environment = {{"MIRANDEL_MOCK_SCENARIO", file("scenario.txt")},
                           {"MIRANDEL_MOCK_LOG", file("calls.log")}};
    options.working_directory = dir();
    std::vector<std::string> argv = launcher_prefix();
    argv.push_back(stream_launcher.string());
    argv.push_back(mode);
    argv.push_back(target_path(helper_executable()));
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ProcessResult result = run_process(argv, options);
    EXPECT_LT(result.exit_code, 120) << "the launcher failed: " << result.describe();
    return result;
  }
};

TEST_F(WindowsStreams, NeverWritesTheDocumentIntoAFileTheModuleOpenedWithoutStandardOutput) {
  scenario.slot(1).certificate(from_hex("3082aa"));
  scenario.stdout_chatter(file("module.log"));
  const ProcessResult result = run_streams("closed-stdout", {module()});
  EXPECT_EQ(result.exit_code, 1) << result.describe();
  EXPECT_EQ(read_file("module.log"), "mock log opened\n");
}

TEST_F(WindowsStreams, WritesTheFileWhenNoStandardHandleWasGiven) {
  scenario.slot(1).certificate(from_hex("3082aa"));
  scenario.stdout_chatter(file("module.log"));
  const ProcessResult result = run_streams("closed-all", {module(), file("out.json")});
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(
      read_file("out.json"),
      R"({"slots":[{"description":"Mock slot 1","token_label":"Mock token 1","certs":[{"der_hex":"3082aa"}]}],"error":null})");
  EXPECT_EQ(read_file("module.log"), "mock log opened\n");
}

TEST_F(WindowsStreams, DeliversAWholeLargeListingThroughASlowNonBlockingPipe) {
  std::string document =
      R"({"slots":[{"description":"Mock slot 1","token_label":"Mock token 1","certs":[)";
  MockSlot& slot = scenario.slot(1);
  for (int i = 0; i < 6; ++i) {
    Bytes cert(10000, static_cast<char>('a' + i));
    slot.certificate(cert);
    document += (i ? "," : "") + std::string(R"({"der_hex":")") + to_hex(cert) + "\"}";
  }
  document += "]}],\"error\":null}";
  const ProcessResult result = run_streams("slow-nowait", {module()});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out.size(), document.size() + 1);
  EXPECT_TRUE(result.out == document + "\n") << "the document arrived cut or changed";
}

}  // namespace
}  // namespace mirandel::test
