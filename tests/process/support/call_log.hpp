// Reading the mock PKCS#11 module's call log (format: tests/mock/README.md).
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mirandel::test {

/// One line of the log: a call (C_*) or an event (LOAD, UNLOAD,
/// SCENARIO-ERROR).
struct RecordedCall {
  std::string line;  ///< the whole line
  std::string name;  ///< "C_OpenSession", "LOAD", "UNLOAD", ...
  std::vector<std::pair<std::string, std::string>> arguments;  ///< before "->"
  std::optional<unsigned long> rv;                             ///< calls only
  std::vector<std::pair<std::string, std::string>> results;    ///< after the return value
  std::string via;      ///< "export", "fl" or "if" (calls only)
  bool forced = false;  ///< a scenario force rule applied

  std::optional<std::string> argument(std::string_view key) const;
  std::optional<std::string> result(std::string_view key) const;
  /// Whether the line carries the bare word `word` (e.g. "at_exit").
  bool has_word(std::string_view word) const;
};

class CallLog {
 public:
  /// Reads the log file; a missing file is an empty log.
  static CallLog read(const std::filesystem::path& path);
  static CallLog parse(std::string_view text);

  const std::vector<RecordedCall>& entries() const& { return entries_; }
  /// On a temporary log, the entries by value, so `for (... : log().entries())`
  /// does not iterate over a destroyed log.
  std::vector<RecordedCall> entries() && { return std::move(entries_); }
  bool empty() const { return entries_.empty(); }
  std::vector<std::string> names() const;
  /// The names of the C_* calls only, in order.
  std::vector<std::string> call_names() const;
  /// Copies of the entries named `name`, in order (copies, so that a
  /// temporary log can be queried safely).
  std::vector<RecordedCall> all(std::string_view name) const;
  std::size_t count(std::string_view name) const;
  /// The index of the first (or last) entry named `name`.
  std::optional<std::size_t> first_index(std::string_view name) const;
  std::optional<std::size_t> last_index(std::string_view name) const;
  /// The log text, for failure messages.
  const std::string& text() const& { return text_; }
  std::string text() && { return std::move(text_); }

 private:
  std::vector<RecordedCall> entries_;
  std::string text_;
};

}  // namespace mirandel::test
