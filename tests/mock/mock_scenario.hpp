// The mock's scenario: what the module holds and how it misbehaves, read from
// the line-based file named by MIRANDEL_MOCK_SCENARIO (format: README.md).
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "mock_module.hpp"

namespace mirandel::mock {

/// Raw bytes (not text): fields may hold NUL, 0xFF and anything else.
using Bytes = std::string;

/// How a key computes its signature.
enum class SignatureMode {
  Echo,     ///< the mechanism's low byte, then the data
  Fixed,    ///< fixed bytes
  Pattern,  ///< n bytes 00 01 02 ... (mod 256)
};

/// One object on a token.
struct ObjectSpec {
  CK_OBJECT_HANDLE handle = 0;
  bool private_only = false;  ///< visible only while the token is logged in
  std::map<CK_ATTRIBUTE_TYPE, Bytes> attributes;
  std::set<CK_ATTRIBUTE_TYPE> sensitive;  ///< answered with CKR_ATTRIBUTE_SENSITIVE
  SignatureMode signature_mode = SignatureMode::Echo;
  Bytes signature_fixed;
  std::size_t signature_pattern_length = 0;
  std::optional<CK_ULONG> signature_size_query;  ///< answer to the size query, if not the real size
  /// Fixed signatures of single mechanisms, ahead of signature_mode.
  std::map<CK_MECHANISM_TYPE, Bytes> signature_by_mechanism;
  std::vector<CK_MECHANISM_TYPE> mechanisms{0x40, 0x41, 0x42};
  bool keeps_refused_operation = false;  ///< C_Sign's CKR_USER_NOT_LOGGED_IN leaves it active
};

/// One slot, in slot-list order, with its token and objects.
struct SlotSpec {
  CK_SLOT_ID id = 0;
  bool token = true;
  unsigned appears_at = 0;  ///< present from this C_GetSlotList call on (0: always)
  unsigned gone_at = 0;     ///< absent from this C_GetSlotList call on (0: never)
  Bytes description;        ///< blank-padded to 64 bytes
  Bytes manufacturer;       ///< blank-padded to 32 bytes
  CK_FLAGS slot_flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
  Bytes label;               ///< blank-padded to 32 bytes
  Bytes token_manufacturer;  ///< 32
  Bytes model;               ///< 16
  Bytes serial;              ///< 16
  CK_FLAGS token_flags = CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED;
  Bytes utc_time;  ///< 16
  Bytes pin = "1234";
  std::vector<ObjectSpec> objects;
};

/// A forced answer for the n-th call (or every call) of one function.
struct ForceSpec {
  std::string function;  ///< "C_GetSlotList"
  unsigned call = 0;     ///< 1-based call number; 0: every call
  std::optional<CK_RV> rv;
  std::optional<CK_ULONG> count;   ///< written to the call's count output
  std::optional<CK_ULONG> length;  ///< written to the call's length output(s)
  bool run = false;                ///< do the real work first, then apply the overrides
};

/// Everything a scenario file says.
struct Scenario {
  std::vector<SlotSpec> slots;
  std::vector<ForceSpec> forces;
  std::set<std::string> null_entries;  ///< entry names forced to null in every list
  CK_VERSION interface_version{3, 2};
  bool interface_null = false;       ///< C_GetInterface: CKR_OK and no interface
  bool interface_list_null = false;  ///< C_GetInterface: an interface without a list
  CK_VERSION function_list_version{2, 40};
  bool function_list_null = false;  ///< C_GetFunctionList: CKR_OK and no list
  CK_SESSION_HANDLE session_base = 5001;
  std::string watch;  ///< a file whose presence is recorded at unload
  std::string chdir;  ///< a folder C_Initialize makes the working directory
  /// What C_Finalize does instead of answering: "hang", "crash", "exit"
  /// (exit(0)) or "abort"; empty: it answers.
  std::string finalize;
  /// C_Initialize, C_GetSlotList and C_Sign print to standard output
  /// (printf, unflushed, and a raw write to descriptor 1).
  bool stdout_chatter = false;
  /// With stdout_chatter: C_Initialize opens this file and keeps it open.
  std::string chatter_file;
  /// The PIN to look for in the process's memory, each byte inverted (XOR
  /// 0xFF), so that the mock never holds the PIN itself; empty: no search.
  /// While set, it is every token's PIN.
  Bytes pin_scan_inverted;
};

/// Why a scenario could not be read.
struct ScenarioError {
  std::size_t line = 0;
  std::string message;
};

/// Parses scenario text. On failure `error` is set and the result is empty.
Scenario parse_scenario(const std::string& text, std::optional<ScenarioError>& error);

/// Lower-case hex of `bytes`.
std::string to_hex(const void* bytes, std::size_t length);

}  // namespace mirandel::mock
