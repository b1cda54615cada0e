// The scenario builder: every byte string is written as hex, so no value can
// break the line-based format.
#include "scenario.hpp"

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace mirandel::test {
namespace {

std::string number(unsigned long value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%lx", value);
  return text;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Bytes from_hex(std::string_view hex) {
  Bytes out;
  if (hex.size() % 2 != 0) {
    std::fprintf(stderr, "from_hex: odd length\n");
    std::abort();
  }
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = hex_digit(hex[i]);
    const int low = hex_digit(hex[i + 1]);
    if (high < 0 || low < 0) {
      std::fprintf(stderr, "from_hex: not hex\n");
      std::abort();
    }
    out.push_back(static_cast<char>(high * 16 + low));
  }
  return out;
}

std::string to_hex(std::string_view bytes) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(DIGITS[c >> 4]);
    out.push_back(DIGITS[c & 0xF]);
  }
  return out;
}

MockObject MockObject::certificate(Bytes der) {
  MockObject object("cert");
  object.value(der);
  return object;
}

MockObject MockObject::private_key() { return MockObject("private_key"); }

MockObject MockObject::of_class(unsigned long object_class) {
  return MockObject(number(object_class));
}

MockObject& MockObject::handle(unsigned long handle) {
  words_.push_back("handle=" + number(handle));
  return *this;
}
MockObject& MockObject::only_after_login() {
  words_.push_back("private");
  return *this;
}
MockObject& MockObject::value(const Bytes& value) {
  words_.push_back("value=" + to_hex(value));
  return *this;
}
MockObject& MockObject::id(const Bytes& id) {
  words_.push_back("id=" + to_hex(id));
  return *this;
}
MockObject& MockObject::sign(bool sign) {
  words_.push_back(sign ? "sign=1" : "sign=0");
  return *this;
}
MockObject& MockObject::attribute(unsigned long type, const Bytes& value) {
  words_.push_back("attr=" + number(type) + ":" + to_hex(value));
  return *this;
}
MockObject& MockObject::sensitive(unsigned long type) {
  words_.push_back("sensitive=" + number(type));
  return *this;
}
MockObject& MockObject::signature_echo() {
  words_.push_back("signature=echo");
  return *this;
}
MockObject& MockObject::signature(const Bytes& fixed) {
  words_.push_back("signature=hex:" + to_hex(fixed));
  return *this;
}
MockObject& MockObject::signature_pattern(std::size_t length) {
  words_.push_back("signature=pattern:" + std::to_string(length));
  return *this;
}
MockObject& MockObject::size_query(unsigned long length) {
  words_.push_back("size_query=" + std::to_string(length));
  return *this;
}
MockObject& MockObject::mechanisms(const std::vector<unsigned long>& mechanisms) {
  std::string word = "mechanisms=";
  for (std::size_t i = 0; i < mechanisms.size(); ++i)
    word += (i ? "," : "") + number(mechanisms[i]);
  words_.push_back(word);
  return *this;
}

std::string MockObject::line() const {
  std::string line = "object";
  for (const std::string& word : words_) line += " " + word;
  return line;
}

MockSlot& MockSlot::absent() {
  options_.push_back("absent");
  return *this;
}
MockSlot& MockSlot::appears_at(unsigned call) {
  options_.push_back("appears_at=" + std::to_string(call));
  return *this;
}
MockSlot& MockSlot::gone_at(unsigned call) {
  options_.push_back("gone_at=" + std::to_string(call));
  return *this;
}
MockSlot& MockSlot::field(std::string_view keyword, const Bytes& raw) {
  lines_.push_back(std::string(keyword) + " hex:" + to_hex(raw));
  return *this;
}
MockSlot& MockSlot::description(const Bytes& raw) { return field("description", raw); }
MockSlot& MockSlot::manufacturer(const Bytes& raw) { return field("manufacturer", raw); }
MockSlot& MockSlot::slot_flags(unsigned long flags) {
  lines_.push_back("slot_flags " + number(flags));
  return *this;
}
MockSlot& MockSlot::label(const Bytes& raw) { return field("label", raw); }
MockSlot& MockSlot::token_manufacturer(const Bytes& raw) {
  return field("token_manufacturer", raw);
}
MockSlot& MockSlot::model(const Bytes& raw) { return field("model", raw); }
MockSlot& MockSlot::serial(const Bytes& raw) { return field("serial", raw); }
MockSlot& MockSlot::token_flags(unsigned long flags) {
  lines_.push_back("token_flags " + number(flags));
  return *this;
}
MockSlot& MockSlot::utc_time(const Bytes& raw) { return field("utc_time", raw); }
MockSlot& MockSlot::pin(const Bytes& pin) { return field("pin", pin); }
MockSlot& MockSlot::object(const MockObject& object) {
  lines_.push_back(object.line());
  return *this;
}
MockSlot& MockSlot::certificate(const Bytes& der) { return object(MockObject::certificate(der)); }

std::string MockSlot::text() const {
  std::string text = "slot " + number(id_);
  for (const std::string& option : options_) text += " " + option;
  text += "\n";
  for (const std::string& line : lines_) text += line + "\n";
  return text;
}

MockForce& MockForce::rv(unsigned long value) {
  options_.push_back("rv=" + number(value));
  return *this;
}
MockForce& MockForce::count(unsigned long value) {
  options_.push_back("count=" + std::to_string(value));
  return *this;
}
MockForce& MockForce::len(unsigned long value) {
  options_.push_back("len=" + std::to_string(value));
  return *this;
}
MockForce& MockForce::run() {
  options_.push_back("run");
  return *this;
}

std::string MockForce::line() const {
  std::string line = "force " + function_;
  if (call_ != 0) line += "#" + std::to_string(call_);
  for (const std::string& option : options_) line += " " + option;
  return line;
}

MockSlot& Scenario::slot(unsigned long id) { return slots_.emplace_back(id); }

MockForce& Scenario::force(std::string function, unsigned call) {
  return forces_.emplace_back(std::move(function), call);
}

Scenario& Scenario::null_entry(std::string function) {
  lines_.push_back("null " + function);
  return *this;
}
Scenario& Scenario::interface_version(unsigned major, unsigned minor) {
  lines_.push_back("interface version=" + std::to_string(major) + "." + std::to_string(minor));
  return *this;
}
Scenario& Scenario::interface_null() {
  lines_.push_back("interface null");
  return *this;
}
Scenario& Scenario::interface_without_list() {
  lines_.push_back("interface list=null");
  return *this;
}
Scenario& Scenario::function_list_version(unsigned major, unsigned minor) {
  lines_.push_back("function_list version=" + std::to_string(major) + "." + std::to_string(minor));
  return *this;
}
Scenario& Scenario::function_list_null() {
  lines_.push_back("function_list null");
  return *this;
}
Scenario& Scenario::session_base(unsigned long first_handle) {
  lines_.push_back("session_base " + number(first_handle));
  return *this;
}
Scenario& Scenario::watch(const std::string& target_path) {
  lines_.push_back("watch " + target_path);
  return *this;
}
Scenario& Scenario::stdout_chatter(const std::string& file_path) {
  lines_.push_back(file_path.empty() ? "stdout_chatter" : "stdout_chatter " + file_path);
  return *this;
}

std::string Scenario::text() const {
  std::string text;
  for (const std::string& line : lines_) text += line + "\n";
  for (const MockForce& force : forces_) text += force.line() + "\n";
  for (const MockSlot& slot : slots_) text += slot.text();
  return text;
}

void Scenario::write(const std::filesystem::path& path) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text();
  if (!out) {
    std::fprintf(stderr, "cannot write scenario %s\n", path.c_str());
    std::abort();
  }
}

}  // namespace mirandel::test
