// The scenario builder: every byte string is written as hex, so no value can
// break the line-based format.
#include "scenario.hpp"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <utility>

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

MockObject& MockObject::handle(unsigned long handle) { return add("handle=" + number(handle)); }
MockObject& MockObject::only_after_login() { return add("private"); }
MockObject& MockObject::value(const Bytes& value) { return add("value=" + to_hex(value)); }
MockObject& MockObject::id(const Bytes& id) { return add("id=" + to_hex(id)); }
MockObject& MockObject::sign(bool sign) { return add(sign ? "sign=1" : "sign=0"); }
MockObject& MockObject::attribute(unsigned long type, const Bytes& value) {
  return add("attr=" + number(type) + ":" + to_hex(value));
}
MockObject& MockObject::sensitive(unsigned long type) { return add("sensitive=" + number(type)); }
MockObject& MockObject::signature_echo() { return add("signature=echo"); }
MockObject& MockObject::signature(const Bytes& fixed) {
  return add("signature=hex:" + to_hex(fixed));
}
MockObject& MockObject::signature_for(unsigned long mechanism, const Bytes& fixed) {
  return add("signature_for=" + std::to_string(mechanism) + ":" + to_hex(fixed));
}
MockObject& MockObject::signature_pattern(std::size_t length) {
  return add("signature=pattern:" + std::to_string(length));
}
MockObject& MockObject::size_query(unsigned long length) {
  return add("size_query=" + std::to_string(length));
}
MockObject& MockObject::keeps_refused_operation() { return add("keeps_refused"); }
MockObject& MockObject::mechanisms(const std::vector<unsigned long>& mechanisms) {
  std::string word = "mechanisms=";
  for (std::size_t i = 0; i < mechanisms.size(); ++i)
    word += (i ? "," : "") + number(mechanisms[i]);
  return add(std::move(word));
}

std::string MockObject::line() const {
  std::string line = "object";
  for (const std::string& word : words_) line += " " + word;
  return line;
}

MockSlot& MockSlot::absent() { return add_option("absent"); }
MockSlot& MockSlot::appears_at(unsigned call) {
  return add_option("appears_at=" + std::to_string(call));
}
MockSlot& MockSlot::gone_at(unsigned call) { return add_option("gone_at=" + std::to_string(call)); }
MockSlot& MockSlot::field(std::string_view keyword, const Bytes& raw) {
  return add_line(std::string(keyword) + " hex:" + to_hex(raw));
}
MockSlot& MockSlot::description(const Bytes& raw) { return field("description", raw); }
MockSlot& MockSlot::manufacturer(const Bytes& raw) { return field("manufacturer", raw); }
MockSlot& MockSlot::slot_flags(unsigned long flags) {
  return add_line("slot_flags " + number(flags));
}
MockSlot& MockSlot::label(const Bytes& raw) { return field("label", raw); }
MockSlot& MockSlot::token_manufacturer(const Bytes& raw) {
  return field("token_manufacturer", raw);
}
MockSlot& MockSlot::model(const Bytes& raw) { return field("model", raw); }
MockSlot& MockSlot::serial(const Bytes& raw) { return field("serial", raw); }
MockSlot& MockSlot::token_flags(unsigned long flags) {
  return add_line("token_flags " + number(flags));
}
MockSlot& MockSlot::utc_time(const Bytes& raw) { return field("utc_time", raw); }
MockSlot& MockSlot::pin(const Bytes& pin) { return field("pin", pin); }
MockSlot& MockSlot::object(const MockObject& object) { return add_line(object.line()); }
MockSlot& MockSlot::certificate(const Bytes& der) { return object(MockObject::certificate(der)); }

std::string MockSlot::text() const {
  std::string text = "slot " + number(id_);
  for (const std::string& option : options_) text += " " + option;
  text += "\n";
  for (const std::string& line : lines_) text += line + "\n";
  return text;
}

MockForce& MockForce::rv(unsigned long value) { return add("rv=" + number(value)); }
MockForce& MockForce::count(unsigned long value) { return add("count=" + std::to_string(value)); }
MockForce& MockForce::len(unsigned long value) { return add("len=" + std::to_string(value)); }
MockForce& MockForce::run() { return add("run"); }

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

Scenario& Scenario::null_entry(std::string function) { return add("null " + function); }
Scenario& Scenario::interface_version(unsigned major, unsigned minor) {
  return add("interface version=" + std::to_string(major) + "." + std::to_string(minor));
}
Scenario& Scenario::interface_null() { return add("interface null"); }
Scenario& Scenario::interface_without_list() { return add("interface list=null"); }
Scenario& Scenario::function_list_version(unsigned major, unsigned minor) {
  return add("function_list version=" + std::to_string(major) + "." + std::to_string(minor));
}
Scenario& Scenario::function_list_null() { return add("function_list null"); }
Scenario& Scenario::session_base(unsigned long first_handle) {
  return add("session_base " + number(first_handle));
}
Scenario& Scenario::watch(const std::string& target_path) { return add("watch " + target_path); }
Scenario& Scenario::chdir(const std::string& folder) { return add("chdir " + folder); }
Scenario& Scenario::finalize(const std::string& how) { return add("finalize " + how); }
Scenario& Scenario::stdout_chatter(const std::string& file_path) {
  return add(file_path.empty() ? "stdout_chatter" : "stdout_chatter " + file_path);
}

Scenario& Scenario::pin_scan(const Bytes& pin) {
  Bytes inverted = pin;
  for (char& c : inverted) c = static_cast<char>(~static_cast<unsigned char>(c));
  return add("pin_scan " + to_hex(inverted));
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
