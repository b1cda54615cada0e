// Writing scenario files for the mock PKCS#11 module (format:
// tests/mock/README.md) from C++.
#pragma once

#include <cstddef>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mirandel::test {

/// Raw bytes; may hold NUL and any other byte.
using Bytes = std::string;

/// Bytes from hex digits ("00ff" -> {0x00, 0xff}); aborts the test on bad input.
Bytes from_hex(std::string_view hex);

/// Lower-case hex of `bytes`.
std::string to_hex(std::string_view bytes);

/// One object on a mock token.
class MockObject {
 public:
  /// A certificate object (CKO_CERTIFICATE) with this CKA_VALUE.
  static MockObject certificate(Bytes der);
  /// A private key (CKO_PRIVATE_KEY); add sign(true) to make it usable.
  static MockObject private_key();
  static MockObject of_class(unsigned long object_class);

  MockObject& handle(unsigned long handle);
  /// Visible only while the token is logged in.
  MockObject& only_after_login();
  MockObject& value(const Bytes& value);
  MockObject& id(const Bytes& id);
  MockObject& sign(bool sign);
  MockObject& attribute(unsigned long type, const Bytes& value);
  /// The attribute answers CKR_ATTRIBUTE_SENSITIVE.
  MockObject& sensitive(unsigned long type);
  /// Signature = mechanism's low byte followed by the data (the default).
  MockObject& signature_echo();
  MockObject& signature(const Bytes& fixed);
  /// The signature `mechanism` gives, whatever the signature mode says.
  MockObject& signature_for(unsigned long mechanism, const Bytes& fixed);
  /// Signature = n bytes 00 01 02 ... (mod 256).
  MockObject& signature_pattern(std::size_t length);
  /// The answer to the C_Sign size query, instead of the real length.
  MockObject& size_query(unsigned long length);
  MockObject& mechanisms(const std::vector<unsigned long>& mechanisms);
  /// A refused C_Sign (CKR_USER_NOT_LOGGED_IN) keeps the operation active.
  MockObject& keeps_refused_operation();

  std::string line() const;

 private:
  explicit MockObject(std::string class_word) : words_{std::move(class_word)} {}
  MockObject& add(std::string word) {
    words_.push_back(std::move(word));
    return *this;
  }
  std::vector<std::string> words_;
};

/// One slot (and its token) in slot-list order. Field setters take raw bytes;
/// the mock pads them with blanks to the field width.
class MockSlot {
 public:
  explicit MockSlot(unsigned long id) : id_(id) {}

  /// No token in the slot.
  MockSlot& absent();
  /// The token is present from the n-th C_GetSlotList call on.
  MockSlot& appears_at(unsigned call);
  /// The token is absent from the n-th C_GetSlotList call on.
  MockSlot& gone_at(unsigned call);

  MockSlot& description(const Bytes& raw);
  MockSlot& manufacturer(const Bytes& raw);
  MockSlot& slot_flags(unsigned long flags);
  MockSlot& label(const Bytes& raw);
  MockSlot& token_manufacturer(const Bytes& raw);
  MockSlot& model(const Bytes& raw);
  MockSlot& serial(const Bytes& raw);
  MockSlot& token_flags(unsigned long flags);
  MockSlot& utc_time(const Bytes& raw);
  MockSlot& pin(const Bytes& pin);

  MockSlot& object(const MockObject& object);
  /// Shorthand for object(MockObject::certificate(der)).
  MockSlot& certificate(const Bytes& der);

  std::string text() const;

 private:
  MockSlot& field(std::string_view keyword, const Bytes& raw);
  MockSlot& add_option(std::string option) {
    options_.push_back(std::move(option));
    return *this;
  }
  MockSlot& add_line(std::string line) {
    lines_.push_back(std::move(line));
    return *this;
  }
  unsigned long id_;
  std::vector<std::string> options_;
  std::vector<std::string> lines_;
};

/// A forced answer for the n-th call (or every call) of one function.
class MockForce {
 public:
  MockForce(std::string function, unsigned call) : function_(std::move(function)), call_(call) {}
  MockForce& rv(unsigned long value);
  /// Written to the count output (C_GetSlotList, C_FindObjects).
  MockForce& count(unsigned long value);
  /// Written to the length outputs (C_GetAttributeValue, C_Sign).
  MockForce& len(unsigned long value);
  /// Do the real work first, then apply the overrides.
  MockForce& run();

  std::string line() const;

 private:
  MockForce& add(std::string option) {
    options_.push_back(std::move(option));
    return *this;
  }
  std::string function_;
  unsigned call_;
  std::vector<std::string> options_;
};

/// A whole scenario: slots, forced answers, discovery shape.
class Scenario {
 public:
  /// Adds a slot; the reference stays valid for the Scenario's life.
  MockSlot& slot(unsigned long id);
  /// Forces the `call`-th call of `function` (0: every call).
  MockForce& force(std::string function, unsigned call = 0);
  /// That entry is null in every function list handed out.
  Scenario& null_entry(std::string function);
  /// Version at the head of the list C_GetInterface hands out.
  Scenario& interface_version(unsigned major, unsigned minor);
  /// C_GetInterface answers CKR_OK with no interface.
  Scenario& interface_null();
  /// C_GetInterface answers an interface whose function-list pointer is null.
  Scenario& interface_without_list();
  /// Version at the head of the list C_GetFunctionList hands out.
  Scenario& function_list_version(unsigned major, unsigned minor);
  /// C_GetFunctionList answers CKR_OK with a null list.
  Scenario& function_list_null();
  Scenario& session_base(unsigned long first_handle);
  /// Records at unload whether this file exists; `target_path` as the
  /// program under test names it (see target_path()).
  Scenario& watch(const std::string& target_path);
  /// C_Initialize, C_GetSlotList and C_Sign print to standard output; with
  /// `file_path` (as the program under test names it) C_Initialize also
  /// opens that file and keeps it open.
  Scenario& stdout_chatter(const std::string& file_path = "");
  /// C_Initialize makes `folder` (as the program under test names it) the
  /// working directory.
  Scenario& chdir(const std::string& folder);
  /// C_Finalize never answers: `how` is "hang", "crash", "exit" (exit(0)) or
  /// "abort".
  Scenario& finalize(const std::string& how);
  /// The mock searches its process's memory for `pin` after every C_Logout
  /// and at unload, and records what it finds as PIN-SCAN lines; `pin` is
  /// then every token's PIN. The scenario file holds it inverted only.
  Scenario& pin_scan(const Bytes& pin);

  std::string text() const;
  /// Writes text() to `path`; aborts the test run when it cannot.
  void write(const std::filesystem::path& path) const;

 private:
  Scenario& add(std::string line) {
    lines_.push_back(std::move(line));
    return *this;
  }
  std::deque<MockSlot> slots_;
  std::deque<MockForce> forces_;
  std::vector<std::string> lines_;
};

}  // namespace mirandel::test
