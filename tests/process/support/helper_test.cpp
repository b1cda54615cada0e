// The process-test fixture.
#include "helper_test.hpp"

#include <stdlib.h>

#include <fstream>
#include <sstream>

namespace mirandel::test {

void HelperProcessTest::SetUp() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "mirandel-process-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  dir_ = pattern;
}

void HelperProcessTest::TearDown() {
  // Kept after a failure, for a look at the scenario, the log and the files.
  if (HasFailure()) {
    std::printf("test files kept in %s\n", dir_.c_str());
    return;
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string HelperProcessTest::module(MockVariant variant) {
  return target_path(mock_library(variant));
}

ProcessResult HelperProcessTest::run(const std::vector<std::string>& arguments,
                                     std::optional<std::string> input) {
  scenario.write(dir_ / "scenario.txt");
  std::error_code ignored;
  std::filesystem::remove(dir_ / "calls.log", ignored);
  ProcessOptions options;
  options.environment = {{"MIRANDEL_MOCK_SCENARIO", file("scenario.txt")},
                         {"MIRANDEL_MOCK_LOG", file("calls.log")}};
  options.input = std::move(input);
  options.working_directory = dir_;
  ProcessResult result = run_helper(arguments, options);
  EXPECT_FALSE(result.exec_failed) << "could not start " << helper_executable();
  EXPECT_FALSE(result.timed_out) << result.describe();
  const CallLog calls = log();
  EXPECT_EQ(calls.count("SCENARIO-ERROR"), 0u) << calls.text();
  return result;
}

std::optional<std::string> HelperProcessTest::read_file(const std::string& name) const {
  std::ifstream in(dir_ / name, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void HelperProcessTest::write_file(const std::string& name, const std::string& bytes) const {
  std::ofstream out(dir_ / name, std::ios::binary | std::ios::trunc);
  out << bytes;
}

}  // namespace mirandel::test
