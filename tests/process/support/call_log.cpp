// Parsing the call log: every word is "key=value" except the name, the "->"
// separator, the return value and bare flags such as "forced".
#include "call_log.hpp"

#include <sstream>

#include "test_files.hpp"

namespace mirandel::test {
namespace {

std::vector<std::string> split_words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

RecordedCall parse_line(const std::string& line) {
  RecordedCall call;
  call.line = line;
  const std::vector<std::string> words = split_words(line);
  if (words.empty()) return call;
  call.name = words[0];
  bool after_arrow = false;
  for (std::size_t i = 1; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "->" && !after_arrow && i + 1 < words.size()) {
      after_arrow = true;
      call.rv = std::stoul(words[++i], nullptr, 16);
      continue;
    }
    const std::size_t eq = word.find('=');
    if (eq == std::string::npos) {
      if (word == "forced") call.forced = true;
      continue;
    }
    std::string key = word.substr(0, eq);
    std::string value = word.substr(eq + 1);
    if (after_arrow && key == "via") {
      call.via = value;
    } else if (after_arrow) {
      call.results.emplace_back(std::move(key), std::move(value));
    } else {
      call.arguments.emplace_back(std::move(key), std::move(value));
    }
  }
  // Events (UNLOAD watch=...) have no arrow: their words count as results.
  if (!after_arrow) std::swap(call.arguments, call.results);
  return call;
}

std::optional<std::string> find(const std::vector<std::pair<std::string, std::string>>& pairs,
                                std::string_view key) {
  for (const auto& [k, v] : pairs)
    if (k == key) return v;
  return std::nullopt;
}

}  // namespace

std::optional<std::string> RecordedCall::argument(std::string_view key) const {
  return find(arguments, key);
}

std::optional<std::string> RecordedCall::result(std::string_view key) const {
  return find(results, key);
}

bool RecordedCall::has_word(std::string_view word) const {
  for (const std::string& w : split_words(line))
    if (w == word) return true;
  return false;
}

CallLog CallLog::read(const std::filesystem::path& path) {
  return parse(read_whole(path).value_or(""));
}

CallLog CallLog::parse(std::string_view text) {
  CallLog log;
  log.text_ = std::string(text);
  std::istringstream in(log.text_);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    log.entries_.push_back(parse_line(line));
  }
  return log;
}

std::vector<std::string> CallLog::names() const {
  std::vector<std::string> names;
  for (const RecordedCall& entry : entries_) names.push_back(entry.name);
  return names;
}

std::vector<std::string> CallLog::call_names() const {
  std::vector<std::string> names;
  for (const RecordedCall& entry : entries_)
    if (entry.name.starts_with("C_")) names.push_back(entry.name);
  return names;
}

std::vector<RecordedCall> CallLog::all(std::string_view name) const {
  std::vector<RecordedCall> found;
  for (const RecordedCall& entry : entries_)
    if (entry.name == name) found.push_back(entry);
  return found;
}

std::size_t CallLog::count(std::string_view name) const { return all(name).size(); }

std::optional<std::size_t> CallLog::first_index(std::string_view name) const {
  for (std::size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i].name == name) return i;
  return std::nullopt;
}

std::optional<std::size_t> CallLog::last_index(std::string_view name) const {
  for (std::size_t i = entries_.size(); i-- > 0;)
    if (entries_[i].name == name) return i;
  return std::nullopt;
}

}  // namespace mirandel::test
