// Reading the scenario file. The format is line-based so that a test can
// write it with nothing but string concatenation; see README.md.
#include "mock_scenario.hpp"

#include <cstring>
#include <sstream>
#include <string_view>

namespace mirandel::mock {
namespace {

/// Thrown inside the parser only; turned into a ScenarioError at the top.
struct ParseFailure {
  std::string message;
};

[[noreturn]] void fail(std::string message) { throw ParseFailure{std::move(message)}; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Bytes parse_hex(std::string_view hex) {
  if (hex.size() % 2 != 0) fail("odd number of hex digits: " + std::string(hex));
  Bytes out;
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = hex_digit(hex[i]);
    const int low = hex_digit(hex[i + 1]);
    if (high < 0 || low < 0) fail("not hex: " + std::string(hex));
    out.push_back(static_cast<char>(high * 16 + low));
  }
  return out;
}

/// Decimal, or hexadecimal with a 0x prefix. No octal: "010" is ten.
unsigned long long parse_number(std::string_view text) {
  if (text.empty()) fail("empty number");
  unsigned long long value = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    for (char c : text.substr(2)) {
      const int d = hex_digit(c);
      if (d < 0) fail("bad number: " + std::string(text));
      value = value * 16 + static_cast<unsigned>(d);
    }
  } else {
    for (char c : text) {
      if (c < '0' || c > '9') fail("bad number: " + std::string(text));
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
  }
  return value;
}

CK_ULONG parse_ulong(std::string_view text) {
  const unsigned long long value = parse_number(text);
  if (value > static_cast<unsigned long long>(static_cast<CK_ULONG>(-1)))
    fail("number does not fit in CK_ULONG: " + std::string(text));
  return static_cast<CK_ULONG>(value);
}

/// "3.2" or "2.40": major and minor as decimal bytes.
CK_VERSION parse_version(std::string_view text) {
  const std::size_t dot = text.find('.');
  if (dot == std::string_view::npos) fail("version needs major.minor: " + std::string(text));
  const unsigned long long major = parse_number(text.substr(0, dot));
  const unsigned long long minor = parse_number(text.substr(dot + 1));
  if (major > 255 || minor > 255) fail("version out of range: " + std::string(text));
  return CK_VERSION{static_cast<CK_BYTE>(major), static_cast<CK_BYTE>(minor)};
}

/// "text:<rest of line>" or "hex:<digits>".
Bytes parse_field_value(std::string_view value) {
  if (value.starts_with("text:")) return Bytes(value.substr(5));
  if (value.starts_with("hex:")) return parse_hex(value.substr(4));
  fail("field value must start with text: or hex:");
}

Bytes blank_padded(Bytes value, std::size_t width, const char* what) {
  if (value.size() > width)
    fail(std::string(what) + " longer than " + std::to_string(width) + " bytes");
  value.resize(width, ' ');
  return value;
}

Bytes ulong_bytes(CK_ULONG value) {
  Bytes out(sizeof value, '\0');
  std::memcpy(out.data(), &value, sizeof value);
  return out;
}

std::vector<std::string_view> split_words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

/// Splits "key=value"; a word without '=' has an empty value and no_value set.
struct Option {
  std::string_view key;
  std::string_view value;
  bool has_value = false;
};

Option split_option(std::string_view word) {
  const std::size_t eq = word.find('=');
  if (eq == std::string_view::npos) return Option{word, {}, false};
  return Option{word.substr(0, eq), word.substr(eq + 1), true};
}

CK_OBJECT_CLASS parse_class(std::string_view name) {
  if (name == "cert") return CKO_CERTIFICATE;
  if (name == "private_key") return CKO_PRIVATE_KEY;
  if (name == "public_key") return CKO_PUBLIC_KEY;
  if (name == "data") return CKO_DATA;
  return parse_ulong(name);
}

ObjectSpec parse_object(const std::vector<std::string_view>& words, CK_OBJECT_HANDLE& next_handle) {
  if (words.size() < 2) fail("object needs a class");
  ObjectSpec object;
  object.attributes[CKA_CLASS] = ulong_bytes(parse_class(words[1]));
  bool explicit_handle = false;
  for (std::size_t i = 2; i < words.size(); ++i) {
    const Option option = split_option(words[i]);
    if (option.key == "handle" && option.has_value) {
      object.handle = parse_ulong(option.value);
      explicit_handle = true;
    } else if (option.key == "private" && !option.has_value) {
      object.private_only = true;
    } else if (option.key == "value" && option.has_value) {
      object.attributes[CKA_VALUE] = parse_hex(option.value);
    } else if (option.key == "id" && option.has_value) {
      object.attributes[CKA_ID] = parse_hex(option.value);
    } else if (option.key == "sign" && option.has_value) {
      if (option.value != "0" && option.value != "1") fail("sign must be 0 or 1");
      object.attributes[CKA_SIGN] = Bytes(1, option.value == "1" ? '\1' : '\0');
    } else if (option.key == "attr" && option.has_value) {
      const std::size_t colon = option.value.find(':');
      if (colon == std::string_view::npos) fail("attr needs <type>:<hex>");
      object.attributes[parse_ulong(option.value.substr(0, colon))] =
          parse_hex(option.value.substr(colon + 1));
    } else if (option.key == "sensitive" && option.has_value) {
      object.sensitive.insert(parse_ulong(option.value));
    } else if (option.key == "signature" && option.has_value) {
      if (option.value == "echo") {
        object.signature_mode = SignatureMode::Echo;
      } else if (option.value.starts_with("hex:")) {
        object.signature_mode = SignatureMode::Fixed;
        object.signature_fixed = parse_hex(option.value.substr(4));
      } else if (option.value.starts_with("pattern:")) {
        object.signature_mode = SignatureMode::Pattern;
        object.signature_pattern_length = parse_ulong(option.value.substr(8));
      } else {
        fail("signature must be echo, hex:<hex> or pattern:<n>");
      }
    } else if (option.key == "signature_for" && option.has_value) {
      const std::size_t colon = option.value.find(':');
      if (colon == std::string_view::npos) fail("signature_for needs <mechanism>:<hex>");
      object.signature_by_mechanism[parse_ulong(option.value.substr(0, colon))] =
          parse_hex(option.value.substr(colon + 1));
    } else if (option.key == "size_query" && option.has_value) {
      object.signature_size_query = parse_ulong(option.value);
    } else if (option.key == "keeps_refused" && !option.has_value) {
      object.keeps_refused_operation = true;
    } else if (option.key == "mechanisms" && option.has_value) {
      object.mechanisms.clear();
      std::string_view rest = option.value;
      while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        object.mechanisms.push_back(parse_ulong(rest.substr(0, comma)));
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
      }
    } else {
      fail("unknown object option: " + std::string(words[i]));
    }
  }
  if (!explicit_handle) object.handle = next_handle++;
  return object;
}

ForceSpec parse_force(const std::vector<std::string_view>& words) {
  if (words.size() < 2) fail("force needs a function");
  ForceSpec force;
  std::string_view target = words[1];
  const std::size_t hash = target.find('#');
  force.function = std::string(target.substr(0, hash));
  if (hash != std::string_view::npos) {
    force.call = static_cast<unsigned>(parse_number(target.substr(hash + 1)));
    if (force.call == 0) fail("call numbers start at 1");
  }
  if (!force.function.starts_with("C_")) fail("force needs a C_ function name");
  for (std::size_t i = 2; i < words.size(); ++i) {
    const Option option = split_option(words[i]);
    if (option.key == "rv" && option.has_value) {
      force.rv = parse_ulong(option.value);
    } else if (option.key == "count" && option.has_value) {
      force.count = parse_ulong(option.value);
    } else if (option.key == "len" && option.has_value) {
      force.length = parse_ulong(option.value);
    } else if (option.key == "run" && !option.has_value) {
      force.run = true;
    } else {
      fail("unknown force option: " + std::string(words[i]));
    }
  }
  return force;
}

/// The text after the first word and one separating blank, kept verbatim so
/// that a value may end in blanks.
std::string_view rest_of_line(std::string_view line, std::string_view first_word) {
  const std::size_t start = line.find(first_word) + first_word.size();
  if (start >= line.size()) return {};
  return line.substr(start + 1);
}

Scenario parse_lines(const std::string& text, std::size_t& line_number) {
  Scenario scenario;
  SlotSpec* slot = nullptr;
  CK_OBJECT_HANDLE next_handle = 101;
  std::istringstream input(text);
  std::string raw;
  line_number = 0;
  while (std::getline(input, raw)) {
    ++line_number;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    const std::vector<std::string_view> words = split_words(raw);
    if (words.empty() || words[0].starts_with("#")) continue;
    const std::string_view keyword = words[0];
    const std::string_view line = raw;

    auto need_slot = [&]() -> SlotSpec& {
      if (!slot) fail(std::string(keyword) + " before any slot line");
      return *slot;
    };

    if (keyword == "slot") {
      if (words.size() < 2) fail("slot needs an id");
      SlotSpec added;
      added.id = parse_ulong(words[1]);
      const std::string id = std::to_string(added.id);
      added.description = blank_padded("Mock slot " + id, 64, "description");
      added.manufacturer = blank_padded("Mirandel mock", 32, "manufacturer");
      added.label = blank_padded("Mock token " + id, 32, "label");
      added.token_manufacturer = blank_padded("Mirandel mock", 32, "token_manufacturer");
      added.model = blank_padded("Mock", 16, "model");
      added.serial = blank_padded(id, 16, "serial");
      added.utc_time = blank_padded("", 16, "utc_time");
      for (std::size_t i = 2; i < words.size(); ++i) {
        const Option option = split_option(words[i]);
        if (option.key == "absent" && !option.has_value) {
          added.token = false;
        } else if (option.key == "appears_at" && option.has_value) {
          added.appears_at = static_cast<unsigned>(parse_number(option.value));
        } else if (option.key == "gone_at" && option.has_value) {
          added.gone_at = static_cast<unsigned>(parse_number(option.value));
        } else {
          fail("unknown slot option: " + std::string(words[i]));
        }
      }
      scenario.slots.push_back(std::move(added));
      slot = &scenario.slots.back();
    } else if (keyword == "description") {
      need_slot().description =
          blank_padded(parse_field_value(rest_of_line(line, keyword)), 64, "description");
    } else if (keyword == "manufacturer") {
      need_slot().manufacturer =
          blank_padded(parse_field_value(rest_of_line(line, keyword)), 32, "manufacturer");
    } else if (keyword == "slot_flags") {
      if (words.size() != 2) fail("slot_flags needs one number");
      need_slot().slot_flags = parse_ulong(words[1]);
    } else if (keyword == "label") {
      need_slot().label = blank_padded(parse_field_value(rest_of_line(line, keyword)), 32, "label");
    } else if (keyword == "token_manufacturer") {
      need_slot().token_manufacturer =
          blank_padded(parse_field_value(rest_of_line(line, keyword)), 32, "token_manufacturer");
    } else if (keyword == "model") {
      need_slot().model = blank_padded(parse_field_value(rest_of_line(line, keyword)), 16, "model");
    } else if (keyword == "serial") {
      need_slot().serial =
          blank_padded(parse_field_value(rest_of_line(line, keyword)), 16, "serial");
    } else if (keyword == "token_flags") {
      if (words.size() != 2) fail("token_flags needs one number");
      need_slot().token_flags = parse_ulong(words[1]);
    } else if (keyword == "utc_time") {
      need_slot().utc_time =
          blank_padded(parse_field_value(rest_of_line(line, keyword)), 16, "utc_time");
    } else if (keyword == "pin") {
      need_slot().pin = parse_field_value(rest_of_line(line, keyword));
    } else if (keyword == "object") {
      need_slot().objects.push_back(parse_object(words, next_handle));
    } else if (keyword == "force") {
      scenario.forces.push_back(parse_force(words));
    } else if (keyword == "null") {
      if (words.size() != 2) fail("null needs one function name");
      scenario.null_entries.insert(std::string(words[1]));
    } else if (keyword == "interface") {
      if (words.size() != 2) fail("interface needs one option");
      const Option option = split_option(words[1]);
      if (option.key == "null" && !option.has_value) {
        scenario.interface_null = true;
      } else if (option.key == "list" && option.value == "null") {
        scenario.interface_list_null = true;
      } else if (option.key == "version" && option.has_value) {
        scenario.interface_version = parse_version(option.value);
      } else {
        fail("interface takes null, list=null or version=<major.minor>");
      }
    } else if (keyword == "function_list") {
      if (words.size() != 2) fail("function_list needs one option");
      const Option option = split_option(words[1]);
      if (option.key == "null" && !option.has_value) {
        scenario.function_list_null = true;
      } else if (option.key == "version" && option.has_value) {
        scenario.function_list_version = parse_version(option.value);
      } else {
        fail("function_list takes null or version=<major.minor>");
      }
    } else if (keyword == "session_base") {
      if (words.size() != 2) fail("session_base needs one number");
      scenario.session_base = parse_ulong(words[1]);
    } else if (keyword == "watch") {
      scenario.watch = std::string(rest_of_line(line, keyword));
      if (scenario.watch.empty()) fail("watch needs a path");
    } else if (keyword == "pin_scan") {
      if (words.size() != 2) fail("pin_scan needs the inverted PIN in hex");
      scenario.pin_scan_inverted = parse_hex(words[1]);
      if (scenario.pin_scan_inverted.empty()) fail("pin_scan needs a PIN of at least one byte");
    } else if (keyword == "finalize") {
      if (words.size() != 2 ||
          (words[1] != "hang" && words[1] != "crash" && words[1] != "exit" && words[1] != "abort"))
        fail("finalize takes hang, crash, exit or abort");
      scenario.finalize = std::string(words[1]);
    } else if (keyword == "chdir") {
      scenario.chdir = std::string(rest_of_line(line, keyword));
      if (scenario.chdir.empty()) fail("chdir needs a path");
    } else if (keyword == "stdout_chatter") {
      scenario.stdout_chatter = true;
      scenario.chatter_file = std::string(rest_of_line(line, keyword));
    } else {
      fail("unknown keyword: " + std::string(keyword));
    }
  }
  return scenario;
}

}  // namespace

Scenario parse_scenario(const std::string& text, std::optional<ScenarioError>& error) {
  std::size_t line_number = 0;
  try {
    error.reset();
    return parse_lines(text, line_number);
  } catch (const ParseFailure& failure) {
    error = ScenarioError{line_number, failure.message};
    return Scenario{};
  }
}

std::string to_hex(const void* bytes, std::size_t length) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  const auto* p = static_cast<const unsigned char*>(bytes);
  std::string out;
  out.reserve(length * 2);
  for (std::size_t i = 0; i < length; ++i) {
    out.push_back(DIGITS[p[i] >> 4]);
    out.push_back(DIGITS[p[i] & 0xF]);
  }
  return out;
}

}  // namespace mirandel::mock
