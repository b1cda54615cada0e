// The core of the mock PKCS#11 module: slots, tokens, objects, sessions,
// keys, the recorded call log, and the function lists handed out by the
// discovery calls. The entry files add the exported discovery symbols.
//
// Every call is appended to the file named by MIRANDEL_MOCK_LOG as one line,
// flushed at once, so that a crash of the program under test loses nothing.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mock_module.hpp"
#include "mock_scenario.hpp"
#include "pin_scan.hpp"

#ifdef _WIN32
#include <io.h>
extern "C" __declspec(dllimport) void __stdcall Sleep(unsigned long milliseconds);
#else
#include <unistd.h>
#endif

namespace mirandel::mock {

LifecycleHooks lifecycle_hooks;
std::string (*crypto_probe)() = nullptr;

namespace {

using pkcs11::entries_in;
using pkcs11::ENTRY_POINT_SYMBOLS;
using pkcs11::Function;
using pkcs11::FUNCTION_COUNT;
using pkcs11::index_of;
using pkcs11::TableLayout;

/// How a call reached the mock: through an exported symbol, through the list
/// handed out by C_GetFunctionList, or through the one of C_GetInterface.
enum class Via { Export, FunctionList, Interface };

// Our list of entry points against p11-kit's CK_FUNCTION_LIST, entry by
// entry: the lists handed out here are indexed by the one, read by callers
// through the other.
static_assert(sizeof(CK_FUNCTION_LIST) ==
              offsetof(FunctionList, entries) +
                  entries_in(TableLayout::V2_40) * sizeof(GenericFunction));
#define MIRANDEL_MOCK_SAME_ENTRY(name, layout)                                   \
  MIRANDEL_PKCS11_IF_V2_40(layout,                                               \
                           static_assert(offsetof(CK_FUNCTION_LIST, C_##name) == \
                                         offsetof(FunctionList, entries) +       \
                                             index_of(Function::name) * sizeof(GenericFunction));)
MIRANDEL_PKCS11_ENTRY_POINTS(MIRANDEL_MOCK_SAME_ENTRY)
#undef MIRANDEL_MOCK_SAME_ENTRY

/// An open session and the operations active in it.
struct SessionState {
  CK_SESSION_HANDLE handle = 0;
  std::size_t slot = 0;  ///< index into the scenario's slots
  bool finding = false;
  std::vector<CK_OBJECT_HANDLE> found;
  std::size_t found_position = 0;
  bool signing = false;
  CK_OBJECT_HANDLE signing_key = 0;
  CK_MECHANISM_TYPE signing_mechanism = 0;
  bool context_login = false;  ///< C_Login(CKU_CONTEXT_SPECIFIC) for this operation
};

/// Everything the module remembers between calls.
struct State {
  Scenario scenario;
  std::optional<ScenarioError> scenario_error;
  std::string log_path;
  bool initialized = false;
  std::map<std::string, unsigned, std::less<>> calls;
  std::vector<bool> logged_in;  ///< per slot index
  std::vector<SessionState> sessions;
  CK_SESSION_HANDLE next_session = 0;
  std::array<FunctionList*, 3> lists{};  ///< per Via, built on first discovery
  CK_INTERFACE interface_record{};
  bool unload_recorded = false;
};

State g_state;
Via g_via = Via::Export;  ///< how the call being served arrived

// ---------------------------------------------------------------------------
// The call log.

void append_log_line(const std::string& line) {
  if (g_state.log_path.empty()) return;
  // Opened per line so that every line is on disk before the call returns.
  std::FILE* file = std::fopen(g_state.log_path.c_str(), "ab");
  if (!file) return;
  std::fwrite(line.data(), 1, line.size(), file);
  std::fputc('\n', file);
  std::fclose(file);
}

std::string dec(unsigned long long value) { return std::to_string(value); }

std::string hex(unsigned long long value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", value);
  return text;
}

std::string pointer(const void* p) { return p ? "set" : "null"; }

/// An input byte string: "null/<len>" or "<hex>/<len>".
std::string input_bytes(const void* p, CK_ULONG length) {
  if (!p) return "null/" + dec(length);
  return to_hex(p, length) + "/" + dec(length);
}

bool all_zero(const void* p, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(p);
  for (std::size_t i = 0; i < size; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

/// An output buffer: "null/<n>", "buf/<n>", or "buf!/<n>" when it was not
/// zero-filled. `bytes` is the buffer's size, `shown` the count to print.
std::string output_buffer(const void* p, std::size_t bytes, CK_ULONG shown) {
  if (!p) return "null/" + dec(shown);
  return std::string(all_zero(p, bytes) ? "buf" : "buf!") + "/" + dec(shown);
}

/// An output record: "null", "buf", or "buf!" when it was not zero-filled.
std::string output_record(const void* p, std::size_t bytes) {
  if (!p) return "null";
  return all_zero(p, bytes) ? "buf" : "buf!";
}

const char* via_name(Via via) {
  switch (via) {
    case Via::Export:
      return "export";
    case Via::FunctionList:
      return "fl";
    case Via::Interface:
      return "if";
  }
  return "?";
}

const ForceSpec* find_force(std::string_view function, unsigned number) {
  const ForceSpec* every_call = nullptr;
  for (const ForceSpec& force : g_state.scenario.forces) {
    if (force.function != function) continue;
    if (force.call == number) return &force;
    if (force.call == 0 && !every_call) every_call = &force;
  }
  return every_call;
}

/// One call being served: counts it, collects its log line, and knows the
/// forced answer, if any, that the scenario gives for it.
class Call {
 public:
  explicit Call(const char* name) : name_(name), number_(++g_state.calls[name]), text_(name) {
    force_ = find_force(name_, number_);
  }

  Call& arg(std::string_view key, std::string_view value) {
    append(text_, key, value);
    return *this;
  }
  Call& result(std::string_view key, std::string_view value) {
    append(results_, key, value);
    return *this;
  }

  /// The forced answer for this call, or null.
  const ForceSpec* force() const { return force_; }

  /// An answer that replaces the real work: a broken scenario, a forced
  /// return value without "run", or a module not yet initialised.
  std::optional<CK_RV> gate(bool needs_initialized) const {
    if (g_state.scenario_error) return CKR_GENERAL_ERROR;
    if (force_ && force_->rv && !force_->run) return *force_->rv;
    if (needs_initialized && !g_state.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    return std::nullopt;
  }

  /// gate(true) for a call on a session, then CKR_SESSION_HANDLE_INVALID
  /// when the handle names none.
  std::optional<CK_RV> gate_session(const SessionState* session) const {
    if (std::optional<CK_RV> early = gate(true)) return early;
    if (!session) return CKR_SESSION_HANDLE_INVALID;
    return std::nullopt;
  }

  /// gate(true) for a call about a slot, then CKR_ARGUMENTS_BAD for a null
  /// output and CKR_SLOT_ID_INVALID for a slot the scenario does not have.
  std::optional<CK_RV> gate_slot(const void* output, std::optional<std::size_t> slot) const {
    if (std::optional<CK_RV> early = gate(true)) return early;
    if (!output) return CKR_ARGUMENTS_BAD;
    if (!slot) return CKR_SLOT_ID_INVALID;
    return std::nullopt;
  }

  /// Writes the line and returns the forced return value, if the scenario
  /// gives one for this call, else `rv`.
  CK_RV answer(CK_RV rv) {
    if (force_ && force_->rv) rv = *force_->rv;
    return finish(rv);
  }

  /// Writes the line and returns `rv`.
  CK_RV finish(CK_RV rv) {
    std::string line = text_ + " -> " + hex(rv) + results_ + " via=" + via_name(g_via);
    if (force_) line += " forced";
    append_log_line(line);
    return rv;
  }

 private:
  static void append(std::string& to, std::string_view key, std::string_view value) {
    to += ' ';
    to += key;
    to += '=';
    to += value;
  }

  const char* name_;
  unsigned number_;
  std::string text_;
  std::string results_;
  const ForceSpec* force_ = nullptr;
};

// ---------------------------------------------------------------------------
// Scenario lookups.

/// The number of C_GetSlotList calls made so far, at least 1, so that slot
/// presence can follow the slot-list calls.
unsigned slot_list_epoch() {
  const auto it = g_state.calls.find("C_GetSlotList");
  const unsigned calls = it == g_state.calls.end() ? 0 : it->second;
  return calls == 0 ? 1 : calls;
}

bool token_present(const SlotSpec& slot, unsigned epoch) {
  if (!slot.token) return false;
  if (slot.appears_at != 0 && epoch < slot.appears_at) return false;
  if (slot.gone_at != 0 && epoch >= slot.gone_at) return false;
  return true;
}

std::optional<std::size_t> slot_index(CK_SLOT_ID id) {
  for (std::size_t i = 0; i < g_state.scenario.slots.size(); ++i)
    if (g_state.scenario.slots[i].id == id) return i;
  return std::nullopt;
}

SessionState* find_session(CK_SESSION_HANDLE handle) {
  for (SessionState& session : g_state.sessions)
    if (session.handle == handle) return &session;
  return nullptr;
}

bool visible(std::size_t slot, const ObjectSpec& object) {
  return !object.private_only || g_state.logged_in[slot];
}

const ObjectSpec* find_object(const SessionState& session, CK_OBJECT_HANDLE handle) {
  for (const ObjectSpec& object : g_state.scenario.slots[session.slot].objects)
    if (object.handle == handle && visible(session.slot, object)) return &object;
  return nullptr;
}

std::string attribute_name(CK_ATTRIBUTE_TYPE type) { return hex(type); }

/// "[<type>=<value>,...]" with each value shown by `show`.
template <typename Show>
std::string template_text(const CK_ATTRIBUTE* attributes, CK_ULONG count, Show show) {
  if (!attributes) return "null";
  std::string text = "[";
  for (CK_ULONG i = 0; i < count; ++i) {
    if (i) text += ',';
    text += attribute_name(attributes[i].type) + "=" + show(attributes[i]);
  }
  return text + "]";
}

std::string mechanism_byte_string(CK_MECHANISM_TYPE mechanism) {
  return std::string(1, static_cast<char>(mechanism & 0xFF));
}

Bytes signature_for(const ObjectSpec& key, CK_MECHANISM_TYPE mechanism, const Bytes& data) {
  if (const auto fixed = key.signature_by_mechanism.find(mechanism);
      fixed != key.signature_by_mechanism.end())
    return fixed->second;
  switch (key.signature_mode) {
    case SignatureMode::Echo:
      return mechanism_byte_string(mechanism) + data;
    case SignatureMode::Fixed:
      return key.signature_fixed;
    case SignatureMode::Pattern: {
      Bytes out(key.signature_pattern_length, '\0');
      for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(i & 0xFF);
      return out;
    }
  }
  return {};
}

void copy_field(unsigned char* to, const Bytes& from, std::size_t width) {
  std::memcpy(to, from.data(), width < from.size() ? width : from.size());
}

/// What a vendor module with debug output does: a printf left in the C
/// runtime's buffer, and a raw write to descriptor 1. With a chatter file,
/// C_Initialize also opens a log file and never closes it.
void chatter(const char* function) {
  if (!g_state.scenario.stdout_chatter) return;
  static std::FILE* chatter_file = nullptr;
  if (!chatter_file && !g_state.scenario.chatter_file.empty() &&
      std::string_view(function) == "C_Initialize") {
    chatter_file = std::fopen(g_state.scenario.chatter_file.c_str(), "ab");
    if (chatter_file) {
      std::fputs("mock log opened\n", chatter_file);
      std::fflush(chatter_file);
    }
  }
  std::printf("chatter %s printf\n", function);
  const std::string line = std::string("chatter ") + function + " write\n";
#ifdef _WIN32
  static_cast<void>(_write(1, line.data(), static_cast<unsigned>(line.size())));
#else
  static_cast<void>(::write(1, line.data(), line.size()));
#endif
}

/// A CRYPTO line with what the variant's probe saw, in the variants that
/// bring their own libcrypto.
void record_crypto(const char* function) {
  if (crypto_probe) append_log_line(std::string("CRYPTO at=") + function + " " + crypto_probe());
}

/// Whether the PIN given to C_Login is the token's. Compared where it lies,
/// without a copy; while the PIN is searched for, against the inverted PIN.
bool pin_matches(const CK_UTF8CHAR* pin, CK_ULONG length, const SlotSpec& token) {
  // No PIN at all: the user types it on the reader's keypad, and gets it right.
  if (!pin) return (token.token_flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
  const Bytes& token_pin = token.pin;
  const Bytes& inverted = g_state.scenario.pin_scan_inverted;
  if (!inverted.empty()) {
    if (length != inverted.size()) return false;
    for (CK_ULONG i = 0; i < length; ++i)
      if ((pin[i] ^ 0xFFu) != static_cast<unsigned char>(inverted[i])) return false;
    return true;
  }
  if (length != token_pin.size()) return false;
  return length == 0 || std::memcmp(pin, token_pin.data(), length) == 0;
}

/// Searches the process's memory for the scenario's PIN and records what it
/// found as a PIN-SCAN line: "PIN-SCAN at=<moment> copies=<n> [where=...]",
/// or "copies=unsupported" where memory cannot be searched.
void record_pin_scan(const char* moment) {
  if (g_state.scenario.pin_scan_inverted.empty()) return;
  std::string line = std::string("PIN-SCAN at=") + moment;
  const std::optional<PinCopies> copies = find_pin_copies(g_state.scenario.pin_scan_inverted);
  if (!copies) {
    line += " copies=unsupported";
  } else {
    line += " copies=" + dec(copies->size());
    for (std::size_t i = 0; i < copies->size(); ++i)
      line += (i == 0 ? " where=" : ",") + (*copies)[i];
  }
  append_log_line(line);
}

/// Whether C_SignInit takes a CK_RSA_PKCS_PSS_PARAMS record with `mechanism`.
bool takes_pss_parameters(CK_MECHANISM_TYPE mechanism) {
  return mechanism == CKM_RSA_PKCS_PSS || mechanism == CKM_SHA256_RSA_PKCS_PSS ||
         mechanism == CKM_SHA384_RSA_PKCS_PSS || mechanism == CKM_SHA512_RSA_PKCS_PSS;
}

/// A key with CKA_ALWAYS_AUTHENTICATE true wants C_Login(CKU_CONTEXT_SPECIFIC)
/// after every C_SignInit.
bool always_authenticate(const ObjectSpec& key) {
  const auto it = key.attributes.find(CKA_ALWAYS_AUTHENTICATE);
  return it != key.attributes.end() && it->second == Bytes(1, '\1');
}

bool matches(const ObjectSpec& object,
             const std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>>& want) {
  for (const auto& [type, value] : want) {
    const auto it = object.attributes.find(type);
    if (it == object.attributes.end() || it->second != value) return false;
  }
  return true;
}

/// A module that never comes back from C_Finalize: it hangs, crashes, or
/// ends the process with exit(0) or abort(). The crash is a real fault even
/// in the sanitizer build, whose checks would otherwise report the store and
/// end the process themselves.
__attribute__((no_sanitize("address", "undefined"))) void misbehave_in_finalize(
    const std::string& how) {
  append_log_line("FINALIZE " + how);
  if (how == "exit") std::exit(0);
  if (how == "abort") std::abort();
  if (how == "crash") {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
  }
  for (;;) {
#if defined(_WIN32)
    Sleep(1000);
#else
    ::sleep(1);
#endif
  }
}

}  // namespace
}  // namespace mirandel::mock

// ---------------------------------------------------------------------------
// The operations: the standard entry points the core implements, exported in
// every variant and served through every handed-out list. Every other entry
// of a list records the call and answers CKR_FUNCTION_NOT_SUPPORTED.
// clang-format off
#define MIRANDEL_MOCK_OPERATIONS(X) \
  X(Initialize) X(Finalize) X(GetInfo) X(GetSlotList) X(GetSlotInfo) X(GetTokenInfo) \
  X(OpenSession) X(CloseSession) X(Login) X(Logout) X(FindObjectsInit) X(FindObjects) \
  X(FindObjectsFinal) X(GetAttributeValue) X(SignInit) X(Sign)
// clang-format on

using namespace mirandel::mock;

extern "C" {

CK_RV C_Initialize(CK_VOID_PTR init_args) {
  Call call("C_Initialize");
  chatter("C_Initialize");
  record_crypto("C_Initialize");
  if (!g_state.scenario.chdir.empty()) {
    std::error_code error;
    std::filesystem::current_path(g_state.scenario.chdir, error);
  }
  const auto* args = static_cast<const CK_C_INITIALIZE_ARGS*>(init_args);
  if (!args) {
    call.arg("args", "null");
  } else {
    const bool no_mutexes =
        !args->CreateMutex && !args->DestroyMutex && !args->LockMutex && !args->UnlockMutex;
    call.arg("flags", hex(args->flags));
    call.arg("mutexes", no_mutexes
                            ? std::string("null")
                            : pointer(reinterpret_cast<const void*>(args->CreateMutex)) + "," +
                                  pointer(reinterpret_cast<const void*>(args->DestroyMutex)) + "," +
                                  pointer(reinterpret_cast<const void*>(args->LockMutex)) + "," +
                                  pointer(reinterpret_cast<const void*>(args->UnlockMutex)));
    call.arg("reserved", pointer(args->pReserved));
  }
  CK_RV rv = CKR_OK;
  if (std::optional<CK_RV> early = call.gate(false)) {
    rv = *early;
  } else if (g_state.initialized) {
    rv = CKR_CRYPTOKI_ALREADY_INITIALIZED;
  } else if (args && args->pReserved) {
    rv = CKR_ARGUMENTS_BAD;
  } else if (args &&
             !(!args->CreateMutex && !args->DestroyMutex && !args->LockMutex &&
               !args->UnlockMutex) &&
             !(args->CreateMutex && args->DestroyMutex && args->LockMutex && args->UnlockMutex)) {
    rv = CKR_ARGUMENTS_BAD;
  } else {
    g_state.initialized = true;
    if (lifecycle_hooks.initialized) lifecycle_hooks.initialized();
  }
  return call.answer(rv);
}

CK_RV C_Finalize(CK_VOID_PTR reserved) {
  Call call("C_Finalize");
  call.arg("reserved", pointer(reserved));
  CK_RV rv = CKR_OK;
  if (std::optional<CK_RV> early = call.gate(true)) {
    rv = *early;
  } else if (reserved) {
    rv = CKR_ARGUMENTS_BAD;
  } else if (!g_state.scenario.finalize.empty()) {
    misbehave_in_finalize(g_state.scenario.finalize);
  } else {
    g_state.initialized = false;
    g_state.sessions.clear();
    g_state.logged_in.assign(g_state.logged_in.size(), false);
    if (lifecycle_hooks.finalized) lifecycle_hooks.finalized();
  }
  return call.answer(rv);
}

CK_RV C_GetInfo(CK_INFO* info) {
  Call call("C_GetInfo");
  call.arg("info", output_record(info, sizeof(CK_INFO)));
  CK_RV rv = CKR_OK;
  if (std::optional<CK_RV> early = call.gate(true)) {
    rv = *early;
  } else if (!info) {
    rv = CKR_ARGUMENTS_BAD;
  } else {
    std::memset(info, 0, sizeof *info);
    info->cryptokiVersion = CK_VERSION{2, 40};
    copy_field(info->manufacturerID, Bytes(32, ' ').replace(0, 13, "Mirandel mock"), 32);
    copy_field(info->libraryDescription, Bytes(32, ' ').replace(0, 20, "Mirandel mock module"), 32);
    info->libraryVersion = CK_VERSION{1, 0};
  }
  return call.answer(rv);
}

CK_RV C_GetSlotList(CK_BBOOL token_present_only, CK_SLOT_ID* list, CK_ULONG* count) {
  Call call("C_GetSlotList");
  chatter("C_GetSlotList");
  record_crypto("C_GetSlotList");
  call.arg("present", dec(token_present_only));
  const CK_ULONG capacity = count ? *count : 0;
  call.arg("list", output_buffer(list, list ? capacity * sizeof(CK_SLOT_ID) : 0, capacity));
  call.arg("count", count ? dec(*count) : std::string("null"));
  CK_RV rv = CKR_OK;
  if (std::optional<CK_RV> early = call.gate(true)) {
    rv = *early;
  } else if (!count) {
    rv = CKR_ARGUMENTS_BAD;
  } else {
    const unsigned epoch = slot_list_epoch();
    std::vector<CK_SLOT_ID> ids;
    for (const SlotSpec& slot : g_state.scenario.slots)
      if (!token_present_only || token_present(slot, epoch)) ids.push_back(slot.id);
    if (!list) {
      *count = ids.size();
    } else if (*count < ids.size()) {
      *count = ids.size();
      rv = CKR_BUFFER_TOO_SMALL;
    } else {
      for (std::size_t i = 0; i < ids.size(); ++i) list[i] = ids[i];
      *count = ids.size();
    }
  }
  if (const ForceSpec* force = call.force()) {
    if (force->count && count) *count = *force->count;
    if (force->rv) rv = *force->rv;
  }
  if (count) call.result("count", dec(*count));
  if (rv == CKR_OK && list && count) {
    std::string shown;
    for (CK_ULONG i = 0; i < *count && i < capacity; ++i) shown += (i ? "," : "") + dec(list[i]);
    call.result("slots", shown);
  }
  return call.finish(rv);
}

CK_RV C_GetSlotInfo(CK_SLOT_ID id, CK_SLOT_INFO* info) {
  Call call("C_GetSlotInfo");
  call.arg("slot", dec(id)).arg("info", output_record(info, sizeof(CK_SLOT_INFO)));
  CK_RV rv = CKR_OK;
  const std::optional<std::size_t> index = slot_index(id);
  if (std::optional<CK_RV> early = call.gate_slot(info, index)) {
    rv = *early;
  } else {
    const SlotSpec& slot = g_state.scenario.slots[*index];
    std::memset(info, 0, sizeof *info);
    copy_field(info->slotDescription, slot.description, sizeof info->slotDescription);
    copy_field(info->manufacturerID, slot.manufacturer, sizeof info->manufacturerID);
    info->flags =
        slot.slot_flags | (token_present(slot, slot_list_epoch()) ? CKF_TOKEN_PRESENT : 0);
    info->hardwareVersion = CK_VERSION{1, 0};
    info->firmwareVersion = CK_VERSION{1, 0};
  }
  return call.answer(rv);
}

CK_RV C_GetTokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO* info) {
  Call call("C_GetTokenInfo");
  call.arg("slot", dec(id)).arg("info", output_record(info, sizeof(CK_TOKEN_INFO)));
  CK_RV rv = CKR_OK;
  const std::optional<std::size_t> index = slot_index(id);
  if (std::optional<CK_RV> early = call.gate_slot(info, index)) {
    rv = *early;
  } else if (!token_present(g_state.scenario.slots[*index], slot_list_epoch())) {
    rv = CKR_TOKEN_NOT_PRESENT;
  } else {
    const SlotSpec& slot = g_state.scenario.slots[*index];
    std::memset(info, 0, sizeof *info);
    copy_field(info->label, slot.label, sizeof info->label);
    copy_field(info->manufacturerID, slot.token_manufacturer, sizeof info->manufacturerID);
    copy_field(info->model, slot.model, sizeof info->model);
    copy_field(info->serialNumber, slot.serial, sizeof info->serialNumber);
    info->flags = slot.token_flags;
    info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulSessionCount = CK_UNAVAILABLE_INFORMATION;
    info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulRwSessionCount = CK_UNAVAILABLE_INFORMATION;
    info->ulMaxPinLen = 64;
    info->ulMinPinLen = 4;
    info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info->hardwareVersion = CK_VERSION{1, 0};
    info->firmwareVersion = CK_VERSION{1, 0};
    copy_field(info->utcTime, slot.utc_time, sizeof info->utcTime);
  }
  return call.answer(rv);
}

CK_RV C_OpenSession(CK_SLOT_ID id, CK_FLAGS flags, CK_VOID_PTR application, CK_NOTIFY notify,
                    CK_SESSION_HANDLE* session) {
  Call call("C_OpenSession");
  call.arg("slot", dec(id))
      .arg("flags", hex(flags))
      .arg("app", pointer(application))
      .arg("notify", pointer(reinterpret_cast<const void*>(notify)))
      .arg("session", pointer(session));
  CK_RV rv = CKR_OK;
  const std::optional<std::size_t> index = slot_index(id);
  if (std::optional<CK_RV> early = call.gate_slot(session, index)) {
    rv = *early;
  } else if (!token_present(g_state.scenario.slots[*index], slot_list_epoch())) {
    rv = CKR_TOKEN_NOT_PRESENT;
  } else if (!(flags & CKF_SERIAL_SESSION)) {
    rv = CKR_SESSION_PARALLEL_NOT_SUPPORTED;
  } else {
    SessionState state;
    state.handle = g_state.next_session++;
    state.slot = *index;
    g_state.sessions.push_back(state);
    *session = state.handle;
    call.result("session", dec(state.handle));
  }
  return call.answer(rv);
}

CK_RV C_CloseSession(CK_SESSION_HANDLE handle) {
  Call call("C_CloseSession");
  call.arg("session", dec(handle));
  CK_RV rv = CKR_OK;
  SessionState* session = find_session(handle);
  if (std::optional<CK_RV> early = call.gate_session(session)) {
    rv = *early;
  } else {
    const std::size_t slot = session->slot;
    std::erase_if(g_state.sessions, [handle](const SessionState& s) { return s.handle == handle; });
    // A token's login ends with its last session.
    bool others = false;
    for (const SessionState& s : g_state.sessions) others = others || s.slot == slot;
    if (!others) g_state.logged_in[slot] = false;
  }
  return call.answer(rv);
}

CK_RV C_Login(CK_SESSION_HANDLE handle, CK_USER_TYPE user, CK_UTF8CHAR* pin, CK_ULONG length) {
  Call call("C_Login");
  call.arg("session", dec(handle)).arg("user", dec(user));
  call.arg("pin", pin ? to_hex(pin, length) : std::string("null")).arg("len", dec(length));
  CK_RV rv = CKR_OK;
  SessionState* session = find_session(handle);
  if (std::optional<CK_RV> early = call.gate_session(session)) {
    rv = *early;
  } else if (user != CKU_USER && user != CKU_SO && user != CKU_CONTEXT_SPECIFIC) {
    rv = CKR_USER_TYPE_INVALID;
  } else if (!pin && length != 0) {
    rv = CKR_ARGUMENTS_BAD;
  } else if (user == CKU_CONTEXT_SPECIFIC) {
    // Only for the signing operation just begun, by a user already logged in.
    if (!session->signing) {
      rv = CKR_OPERATION_NOT_INITIALIZED;
    } else if (!g_state.logged_in[session->slot]) {
      rv = CKR_USER_NOT_LOGGED_IN;
    } else if (!pin_matches(pin, length, g_state.scenario.slots[session->slot])) {
      rv = CKR_PIN_INCORRECT;
    } else {
      session->context_login = true;
    }
  } else if (g_state.logged_in[session->slot]) {
    rv = CKR_USER_ALREADY_LOGGED_IN;
  } else if (!pin_matches(pin, length, g_state.scenario.slots[session->slot])) {
    rv = CKR_PIN_INCORRECT;
  } else {
    g_state.logged_in[session->slot] = true;
  }
  return call.answer(rv);
}

CK_RV C_Logout(CK_SESSION_HANDLE handle) {
  Call call("C_Logout");
  call.arg("session", dec(handle));
  CK_RV rv = CKR_OK;
  SessionState* session = find_session(handle);
  if (std::optional<CK_RV> early = call.gate_session(session)) {
    rv = *early;
  } else if (!g_state.logged_in[session->slot]) {
    rv = CKR_USER_NOT_LOGGED_IN;
  } else {
    g_state.logged_in[session->slot] = false;
  }
  rv = call.answer(rv);
  record_pin_scan("C_Logout");
  return rv;
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE* attributes, CK_ULONG count) {
  Call call("C_FindObjectsInit");
  call.arg("session", dec(handle));
  call.arg("template", template_text(attributes, count, [](const CK_ATTRIBUTE& a) {
             return input_bytes(a.pValue, a.ulValueLen);
           }));
  call.arg("count", dec(count));
  CK_RV rv = CKR_OK;
  SessionState* session = find_session(handle);
  if (std::optional<CK_RV> early = call.gate_session(session)) {
    rv = *early;
  } else if (session->finding) {
    rv = CKR_OPERATION_ACTIVE;
  } else if (!attributes && count != 0) {
    rv = CKR_ARGUMENTS_BAD;
  } else {
    std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>> want;
    for (CK_ULONG i = 0; i < count; ++i) {
      const auto* value = static_cast<const char*>(attributes[i].pValue);
      want.emplace_back(attributes[i].type,
                        value ? Bytes(value, attributes[i].ulValueLen) : Bytes());
    }
    session->finding = true;
    session->found.clear();
    session->found_position = 0;
    for (const ObjectSpec& object : g_state.scenario.slots[session->slot].objects)
      if (visible(session->slot, object) && matches(object, want))
        session->found.push_back(object.handle);
  }
  return call.answer(rv);
}

CK_RV C_FindObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE* objects, CK_ULONG max_count,
                    CK_ULONG* count) {
  Call call("C_FindObjects");
  call.arg("session", dec(handle))
      .arg("list",
           output_buffer(objects, objects ? max_count * sizeof(CK_OBJECT_HANDLE) : 0, max_count))
      .arg("max", dec(max_count));
  CK_RV rv = CKR_OK;
  SessionState* session = find_session(handle);
  CK_ULONG written = 0;
  if (std::optional<CK_RV> early = call.gate_session(session)) {
    rv = *early;
  } else if (!session->finding) {
    rv = CKR_OPERATION_NOT_INITIALIZED;
  } else if (!objects || !count) {
    rv = CKR_ARGUMENTS_BAD;
  } else {
    while (written < max_count && session->found_position < session->found.size())
      objects[written++] = session->found[session->found_position++];
    *count = written;
  }
  if (const ForceSpec* force = call.force()) {
    if (force->count && count) *count = *force->count;
    if (force->rv) rv = *force->rv;
  }
  if (count) {
    call.result("count", dec(*count));
    if (rv == CKR_OK && objects) {
      std::string shown;
      for (CK_ULONG i = 0; i < written; ++i) shown += (i ? "," : "") + dec(objects[i]);
      call.result("handles", shown);
    }
  }
  return call.finish(rv);
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE handle) {
  Call call("C_FindObjectsFinal");
  call.arg("session", dec(handle));
  CK_RV rv = CKR_OK;
  SessionState* session = find_session(handle);
  if (std::optional<CK_RV> early = call.gate_session(session)) {
    rv = *early;
  } else if (!session->finding) {
    rv = CKR_OPERATION_NOT_INITIALIZED;
  } else {
    session->finding = false;
    session->found.clear();
  }
  return call.answer(rv);
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object_handle,
                          CK_ATTRIBUTE* attributes, CK_ULONG count) {
  Call call("C_GetAttributeValue");
  call.arg("session", dec(handle)).arg("object", dec(object_handle));
  call.arg("template", template_text(attributes, count, [](const CK_ATTRIBUTE& a) {
             return output_buffer(a.pValue, a.pValue ? a.ulValueLen : 0, a.ulValueLen);
           }));
  call.arg("count", dec(count));
  CK_RV rv = CKR_OK;
  SessionState* session = find_session(handle);
  if (std::optional<CK_RV> early = call.gate_session(session)) {
    rv = *early;
  } else if (!attributes && count != 0) {
    rv = CKR_ARGUMENTS_BAD;
  } else if (const ObjectSpec* object = find_object(*session, object_handle); !object) {
    rv = CKR_OBJECT_HANDLE_INVALID;
  } else {
    bool sensitive = false;
    bool invalid = false;
    bool too_small = false;
    for (CK_ULONG i = 0; i < count; ++i) {
      CK_ATTRIBUTE& attribute = attributes[i];
      const auto it = object->attributes.find(attribute.type);
      if (object->sensitive.contains(attribute.type)) {
        attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        sensitive = true;
      } else if (it == object->attributes.end()) {
        attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        invalid = true;
      } else if (!attribute.pValue) {
        attribute.ulValueLen = it->second.size();
      } else if (attribute.ulValueLen >= it->second.size()) {
        std::memcpy(attribute.pValue, it->second.data(), it->second.size());
        attribute.ulValueLen = it->second.size();
      } else {
        attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        too_small = true;
      }
    }
    rv = sensitive   ? CKR_ATTRIBUTE_SENSITIVE
         : invalid   ? CKR_ATTRIBUTE_TYPE_INVALID
         : too_small ? CKR_BUFFER_TOO_SMALL
                     : CKR_OK;
  }
  if (const ForceSpec* force = call.force()) {
    if (force->length && attributes)
      for (CK_ULONG i = 0; i < count; ++i) attributes[i].ulValueLen = *force->length;
    if (force->rv) rv = *force->rv;
  }
  call.result("lens", template_text(attributes, count, [](const CK_ATTRIBUTE& a) {
                return a.ulValueLen == CK_UNAVAILABLE_INFORMATION ? std::string("unavail")
                                                                  : dec(a.ulValueLen);
              }));
  return call.finish(rv);
}

CK_RV C_SignInit(CK_SESSION_HANDLE handle, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key) {
  Call call("C_SignInit");
  call.arg("session", dec(handle));
  if (mechanism) {
    call.arg("mechanism", hex(mechanism->mechanism))
        .arg("param", input_bytes(mechanism->pParameter, mechanism->ulParameterLen));
  } else {
    call.arg("mechanism", "null");
  }
  call.arg("key", dec(key));
  CK_RV rv = CKR_OK;
  SessionState* session = find_session(handle);
  if (std::optional<CK_RV> early = call.gate_session(session)) {
    rv = *early;
  } else if (session->signing) {
    rv = CKR_OPERATION_ACTIVE;
  } else if (!mechanism) {
    rv = CKR_ARGUMENTS_BAD;
  } else if (const ObjectSpec* object = find_object(*session, key); !object) {
    rv = CKR_KEY_HANDLE_INVALID;
  } else {
    const auto klass = object->attributes.find(CKA_CLASS);
    const auto sign = object->attributes.find(CKA_SIGN);
    CK_OBJECT_CLASS object_class = 0;
    std::memcpy(&object_class, klass->second.data(), sizeof object_class);
    bool allowed = false;
    for (CK_MECHANISM_TYPE m : object->mechanisms) allowed = allowed || m == mechanism->mechanism;
    if (object_class != CKO_PRIVATE_KEY) {
      rv = CKR_KEY_TYPE_INCONSISTENT;
    } else if (sign == object->attributes.end() || sign->second != Bytes(1, '\1')) {
      rv = CKR_KEY_FUNCTION_NOT_PERMITTED;
    } else if (!allowed) {
      rv = CKR_MECHANISM_INVALID;
    } else if (takes_pss_parameters(mechanism->mechanism)
                   ? !mechanism->pParameter ||
                         mechanism->ulParameterLen != sizeof(CK_RSA_PKCS_PSS_PARAMS)
                   : mechanism->pParameter || mechanism->ulParameterLen) {
      rv = CKR_MECHANISM_PARAM_INVALID;
    } else {
      session->signing = true;
      session->context_login = false;
      session->signing_key = key;
      session->signing_mechanism = mechanism->mechanism;
    }
  }
  return call.answer(rv);
}

CK_RV C_Sign(CK_SESSION_HANDLE handle, CK_BYTE* data, CK_ULONG data_length, CK_BYTE* signature,
             CK_ULONG* signature_length) {
  Call call("C_Sign");
  chatter("C_Sign");
  record_crypto("C_Sign");
  call.arg("session", dec(handle)).arg("data", input_bytes(data, data_length));
  const CK_ULONG capacity = signature_length ? *signature_length : 0;
  call.arg("sig", output_buffer(signature, signature ? capacity : 0, capacity));
  CK_RV rv = CKR_OK;
  bool keeps_operation = false;
  SessionState* session = find_session(handle);
  if (std::optional<CK_RV> early = call.gate_session(session)) {
    rv = *early;
  } else if (!session->signing) {
    rv = CKR_OPERATION_NOT_INITIALIZED;
  } else if (!signature_length || (!data && data_length != 0)) {
    rv = CKR_ARGUMENTS_BAD;
  } else if (const ObjectSpec* key = find_object(*session, session->signing_key);
             key && always_authenticate(*key) && !session->context_login) {
    rv = CKR_USER_NOT_LOGGED_IN;
    keeps_operation = key->keeps_refused_operation;
  } else {
    const Bytes input = data ? Bytes(reinterpret_cast<const char*>(data), data_length) : Bytes();
    const Bytes produced = key ? signature_for(*key, session->signing_mechanism, input) : Bytes();
    if (!signature) {
      *signature_length =
          key && key->signature_size_query ? *key->signature_size_query : produced.size();
    } else if (*signature_length < produced.size()) {
      *signature_length = produced.size();
      rv = CKR_BUFFER_TOO_SMALL;
    } else {
      std::memcpy(signature, produced.data(), produced.size());
      *signature_length = produced.size();
    }
  }
  if (const ForceSpec* force = call.force()) {
    if (force->length && signature_length) *signature_length = *force->length;
    if (force->rv) rv = *force->rv;
  }
  // A signing operation ends with a call that yields the signature or fails.
  // (Unless the key keeps the operation it refused for want of the PIN.)
  if (session && !keeps_operation &&
      ((rv == CKR_OK && signature) || (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL)))
    session->signing = false;
  if (signature_length) call.result("siglen", dec(*signature_length));
  return call.finish(rv);
}

}  // extern "C"

namespace mirandel::mock {
namespace {

// ---------------------------------------------------------------------------
// The function lists handed out by the discovery calls.

/// The entry of a list tagged V that `F` serves: the exported function itself,
/// or a discovery call. The tag tells the log which way the call came; it is
/// Export again once the call returns, for the calls through the exports.
template <Via V, auto F>
struct ListEntry;
template <Via V, typename... Args, CK_RV (*F)(Args...)>
struct ListEntry<V, F> {
  static CK_RV call(Args... args) {
    g_via = V;
    const CK_RV rv = F(args...);
    g_via = Via::Export;
    return rv;
  }
};

/// Every entry point the core does not implement: recorded, then refused.
template <std::size_t I>
CK_RV unsupported() {
  Call call(ENTRY_POINT_SYMBOLS[I]);
  call.arg("unsupported", "1");
  return call.finish(CKR_FUNCTION_NOT_SUPPORTED);
}

template <typename Fn>
GenericFunction generic(Fn* f) {
  return reinterpret_cast<GenericFunction>(f);
}

template <Via V, std::size_t... I>
std::array<GenericFunction, FUNCTION_COUNT> stub_entries(std::index_sequence<I...>) {
  return {generic(&ListEntry<V, &unsupported<I>>::call)...};
}

/// The 104 entries of a list tagged V, before the scenario nulls any.
template <Via V>
std::array<GenericFunction, FUNCTION_COUNT> entries_for() {
  std::array<GenericFunction, FUNCTION_COUNT> e =
      stub_entries<V>(std::make_index_sequence<FUNCTION_COUNT>{});
#define MIRANDEL_MOCK_LIST_ENTRY(name) \
  e[index_of(Function::name)] = generic(&ListEntry<V, &C_##name>::call);
  MIRANDEL_MOCK_OPERATIONS(MIRANDEL_MOCK_LIST_ENTRY)
#undef MIRANDEL_MOCK_LIST_ENTRY
  e[index_of(Function::GetFunctionList)] = generic(&ListEntry<V, &discover_function_list>::call);
  e[index_of(Function::GetInterface)] = generic(&ListEntry<V, &discover_interface>::call);
  e[index_of(Function::GetInterfaceList)] = generic(&ListEntry<V, &discover_interface_list>::call);
  return e;
}

/// The layout of a list of `version`; versions above 3.2 get the 3.2 list.
TableLayout layout_of(CK_VERSION version) {
  if (version.major < 3) return TableLayout::V2_40;
  if (version.major == 3 && version.minor < 2) return TableLayout::V3_0;
  return TableLayout::V3_2;
}

/// The list handed out through `via`, allocated with exactly as many entries
/// as its version has, built once.
FunctionList* list_for(Via via) {
  FunctionList*& list = g_state.lists[static_cast<std::size_t>(via)];
  if (list) return list;
  const CK_VERSION version = via == Via::Interface ? g_state.scenario.interface_version
                                                   : g_state.scenario.function_list_version;
  const std::size_t entries =
      entries_in(via == Via::Interface ? layout_of(version) : TableLayout::V2_40);
  const std::array<GenericFunction, FUNCTION_COUNT> all =
      via == Via::Interface ? entries_for<Via::Interface>() : entries_for<Via::FunctionList>();
  list = static_cast<FunctionList*>(
      std::malloc(offsetof(FunctionList, entries) + entries * sizeof(GenericFunction)));
  if (!list) std::abort();
  list->version = version;
  for (std::size_t i = 0; i < entries; ++i) {
    const bool nulled = g_state.scenario.null_entries.contains(ENTRY_POINT_SYMBOLS[i]);
    // memcpy: the entries may be unaligned (packed on Windows).
    const GenericFunction entry = nulled ? nullptr : all[i];
    std::memcpy(reinterpret_cast<unsigned char*>(list) + offsetof(FunctionList, entries) +
                    i * sizeof(GenericFunction),
                &entry, sizeof entry);
  }
  return list;
}

std::string version_text(CK_VERSION version) {
  return dec(version.major) + "." + dec(version.minor);
}

char INTERFACE_NAME[] = "PKCS 11";

/// The default interface as the scenario shapes it, or null.
CK_INTERFACE* interface_record() {
  if (g_state.scenario.interface_null) return nullptr;
  g_state.interface_record.pInterfaceName = reinterpret_cast<CK_UTF8CHAR*>(INTERFACE_NAME);
  g_state.interface_record.pFunctionList =
      g_state.scenario.interface_list_null ? nullptr : list_for(Via::Interface);
  g_state.interface_record.flags = 0;
  return &g_state.interface_record;
}

// ---------------------------------------------------------------------------
// Load and unload.

bool read_whole_file(const char* path, std::string& out) {
  std::FILE* file = std::fopen(path, "rb");
  if (!file) return false;
  char buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) out.append(buffer, got);
  const bool ok = !std::ferror(file);
  std::fclose(file);
  return ok;
}

void record_load() {
  const char* log = std::getenv("MIRANDEL_MOCK_LOG");
  g_state.log_path = log ? log : "";
  const char* scenario_path = std::getenv("MIRANDEL_MOCK_SCENARIO");
  std::string text;
  if (scenario_path && !read_whole_file(scenario_path, text)) {
    g_state.scenario_error = ScenarioError{0, std::string("cannot read ") + scenario_path};
  } else {
    g_state.scenario = parse_scenario(text, g_state.scenario_error);
  }
  g_state.logged_in.assign(g_state.scenario.slots.size(), false);
  g_state.next_session = g_state.scenario.session_base;
  append_log_line(std::string("LOAD variant=") + VARIANT_NAME);
  if (g_state.scenario_error)
    append_log_line("SCENARIO-ERROR line=" + dec(g_state.scenario_error->line) + " " +
                    g_state.scenario_error->message);
}

/// Writes the UNLOAD line once. `at_exit`: the process is ending with the
/// library still loaded (known on Windows only).
void record_unload(bool at_exit) {
  if (g_state.unload_recorded) return;
  g_state.unload_recorded = true;
  record_pin_scan("unload");
  std::string line = "UNLOAD";
  if (at_exit) line += " at_exit";
  if (!g_state.scenario.watch.empty()) {
    std::FILE* file = std::fopen(g_state.scenario.watch.c_str(), "rb");
    if (!file) {
      line += " watch=absent";
    } else {
      std::fseek(file, 0, SEEK_END);
      line += " watch=" + dec(static_cast<unsigned long long>(std::ftell(file)));
      std::fclose(file);
    }
  }
  append_log_line(line);
}

/// Records the load when the library is mapped and frees the lists when it
/// is unmapped. On POSIX its destructor also records the unload; on Windows
/// DllMain does, because only it can tell FreeLibrary from process exit.
struct Lifetime {
  Lifetime() { record_load(); }
  ~Lifetime() {
#if !defined(_WIN32)
    record_unload(false);
#endif
    for (FunctionList*& list : g_state.lists) {
      std::free(list);
      list = nullptr;
    }
  }
};

Lifetime g_lifetime;

}  // namespace

CK_RV discover_function_list(CK_FUNCTION_LIST_PTR_PTR list) {
  Call call("C_GetFunctionList");
  call.arg("out", pointer(list));
  CK_RV rv = CKR_OK;
  if (std::optional<CK_RV> early = call.gate(false)) {
    rv = *early;
  } else if (!list) {
    rv = CKR_ARGUMENTS_BAD;
  } else if (g_state.scenario.function_list_null) {
    *list = nullptr;
    call.result("list", "null");
  } else {
    *list = reinterpret_cast<CK_FUNCTION_LIST_PTR>(list_for(Via::FunctionList));
    call.result("list", version_text(g_state.scenario.function_list_version));
  }
  return call.answer(rv);
}

CK_RV discover_interface(CK_UTF8CHAR* name, CK_VERSION* version, CK_INTERFACE** found,
                         CK_FLAGS flags) {
  Call call("C_GetInterface");
  call.arg("name", name ? to_hex(name, std::strlen(reinterpret_cast<const char*>(name)))
                        : std::string("null"));
  call.arg("version", version ? version_text(*version) : std::string("null"));
  call.arg("out", pointer(found)).arg("flags", hex(flags));
  CK_RV rv = CKR_OK;
  const CK_VERSION offered = g_state.scenario.interface_version;
  if (std::optional<CK_RV> early = call.gate(false)) {
    rv = *early;
  } else if (!found) {
    rv = CKR_ARGUMENTS_BAD;
  } else if (name && std::strcmp(reinterpret_cast<const char*>(name), INTERFACE_NAME) != 0) {
    rv = CKR_ARGUMENTS_BAD;
  } else if (version && (version->major != offered.major || version->minor != offered.minor)) {
    rv = CKR_ARGUMENTS_BAD;
  } else {
    *found = interface_record();
    if (!*found) {
      call.result("interface", "null");
    } else if (!(*found)->pFunctionList) {
      call.result("interface", "set").result("list", "null");
    } else {
      call.result("interface", "set").result("list", version_text(offered));
    }
  }
  return call.answer(rv);
}

CK_RV discover_interface_list(CK_INTERFACE* interfaces, CK_ULONG* count) {
  Call call("C_GetInterfaceList");
  call.arg("list", pointer(interfaces)).arg("count", count ? dec(*count) : std::string("null"));
  CK_RV rv = CKR_OK;
  if (std::optional<CK_RV> early = call.gate(false)) {
    rv = *early;
  } else if (!count) {
    rv = CKR_ARGUMENTS_BAD;
  } else if (const CK_INTERFACE* record = interface_record(); !record) {
    *count = 0;
  } else if (!interfaces) {
    *count = 1;
  } else if (*count < 1) {
    *count = 1;
    rv = CKR_BUFFER_TOO_SMALL;
  } else {
    interfaces[0] = *record;
    *count = 1;
  }
  if (count) call.result("count", dec(*count));
  return call.answer(rv);
}
}  // namespace mirandel::mock

extern "C" {

#if defined(_WIN32)
// Windows hook: FreeLibrary (reserved null) is told from process exit
// (reserved non-null) only here. 0 is DLL_PROCESS_DETACH.
int __stdcall DllMain(void* instance, unsigned long reason, void* reserved) {
  (void)instance;
  if (reason == 0) record_unload(reserved != nullptr);
  return 1;
}
#endif

}  // extern "C"
