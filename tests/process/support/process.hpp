// Running a program with exact argument bytes and capturing everything it
// writes, for whole-process tests.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace mirandel::test {

/// What a finished process left behind.
struct ProcessResult {
  std::string out;           ///< standard output, byte for byte
  std::string err;           ///< standard error, byte for byte
  int exit_code = -1;        ///< the exit status, or -1 when killed by a signal
  int signal = 0;            ///< the signal that ended it, or 0
  bool timed_out = false;    ///< killed because it ran too long
  bool exec_failed = false;  ///< the program could not be started

  /// A summary for failure messages.
  std::string describe() const;
};

struct ProcessOptions {
  /// Variables set (or replaced) in the child's environment only.
  std::vector<std::pair<std::string, std::string>> environment;
  /// Bytes fed to standard input, which is then closed; without them
  /// standard input is /dev/null.
  std::optional<std::string> input;
  /// The child's working directory; empty: the current one.
  std::filesystem::path working_directory;
  int timeout_seconds = 300;
  /// Standard output is a pipe whose reader is gone before the child starts.
  bool stdout_reader_gone = false;
};

/// Starts argv[0] (searched in PATH when it has no slash) with exactly these
/// arguments, waits for it, and returns what it wrote and how it ended.
ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options);

/// Runs the program under test (behind the launcher prefix, if any) with
/// these arguments; argument 0 is supplied.
ProcessResult run_helper(const std::vector<std::string>& arguments, const ProcessOptions& options);

}  // namespace mirandel::test
