// The process-test fixture.
#include "helper_test.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace mirandel::test {

void HelperProcessTest::TearDown() {
  // Kept after a failure, for a look at the scenario, the log and the files.
  if (HasFailure()) {
    dir_.keep();
    std::printf("test files kept in %s\n", dir().c_str());
  }
}

std::string HelperProcessTest::module(MockVariant variant) {
  return target_path(mock_library(variant));
}

ProcessResult HelperProcessTest::run(const std::vector<std::string>& arguments,
                                     std::optional<std::string> input, ProcessOptions options) {
  scenario.write(dir() / "scenario.txt");
  std::error_code ignored;
  std::filesystem::remove(dir() / "calls.log", ignored);
  options.environment = {{"MIRANDEL_MOCK_SCENARIO", file("scenario.txt")},
                         {"MIRANDEL_MOCK_LOG", file("calls.log")}};
  options.input = std::move(input);
  options.working_directory = dir();
  ProcessResult result = run_helper(arguments, options);
  EXPECT_FALSE(result.exec_failed) << "could not start " << helper_executable();
  EXPECT_FALSE(result.timed_out) << result.describe();
  const CallLog calls = log();
  EXPECT_EQ(calls.count("SCENARIO-ERROR"), 0u) << calls.text();
  return result;
}

std::vector<std::string> HelperProcessTest::other_files() const {
  std::vector<std::string> names;
  for (const std::filesystem::directory_entry& entry : std::filesystem::directory_iterator(dir())) {
    const std::string name = entry.path().filename().string();
    if (name != "scenario.txt" && name != "calls.log") names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<std::string> HelperProcessTest::read_file(const std::string& name) const {
  return read_whole(dir() / name);
}

void HelperProcessTest::write_file(const std::string& name, const std::string& bytes) const {
  std::ofstream out(dir() / name, std::ios::binary | std::ios::trunc);
  out << bytes;
}

void expect_teardown(const CallLog& calls, bool finalize_entry_present) {
  bool initialized = false;
  for (const RecordedCall& call : calls.all("C_Initialize"))
    if (call.rv == 0u) initialized = true;
  const std::vector<RecordedCall> finalizes = calls.all("C_Finalize");
  if (!initialized || !finalize_entry_present) {
    EXPECT_EQ(finalizes.size(), 0u) << calls.text();
    return;
  }
  ASSERT_EQ(finalizes.size(), 1u) << calls.text();
  EXPECT_EQ(finalizes[0].argument("reserved"), "null") << calls.text();
  EXPECT_EQ(calls.call_names().back(), "C_Finalize") << calls.text();
  EXPECT_LT(calls.last_index("C_Finalize"), calls.last_index("UNLOAD")) << calls.text();
}

}  // namespace mirandel::test
