// The fixture of the process tests: a fresh directory per test, a scenario
// for the mock module, and one call of the program under test at a time.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "call_log.hpp"
#include "process.hpp"
#include "scenario.hpp"
#include "target.hpp"
#include "test_files.hpp"

namespace mirandel::test {

/// Base fixture: each test gets its own directory, which is also the
/// program's working directory, and its own scenario and call log there.
class HelperProcessTest : public ::testing::Test {
 protected:
  void TearDown() override;

  /// The test's own directory (host path).
  const std::filesystem::path& dir() const { return dir_.path(); }
  /// `name` inside dir() as a host path.
  std::filesystem::path host_file(const std::string& name) const { return dir() / name; }
  /// `name` inside dir() as the program under test names it.
  std::string file(const std::string& name) const { return target_path(dir() / name); }
  /// The mock library of `variant` as the program under test names it.
  static std::string module(MockVariant variant = MockVariant::InterfaceAndFunctionList);

  /// Writes the scenario, clears the call log, and runs the program with
  /// `arguments` (argument 0 is supplied) in dir(), the mock's variables set
  /// in its environment only. Fails the test if the mock reports a broken
  /// scenario or the program could not be started.
  /// `options` may add a file-size limit or a gone reader of standard output.
  ProcessResult run(const std::vector<std::string>& arguments,
                    std::optional<std::string> input = std::nullopt, ProcessOptions options = {});

  /// The call log of the last run.
  CallLog log() const { return CallLog::read(dir() / "calls.log"); }

  /// The names of the files in dir() other than the scenario and the log,
  /// sorted.
  std::vector<std::string> other_files() const;

  /// Reads a file in dir() whole; nullopt when it does not exist.
  std::optional<std::string> read_file(const std::string& name) const;
  /// Writes a file in dir().
  void write_file(const std::string& name, const std::string& bytes) const;

  Scenario scenario;

 private:
  TempDir dir_{"mirandel-process-"};
};

/// The module's teardown in `calls`: once a C_Initialize has succeeded, one
/// C_Finalize with a null argument as the last call, after the last
/// C_CloseSession and before the unload (none when the entry is null);
/// otherwise no C_Finalize.
void expect_teardown(const CallLog& calls, bool finalize_entry_present = true);

}  // namespace mirandel::test
